#pragma once

#include <string>

// Process-wide settings that the front end fills and the mail library reads.
// The sizes include the terminating NUL and are limits for every writer.
constexpr int kServerCapacity = 128;
constexpr int kLoginCapacity = 32;

extern int g_Verbose;
extern int g_Debug;
// Set when the front end reports every failure in one line of its own: the
// library then prints none of its own before it throws.
extern bool g_FrontEndReportsFailures;
extern char g_MailServer[kServerCapacity];
extern char g_NewsServer[kServerCapacity];
extern char g_Organization[kServerCapacity];
extern char g_NewsUser[kLoginCapacity];
extern char g_NewsPassword[kLoginCapacity];
// Settings read only from the file, without a length limit; empty when not set.
extern std::string g_TlsCaFile;            // "TLS CAFile"
extern std::string g_TlsFingerprint;       // "TLS Fingerprint"
extern std::string g_SmtpUser;             // "SMTP User"
extern std::string g_SmtpPassword;         // "SMTP Password"
extern std::string g_SmtpPasswordCommand;  // "SMTP PasswordCommand"
extern std::string g_SmtpAuth;             // "SMTP Auth"
extern std::string g_NewsPasswordCommand;  // "NNTP PasswordCommand"
// The OAuth sign-in; OAuth is in use exactly when the client ID is set.
extern std::string g_OAuthProvider;           // "OAuth Provider"
extern std::string g_OAuthTenant;             // "OAuth Tenant"
extern std::string g_OAuthIssuer;             // "OAuth Issuer"
extern std::string g_OAuthDeviceEndpoint;     // "OAuth Device Endpoint"
extern std::string g_OAuthTokenEndpoint;      // "OAuth Token Endpoint"
extern std::string g_OAuthAuthorizeEndpoint;  // "OAuth Authorize Endpoint"
extern std::string g_OAuthClientId;           // "OAuth Client ID"
extern std::string g_OAuthClientSecret;       // "OAuth Client Secret"
extern std::string g_OAuthScope;              // "OAuth Scope"
extern std::string g_OAuthFlow;               // "OAuth Flow"

// Copies text into a settings buffer of the given capacity. Returns false,
// leaving the buffer unchanged, when the text does not fit: values are never cut.
bool CopySetting(char* buffer, int capacity, const char* text);
