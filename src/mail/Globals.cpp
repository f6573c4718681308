#include "mail/Globals.h"

#include <cstring>

int g_Verbose = 0;
int g_Debug = 0;
char g_MailServer[kServerCapacity] = "";
char g_NewsServer[kServerCapacity] = "";
char g_Organization[kServerCapacity] = "";
char g_NewsUser[kLoginCapacity] = "";
char g_NewsPassword[kLoginCapacity] = "";
std::string g_TlsCaFile;
std::string g_TlsFingerprint;
std::string g_SmtpUser;
std::string g_SmtpPassword;
std::string g_SmtpPasswordCommand;
std::string g_SmtpAuth;
std::string g_NewsPasswordCommand;

bool CopySetting(char* buffer, int capacity, const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length >= static_cast<std::size_t>(capacity)) return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}
