#include "frontend/Settings.h"

#include <cstring>
#include <string>
#include <vector>

#include "frontend/Console.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/SettingsKeys.h"
#include "platform/Crypto.h"
#include "platform/FileStatus.h"
#include "platform/ProfileFile.h"

namespace {

constexpr const char* kSection = "Setup";

// The return address has no buffer of its own; its limit is that of the
// value read from the file.
constexpr int kReturnAddressCapacity = 512;

struct Setting {
    SettingsKey key;
    const char* question;
    int capacity;
};

constexpr Setting kHost{SettingsKey::Host, "Your mail server", kServerCapacity};
constexpr Setting kReturnAddress{
    SettingsKey::ReturnAddress, "Default return path (Your email address)", kReturnAddressCapacity};
constexpr Setting kOrganization{SettingsKey::Organization, "Organization (not reqiuired)",
                                kServerCapacity};
constexpr Setting kNewsHost{SettingsKey::NewsHost, "Your NNTP server", kServerCapacity};
constexpr Setting kNewsUser{SettingsKey::NewsUser, "Login name on server", kLoginCapacity};
constexpr Setting kNewsPassword{SettingsKey::NewsPassword, "Login pawssword on server",
                                kLoginCapacity};

// Read only from the file: setup asks for none of them, and they have no length limit.
struct FileSetting {
    SettingsKey key;
    std::string* value;
};

const FileSetting kFileSettings[] = {
    {SettingsKey::TlsCaFile, &g_TlsCaFile},
    {SettingsKey::TlsFingerprint, &g_TlsFingerprint},
    {SettingsKey::SmtpUser, &g_SmtpUser},
    {SettingsKey::SmtpPassword, &g_SmtpPassword},
    {SettingsKey::SmtpPasswordCommand, &g_SmtpPasswordCommand},
    {SettingsKey::SmtpAuth, &g_SmtpAuth},
    {SettingsKey::NewsPasswordCommand, &g_NewsPasswordCommand},
    {SettingsKey::OAuthProvider, &g_OAuthProvider},
    {SettingsKey::OAuthTenant, &g_OAuthTenant},
    {SettingsKey::OAuthIssuer, &g_OAuthIssuer},
    {SettingsKey::OAuthDeviceEndpoint, &g_OAuthDeviceEndpoint},
    {SettingsKey::OAuthTokenEndpoint, &g_OAuthTokenEndpoint},
    {SettingsKey::OAuthAuthorizeEndpoint, &g_OAuthAuthorizeEndpoint},
    {SettingsKey::OAuthClientId, &g_OAuthClientId},
    {SettingsKey::OAuthClientSecret, &g_OAuthClientSecret},
    {SettingsKey::OAuthScope, &g_OAuthScope},
    {SettingsKey::OAuthFlow, &g_OAuthFlow},
};

// Secrets that a file others may read gives away: the run is refused. The
// news password only earns a warning, as it always worked so.
constexpr SettingsKey kRefusedSecrets[] = {SettingsKey::SmtpPassword,
                                           SettingsKey::OAuthClientSecret};
constexpr SettingsKey kWarnedSecrets[] = {SettingsKey::NewsPassword};
constexpr unsigned kReadableByOthers = 044;

const std::string& ReadKey(SettingsKey key)
{
    return SettingValue(key);
}

std::string ReadSetting(const Setting& setting)
{
    return NeutraliseLineBreaks(ReadKey(setting.key).c_str());
}

bool RefuseLongSetting(const Setting& setting)
{
    std::fprintf(stderr, "%s: The setting '%s' is longer than %d characters. Aborting.\n",
                 g_ProgramName, KeyName(setting.key), setting.capacity - 1);
    return false;
}

template <std::size_t N>
const char* HeldSecret(const SettingsKey (&keys)[N])
{
    for (const SettingsKey key : keys) {
        if (!ReadKey(key).empty()) return KeyName(key);
    }
    return nullptr;
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
    return AskSetting(KeyName(setting.key), setting.question, setting.capacity, stdin);
}

}  // namespace

int RefuseExposedSecrets()
{
    const std::string path = platform::ReadProfileFilePath();
    unsigned mode = 0;
    if (path.empty() || !platform::FilePermissions(path.c_str(), mode)) return 0;
    if ((mode & kReadableByOthers) == 0) return 0;
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", mode);
    if (const char* key = HeldSecret(kRefusedSecrets)) {
        std::fprintf(stderr,
                     "%s: The settings file '%s' holds '%s', but group or others may read it "
                     "(mode %s). Make it readable by you only (chmod 600). Aborting.\n",
                     g_ProgramName, path.c_str(), key, octal);
        return AUTH_FAILED;
    }
    const char* warned = g_Verbose ? HeldSecret(kWarnedSecrets) : nullptr;
    if (warned)
        std::fprintf(stderr,
                     "%s: Warning: the settings file '%s' holds '%s', but group or others may "
                     "read it (mode %s).\n",
                     g_ProgramName, path.c_str(), warned, octal);
    return 0;
}

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
        *setting.value = NeutraliseLineBreaks(ReadKey(setting.key).c_str());
}

const std::string& SettingValue(SettingsKey key)
{
    if (!g_SettingValues) {
        std::vector<const char*> names;
        for (std::size_t i = 0; i < kSettingsKeyCount; ++i)
            names.push_back(KeyName(static_cast<SettingsKey>(i)));
        g_SettingValues = platform::ReadProfileStrings(kSection, names);
    }
    return (*g_SettingValues)[static_cast<std::size_t>(key)];
}

void ForgetSettingValues()
{
    if (!g_SettingValues) return;
    for (std::string& value : *g_SettingValues) platform::WipeSecret(&value);
    g_SettingValues.reset();
}

namespace {

// The value of the key of that spelling, from the table where it has a row.
std::string ValueOfKeyNamed(const char* key)
{
    for (std::size_t i = 0; i < kSettingsKeyCount; ++i)
        if (std::strcmp(KeyName(static_cast<SettingsKey>(i)), key) == 0)
            return SettingValue(static_cast<SettingsKey>(i));
    return platform::ReadProfileString(kSection, key, "");
}

}  // namespace

bool AskSetting(const char* key, const char* question, int capacity, FILE* answers)
{
    const std::string current = ValueOfKeyNamed(key);
    std::string answer;
    for (;;) {
        if (!PromptLine(question, current.c_str(), answer, answers)) return false;
        if (answer.empty()) answer = NeutraliseLineBreaks(current.c_str());
        if (answer.size() < static_cast<std::size_t>(capacity)) break;
        std::fprintf(stderr, "%s: The answer is longer than %d characters.\n", g_ProgramName,
                     capacity - 1);
    }
    ForgetSettingValues();
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
