#include "frontend/Settings.h"

#include <string>

#include "frontend/Console.h"
#include "frontend/FrontendGlobals.h"
#include "platform/ProfileFile.h"

namespace {

constexpr const char* kSection = "Setup";

// The return address has no buffer of its own; its limit is that of the
// value read from the file.
constexpr int kReturnAddressCapacity = 512;

struct Setting {
    const char* key;
    const char* question;
    int capacity;
};

constexpr Setting kHost{"HOST", "Your mail server", kServerCapacity};
constexpr Setting kReturnAddress{"Return Address", "Default return path (Your email address)",
                                 kReturnAddressCapacity};
constexpr Setting kOrganization{"Organization", "Organization (not reqiuired)", kServerCapacity};
constexpr Setting kNewsHost{"NNTP HOST", "Your NNTP server", kServerCapacity};
constexpr Setting kNewsUser{"NNTP User", "Login name on server", kLoginCapacity};
constexpr Setting kNewsPassword{"NNTP Passws", "Login pawssword on server", kLoginCapacity};

// Read only from the file: setup asks for none of them, and they have no length limit.
struct FileSetting {
    const char* key;
    std::string* value;
};

const FileSetting kFileSettings[] = {
    {"TLS CAFile", &g_TlsCaFile},
    {"TLS Fingerprint", &g_TlsFingerprint},
    {"SMTP User", &g_SmtpUser},
    {"SMTP Password", &g_SmtpPassword},
    {"SMTP PasswordCommand", &g_SmtpPasswordCommand},
    {"SMTP Auth", &g_SmtpAuth},
    {"NNTP PasswordCommand", &g_NewsPasswordCommand},
    {"OAuth Provider", &g_OAuthProvider},
    {"OAuth Tenant", &g_OAuthTenant},
    {"OAuth Issuer", &g_OAuthIssuer},
    {"OAuth Device Endpoint", &g_OAuthDeviceEndpoint},
    {"OAuth Token Endpoint", &g_OAuthTokenEndpoint},
    {"OAuth Authorize Endpoint", &g_OAuthAuthorizeEndpoint},
    {"OAuth Client ID", &g_OAuthClientId},
    {"OAuth Client Secret", &g_OAuthClientSecret},
    {"OAuth Scope", &g_OAuthScope},
    {"OAuth Flow", &g_OAuthFlow},
};

std::string ReadSetting(const Setting& setting)
{
    const std::string value = platform::ReadProfileString(kSection, setting.key, "");
    return NeutraliseLineBreaks(value.c_str());
}

bool RefuseLongSetting(const Setting& setting)
{
    std::fprintf(stderr, "%s: The setting '%s' is longer than %d characters. Aborting.\n",
                 g_ProgramName, setting.key, setting.capacity - 1);
    return false;
}

bool NotInitialized()
{
    std::fprintf(stderr, "%s: Not initialized.\r\nRun: %s -init\n\n", g_ProgramName, g_ProgramName);
    return false;
}

bool LoadInto(char* buffer, const Setting& setting)
{
    if (buffer[0] != '\0') return true;
    const std::string value = ReadSetting(setting);
    return CopySetting(buffer, setting.capacity, value.c_str()) || RefuseLongSetting(setting);
}

bool LoadRequiredInto(char* buffer, const Setting& setting)
{
    if (buffer[0] != '\0') return true;
    const std::string value = ReadSetting(setting);
    if (value.empty()) return NotInitialized();
    return CopySetting(buffer, setting.capacity, value.c_str()) || RefuseLongSetting(setting);
}

// "-f" and "-F" fill X-Sender; an existing empty header counts as given.
bool LoadReturnAddress(CSMTPEmail& mail)
{
    if (mail.GetHeader("X-Sender", nullptr)) return true;
    const std::string value = ReadSetting(kReturnAddress);
    if (value.empty()) return NotInitialized();
    if (value.size() >= static_cast<std::size_t>(kReturnAddress.capacity))
        return RefuseLongSetting(kReturnAddress);
    mail.SetHeader("X-Sender", value.c_str(), 0);
    return true;
}

bool Ask(const Setting& setting)
{
    return AskSetting(setting.key, setting.question, setting.capacity, stdin);
}

}  // namespace

int LoadSettings(CSMTPEmail& mail)
{
    const bool loaded =
        LoadRequiredInto(g_MailServer, kHost) && LoadReturnAddress(mail) &&
        LoadInto(g_NewsUser, kNewsUser) && LoadInto(g_NewsPassword, kNewsPassword) &&
        LoadInto(g_NewsServer, kNewsHost) && LoadInto(g_Organization, kOrganization);
    if (!loaded) return 0;
    LoadFileSettings();
    return 1;
}

void LoadFileSettings()
{
    for (const FileSetting& setting : kFileSettings)
        *setting.value =
            NeutraliseLineBreaks(platform::ReadProfileString(kSection, setting.key, "").c_str());
}

bool AskSetting(const char* key, const char* question, int capacity, FILE* answers)
{
    const std::string current = platform::ReadProfileString(kSection, key, "");
    std::string answer;
    for (;;) {
        if (!PromptLine(question, current.c_str(), answer, answers)) return false;
        if (answer.empty()) answer = NeutraliseLineBreaks(current.c_str());
        if (answer.size() < static_cast<std::size_t>(capacity)) break;
        std::fprintf(stderr, "%s: The answer is longer than %d characters.\n", g_ProgramName,
                     capacity - 1);
    }
    if (platform::WriteProfileString(kSection, key, answer.c_str())) return true;
    std::fprintf(stderr, "%s: The setting '%s' could not be written to %s.\n", g_ProgramName, key,
                 platform::kProfileFileName);
    return false;
}

int RunSetup()
{
    std::fprintf(stderr, "%s: Setup\r\n\r\n", g_ProgramName);
    if (!Ask(kHost) || !Ask(kReturnAddress) || !Ask(kOrganization)) return -1;
    std::fprintf(stderr,
                 "\nThe following applies only if you will use %s to\npost usenet messages.\n",
                 g_ProgramName);
    if (Ask(kNewsHost) && Ask(kNewsUser)) Ask(kNewsPassword);
    return -1;
}
