#pragma once

#include <string>
#include <vector>

#include "oauth/OAuthHttp.h"
#include "oauth/OAuthJson.h"
#include "platform/TokenStore.h"

// The pieces of the sign-in that the flows share. Every function throws
// CSMTPException with AUTH_FAILED.
namespace oauth {

enum class Flow { DEVICE, BROWSER, CLIENT_CREDENTIALS };

// The settings, with a provider's presets filled in. An endpoint that is
// still empty comes from the issuer's discovery document when first asked for.
struct Config {
    Flow flow = Flow::DEVICE;
    std::string clientId;
    std::string clientSecret;
    std::string scope;
    std::string issuer;
    std::string device;
    std::string token;
    std::string authorize;
    std::string authorizeExtra;
    bool discovered = false;
    ~Config();
};

Config LoadConfig();
// The two documents that may describe an issuer: OpenID's after the issuer,
// RFC 8414's with its suffix between the host and the issuer's path.
std::vector<std::string> DiscoveryUrls(std::string issuer);
std::string DeviceEndpoint(Config& config);
std::string TokenEndpoint(Config& config);
std::string AuthorizeEndpoint(Config& config);

// client_id, and client_secret when there is one.
void AddClient(const Config& config, Form& form);
void WipeForm(Form& form);

// Wipes the form's values when it goes out of scope, also when a request throws.
class FormGuard {
public:
    explicit FormGuard(Form& form) : m_Form(form) {}
    FormGuard(const FormGuard&) = delete;
    FormGuard& operator=(const FormGuard&) = delete;
    ~FormGuard() { WipeForm(m_Form); }

private:
    Form& m_Form;
};

// Posts the form (with the client added, then wiped) to the token endpoint
// and reads its JSON answer, whatever its status.
platform::HttpResponse Exchange(Config& config, Form& form, ServerAnswer* answer);
// Takes the tokens of a successful answer; anything else ends the run.
void TakeTokens(Config& config, const platform::HttpResponse& response, const ServerAnswer& answer,
                platform::StoredTokens* tokens);
[[noreturn]] void FailWithAnswer(const char* what, const std::string& url,
                                 const platform::HttpResponse& response,
                                 const ServerAnswer& answer);
[[noreturn]] void Fail(const std::string& why);
// The same for a failure that a later try may not meet.
[[noreturn]] void FailTemporarily(const std::string& why);
// A text of the authorization server, bounded and made safe for a terminal.
std::string Shown(const std::string& text);

void DeviceSignIn(Config& config, platform::StoredTokens* tokens);
void BrowserSignIn(Config& config, platform::StoredTokens* tokens);

}  // namespace oauth
