#include "oauth/OAuth.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/CSMTPException.h"
#include "core/PeerText.h"
#include "core/Text.h"
#include "mail/Globals.h"
#include "oauth/OAuthHttp.h"
#include "oauth/OAuthJson.h"
#include "oauth/OAuthLogin.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/TokenStore.h"

namespace oauth {
namespace {

constexpr long kValidityMargin = 60;  // seconds a token must still be good for
// Seconds to wait for another run's refresh: its requests, each bounded.
constexpr int kLockTimeLimit = 300;
constexpr std::size_t kShownLimit = 512;  // bytes of a server's text in a message
constexpr const char* kSignInAgain = "the sign-in has expired or was revoked: run quillex -login";

struct Provider {
    const char* name;
    const char* device;  // "%s" is the tenant
    const char* token;
    const char* authorize;
    const char* scope;
    const char* clientCredentialsScope;
    const char* flow;
    const char* authorizeExtra;  // more parameters of the authorization address
};

// From the providers' public documentation.
const Provider kProviders[] = {
    {"microsoft", "https://login.microsoftonline.com/%s/oauth2/v2.0/devicecode",
     "https://login.microsoftonline.com/%s/oauth2/v2.0/token",
     "https://login.microsoftonline.com/%s/oauth2/v2.0/authorize",
     "https://outlook.office.com/SMTP.Send offline_access",
     "https://outlook.office365.com/.default", "device", ""},
    // Its device flow does not grant the mail scope; a refresh token needs access_type.
    {"google", "https://oauth2.googleapis.com/device/code", "https://oauth2.googleapis.com/token",
     "https://accounts.google.com/o/oauth2/v2/auth", "https://mail.google.com/",
     "https://mail.google.com/", "browser", "&access_type=offline&prompt=consent"},
};

using core::Lower;
using core::Trimmed;

std::string WithTenant(const char* pattern, const std::string& tenant)
{
    std::string text = pattern;
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, tenant);
    return text;
}

const Provider* FindProvider(const std::string& name)
{
    for (const Provider& provider : kProviders)
        if (name == provider.name) return &provider;
    Fail("the provider \"" + name + "\" is unknown (known: microsoft, google)");
}

// Discovery asks the issuer at most once per run, and only when an
// endpoint is missing. A document that names another issuer may come from
// a server that plays one issuer against another: it ends the run.
void Discover(Config& config)
{
    if (config.discovered || config.issuer.empty()) return;
    config.discovered = true;
    std::string why;
    bool temporary = false;
    for (const std::string& url : DiscoveryUrls(config.issuer)) {
        const platform::HttpResponse response = Request(url, {}, "issuer");
        if (response.status != 200) {
            why = "HTTP status " + std::to_string(response.status);
            temporary = response.status >= 500;
            continue;
        }
        Endpoints found;
        temporary = false;
        if (!ParseDiscovery(response.body, &found, &why)) continue;
        if (found.issuer != config.issuer)
            Fail("the document \"" + url + "\" names the issuer \"" + Shown(found.issuer) +
                 "\", not the configured \"" + config.issuer + "\"");
        if (config.device.empty()) config.device = found.device;
        if (config.token.empty()) config.token = found.token;
        if (config.authorize.empty()) config.authorize = found.authorize;
        return;
    }
    const std::string text =
        "the issuer \"" + config.issuer + "\" did not describe its endpoints (" + why + ")";
    if (temporary) FailTemporarily(text);
    Fail(text);
}

const std::string& Endpoint(Config& config, std::string Config::*which, const char* what)
{
    if ((config.*which).empty()) Discover(config);
    if ((config.*which).empty())
        Fail(std::string("no ") + what +
             " is known: set OAuth Provider, OAuth Issuer or the endpoint itself");
    return config.*which;
}

std::int64_t Now()
{
    return static_cast<std::int64_t>(platform::CurrentTime());
}

}  // namespace

std::vector<std::string> DiscoveryUrls(std::string issuer)
{
    while (!issuer.empty() && issuer.back() == '/') issuer.pop_back();
    const std::size_t host = issuer.find("://");
    const std::size_t path = issuer.find('/', host == std::string::npos ? 0 : host + 3);
    const std::string origin = issuer.substr(0, path);
    const std::string rest = path == std::string::npos ? std::string() : issuer.substr(path);
    return {issuer + "/.well-known/openid-configuration",
            origin + "/.well-known/oauth-authorization-server" + rest};
}

void Fail(const std::string& why)
{
    CSMTPException error(AUTH_FAILED);
    error << "OAuth: " << why << ".";
    throw error;
}

