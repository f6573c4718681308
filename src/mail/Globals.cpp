#include "mail/Globals.h"

#include <cstring>

int g_Verbose = 0;
bool g_FrontEndReportsFailures = false;
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
std::string g_OAuthProvider;
std::string g_OAuthTenant;
std::string g_OAuthIssuer;
std::string g_OAuthDeviceEndpoint;
std::string g_OAuthTokenEndpoint;
std::string g_OAuthAuthorizeEndpoint;
std::string g_OAuthClientId;
std::string g_OAuthClientSecret;
std::string g_OAuthScope;
std::string g_OAuthFlow;

bool CopySetting(char* buffer, int capacity, const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length >= static_cast<std::size_t>(capacity)) return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}
