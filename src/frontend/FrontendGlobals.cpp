#include "frontend/FrontendGlobals.h"

#include "frontend/Settings.h"

CSMTPEmail g_Mail;

const char* g_ProgramName = "quillex";
int g_SingleDotEnd = 0;
StringList g_Attachments;
StringList g_TextFiles;
StringList g_BodyLines;
std::optional<std::string> g_HtmlFile;
std::optional<std::vector<std::string>> g_SettingValues;

void ResetFrontendState()
{
    g_Verbose = 0;
    g_Debug = 0;
    g_SingleDotEnd = 0;
    g_Attachments.Clear();
    g_TextFiles.Clear();
    g_BodyLines.Clear();
    g_HtmlFile.reset();
    for (char* buffer : {g_MailServer, g_NewsServer, g_Organization, g_NewsUser, g_NewsPassword})
        buffer[0] = '\0';
    for (std::string* value :
         {&g_TlsCaFile, &g_TlsFingerprint, &g_SmtpUser, &g_SmtpPassword, &g_SmtpPasswordCommand,
          &g_SmtpAuth, &g_NewsPasswordCommand, &g_OAuthProvider, &g_OAuthTenant, &g_OAuthIssuer,
          &g_OAuthDeviceEndpoint, &g_OAuthTokenEndpoint, &g_OAuthAuthorizeEndpoint,
          &g_OAuthClientId, &g_OAuthClientSecret, &g_OAuthScope, &g_OAuthFlow})
        value->clear();
    ForgetSettingValues();
}