void FailTemporarily(const std::string& why)
{
    CSMTPException error(AUTH_FAILED);
    error << "OAuth: " << why << ".";
    MarkTemporary(error);
    throw error;
}

std::string Shown(const std::string& text)
{
    return core::PrintablePeerText(text.substr(0, kShownLimit));
}

void FailWithAnswer(const char* what, const std::string& url,
                    const platform::HttpResponse& response, const ServerAnswer& answer)
{
    std::string why = std::string("the ") + what + " \"" + Shown(url) + "\" refused (HTTP " +
                      std::to_string(response.status) + ")";
    if (!answer.error.empty()) why += ": " + Shown(answer.error);
    if (!answer.errorDescription.empty()) why += " (" + Shown(answer.errorDescription) + ")";
    if (response.status >= 500) FailTemporarily(why);
    Fail(why);
}

Config::~Config()
{
    platform::WipeSecret(&clientSecret);
}

Config LoadConfig()
{
    Config config;
    config.clientId = g_OAuthClientId;
    const char* secret = std::getenv("QUILLEX_OAUTH_CLIENT_SECRET");
    config.clientSecret = secret && *secret ? secret : g_OAuthClientSecret;
    config.issuer = Trimmed(g_OAuthIssuer);
    const std::string providerName = Lower(Trimmed(g_OAuthProvider));
    const Provider* provider = providerName.empty() ? nullptr : FindProvider(providerName);
    std::string flow = Lower(Trimmed(g_OAuthFlow));
    if (flow.empty()) flow = provider ? provider->flow : "device";
    if (flow == "device")
        config.flow = Flow::DEVICE;
    else if (flow == "browser")
        config.flow = Flow::BROWSER;
    else if (flow == "client_credentials")
        config.flow = Flow::CLIENT_CREDENTIALS;
    else
        Fail("the flow \"" + flow + "\" is unknown (known: device, browser, client_credentials)");
    config.scope = Trimmed(g_OAuthScope);
    if (provider) {
        const std::string tenant =
            Trimmed(g_OAuthTenant).empty() ? "organizations" : Trimmed(g_OAuthTenant);
        config.device = WithTenant(provider->device, tenant);
        config.token = WithTenant(provider->token, tenant);
        config.authorize = WithTenant(provider->authorize, tenant);
        config.authorizeExtra = provider->authorizeExtra;
        if (config.scope.empty())
            config.scope = config.flow == Flow::CLIENT_CREDENTIALS
                               ? provider->clientCredentialsScope
                               : provider->scope;
    }
    for (auto [value, key] : {std::pair{&config.device, &g_OAuthDeviceEndpoint},
                              std::pair{&config.token, &g_OAuthTokenEndpoint},
                              std::pair{&config.authorize, &g_OAuthAuthorizeEndpoint}})
        if (!Trimmed(*key).empty()) *value = Trimmed(*key);
    return config;
}

std::string DeviceEndpoint(Config& config)
{
    return Endpoint(config, &Config::device, "device endpoint");
}

std::string TokenEndpoint(Config& config)
{
    return Endpoint(config, &Config::token, "token endpoint");
}

std::string AuthorizeEndpoint(Config& config)
{
    return Endpoint(config, &Config::authorize, "authorization endpoint");
}

void AddClient(const Config& config, Form& form)
{
    form.emplace_back("client_id", config.clientId);
    if (!config.clientSecret.empty()) form.emplace_back("client_secret", config.clientSecret);
}

void WipeForm(Form& form)
{
    for (auto& field : form) platform::WipeSecret(&field.second);
}

platform::HttpResponse Exchange(Config& config, Form& form, ServerAnswer* answer)
{
    const FormGuard wipe(form);
    const std::string url = TokenEndpoint(config);
    AddClient(config, form);
    platform::HttpResponse response = Request(url, form, "token endpoint");
    std::string why;
    if (!ParseServerAnswer(response.body, answer, &why)) {
        if (response.status >= 500) FailWithAnswer("token endpoint", url, response, *answer);
        Fail("the token endpoint \"" + Shown(url) + "\" answered HTTP " +
             std::to_string(response.status) + " with what is not its answer: " + why);
    }
    return response;
}

