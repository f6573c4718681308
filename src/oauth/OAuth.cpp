#include "oauth/OAuth.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/CSMTPException.h"
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
// endpoint is missing.
void Discover(Config& config)
{
    if (config.discovered || config.issuer.empty()) return;
    config.discovered = true;
    std::string issuer = config.issuer;
    while (!issuer.empty() && issuer.back() == '/') issuer.pop_back();
    std::string why;
    for (const char* suffix :
         {"/.well-known/openid-configuration", "/.well-known/oauth-authorization-server"}) {
        const platform::HttpResponse response = Request(issuer + suffix, {}, "issuer");
        if (response.status != 200) {
            why = "HTTP status " + std::to_string(response.status);
            continue;
        }
        Endpoints found;
        if (!ParseDiscovery(response.body, &found, &why)) continue;
        if (config.device.empty()) config.device = found.device;
        if (config.token.empty()) config.token = found.token;
        if (config.authorize.empty()) config.authorize = found.authorize;
        return;
    }
    Fail("the issuer \"" + config.issuer + "\" did not describe its endpoints (" + why + ")");
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

void Fail(const std::string& why)
{
    CSMTPException error(AUTH_FAILED);
    error << "OAuth: " << why << ".";
    throw error;
}

void FailWithAnswer(const char* what, const std::string& url,
                    const platform::HttpResponse& response, const ServerAnswer& answer)
{
    std::string why = std::string("the ") + what + " \"" + url + "\" refused (HTTP " +
                      std::to_string(response.status) + ")";
    if (!answer.error.empty()) why += ": " + answer.error;
    if (!answer.errorDescription.empty()) why += " (" + answer.errorDescription + ")";
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
    if (!ParseServerAnswer(response.body, answer, &why))
        Fail("the token endpoint \"" + url + "\" answered HTTP " + std::to_string(response.status) +
             " with what is not its answer: " + why);
    return response;
}

void TakeTokens(Config& config, const platform::HttpResponse& response, const ServerAnswer& answer,
                platform::StoredTokens* tokens)
{
    if (response.status != 200 || !answer.error.empty() || answer.accessToken.empty())
        FailWithAnswer("token endpoint", TokenEndpoint(config), response, answer);
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
    Save(key, tokens);
    return platform::TokenStoreLocation();
}

std::string AccessToken(const std::string& user)
{
    Config config = LoadConfig();
    const platform::TokenKey key = KeyFor(config, user);
    platform::StoredTokens tokens;
    bool found = false;
    std::string why;
    if (!platform::LoadTokens(key, &tokens, &found, &why)) Fail(why);
    if (found && !tokens.accessToken.empty() && tokens.expiresAt - Now() >= kValidityMargin)
        return tokens.accessToken;
    if (config.flow == Flow::CLIENT_CREDENTIALS) {
        ClientCredentials(config, &tokens);
    } else {
        if (!found) Fail("no OAuth token is stored: run quillex -login");
        if (tokens.refreshToken.empty()) Fail(kSignInAgain);
        Form form{{"grant_type", "refresh_token"}, {"refresh_token", tokens.refreshToken}};
        ServerAnswer answer;
        const platform::HttpResponse response = Exchange(config, form, &answer);
        if (answer.error == "invalid_grant") Fail(kSignInAgain);
        TakeTokens(config, response, answer, &tokens);
    }
    Save(key, tokens);
    return tokens.accessToken;
}

}  // namespace oauth
