#pragma once

#include <string>

// Process-wide settings that the front end fills and the mail library reads.
// The sizes include the terminating NUL and are limits for every writer.
constexpr int kServerCapacity = 128;
constexpr int kLoginCapacity = 32;

extern int g_Verbose;
extern int g_Debug;
extern char g_MailServer[kServerCapacity];
extern char g_NewsServer[kServerCapacity];
extern char g_Organization[kServerCapacity];
extern char g_NewsUser[kLoginCapacity];
extern char g_NewsPassword[kLoginCapacity];
// [Setup] "TLS CAFile" and "TLS Fingerprint"; empty when not set.
extern std::string g_TlsCaFile;
extern std::string g_TlsFingerprint;

// Copies text into a settings buffer of the given capacity. Returns false,
// leaving the buffer unchanged, when the text does not fit: values are never cut.
bool CopySetting(char* buffer, int capacity, const char* text);