void TakeTokens(Config& config, const platform::HttpResponse& response, const ServerAnswer& answer,
                platform::StoredTokens* tokens)
{
    if (response.status != 200 || !answer.error.empty() || answer.accessToken.empty())
        FailWithAnswer("token endpoint", TokenEndpoint(config), response, answer);
    if (Lower(answer.tokenType) != "bearer")
        Fail("the token endpoint \"" + Shown(TokenEndpoint(config)) + "\" gave a token of type \"" +
             Shown(answer.tokenType) + "\", not Bearer");
    tokens->accessToken = answer.accessToken;
    if (!answer.refreshToken.empty()) tokens->refreshToken = answer.refreshToken;
    tokens->expiresAt = Now() + (answer.expiresIn >= 0 ? answer.expiresIn : 3600);
}

namespace {

platform::TokenKey KeyFor(const Config& config, const std::string& user)
{
    // Without a known token endpoint the issuer names the server, so that a
    // stored token needs no discovery.
    return {config.token.empty() ? config.issuer : config.token, config.clientId, user};
}

void Save(const platform::TokenKey& key, const platform::StoredTokens& tokens)
{
    std::string why;
    if (!platform::SaveTokens(key, tokens, &why)) Fail(why);
}

bool Load(const platform::TokenKey& key, platform::StoredTokens* tokens)
{
    bool found = false;
    std::string why;
    if (!platform::LoadTokens(key, tokens, &found, &why)) Fail(why);
    return found;
}

// A stored access token that still has its margin and is not the one the
// mail server has just refused.
bool Usable(bool found, const platform::StoredTokens& tokens, const std::string& refused)
{
    return found && !tokens.accessToken.empty() && tokens.accessToken != refused &&
           tokens.expiresAt - Now() >= kValidityMargin;
}

// Held across load, refresh and save: parallel runs refresh one at a time.
class StoreLock {
public:
    StoreLock()
    {
        std::string why;
        if (!m_Lock.Take(kLockTimeLimit, &why)) Fail(why);
    }

private:
    platform::TokenStoreLock m_Lock;
};

void ClientCredentials(Config& config, platform::StoredTokens* tokens)
{
    Form form{{"grant_type", "client_credentials"}};
    if (!config.scope.empty()) form.emplace_back("scope", config.scope);
    ServerAnswer answer;
    const platform::HttpResponse response = Exchange(config, form, &answer);
    TakeTokens(config, response, answer, tokens);
}

}  // namespace

bool InUse()
{
    return !g_OAuthClientId.empty();
}

std::string SignIn(const std::string& user)
{
    Config config = LoadConfig();
    if (config.clientId.empty()) Fail("OAuth Client ID is not set in the settings");
    if (user.empty()) Fail("SMTP User is not set: the tokens are stored for that user");
    const platform::TokenKey key = KeyFor(config, user);
    platform::StoredTokens tokens;
    switch (config.flow) {
    case Flow::DEVICE: DeviceSignIn(config, &tokens); break;
    case Flow::BROWSER: BrowserSignIn(config, &tokens); break;
    case Flow::CLIENT_CREDENTIALS: ClientCredentials(config, &tokens); break;
    }
    const StoreLock lock;
    Save(key, tokens);
    return platform::TokenStoreLocation();
}

std::string AccessToken(const std::string& user, const std::string& refused)
{
    Config config = LoadConfig();
    const platform::TokenKey key = KeyFor(config, user);
    platform::StoredTokens tokens;
    bool found = Load(key, &tokens);
    if (Usable(found, tokens, refused)) return tokens.accessToken;
    // Another run may be refreshing with the same refresh token: a server that
    // rotates them takes the second use for a theft and revokes the sign-in.
    const StoreLock lock;
    found = Load(key, &tokens);
    if (Usable(found, tokens, refused)) return tokens.accessToken;
    if (config.flow == Flow::CLIENT_CREDENTIALS) {
        ClientCredentials(config, &tokens);
    } else {
        if (!found) Fail("no OAuth token is stored: run quillex -login");
        for (bool retried = false;; retried = true) {
            if (tokens.refreshToken.empty()) Fail(kSignInAgain);
            Form form{{"grant_type", "refresh_token"}, {"refresh_token", tokens.refreshToken}};
            ServerAnswer answer;
            const platform::HttpResponse response = Exchange(config, form, &answer);
            if (answer.error != "invalid_grant") {
                TakeTokens(config, response, answer, &tokens);
                break;
            }
            // A run that holds no lock (an older one) may have stored a new one.
            platform::StoredTokens again;
            if (retried || !Load(key, &again) || again.refreshToken == tokens.refreshToken)
                Fail(kSignInAgain);
            if (Usable(true, again, refused)) return again.accessToken;
            tokens.refreshToken = again.refreshToken;
        }
    }
    Save(key, tokens);
    return tokens.accessToken;
}

}  // namespace oauth
