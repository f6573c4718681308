#include "oauth/OAuthJson.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "platform/Crypto.h"

namespace oauth {
namespace {

using Json = nlohmann::json;

constexpr const char* kSecretNames[] = {"access_token", "refresh_token", "id_token",
                                        "device_code",  "code",          "code_verifier",
                                        "client_secret"};

bool IsSecretName(const std::string& name)
{
    for (const char* secret : kSecretNames)
        if (name == secret) return true;
    return false;
}

bool ParseObject(const std::string& body, Json* object, std::string* why)
{
    *object = Json::parse(body, nullptr, false);
    if (object->is_discarded() || !object->is_object()) {
        *why = "the answer is not a JSON object";
        return false;
    }
    return true;
}

bool Text(const Json& object, const char* name, std::string* value, std::string* why)
{
    const auto found = object.find(name);
    if (found == object.end() || found->is_null()) return true;
    if (!found->is_string()) {
        *why = std::string("the field \"") + name + "\" is not a text";
        return false;
    }
    *value = found->get<std::string>();
    return true;
}

// Some servers send their numbers as texts.
bool Number(const Json& object, const char* name, long* value, std::string* why)
{
    const auto found = object.find(name);
    if (found == object.end() || found->is_null()) return true;
    if (found->is_number_integer() && found->get<long long>() >= 0 &&
        found->get<long long>() <= 100000000) {
        *value = static_cast<long>(found->get<long long>());
        return true;
    }
    if (found->is_string()) {
        const std::string text = found->get<std::string>();
        char* end = nullptr;
        const long number = std::strtol(text.c_str(), &end, 10);
        if (!text.empty() && *end == '\0' && number >= 0 && number <= 100000000) {
            *value = number;
            return true;
        }
    }
    *why = std::string("the field \"") + name + "\" is not a number of seconds";
    return false;
}

}  // namespace

ServerAnswer::~ServerAnswer()
{
    for (std::string* secret : {&accessToken, &refreshToken, &deviceCode})
        platform::WipeSecret(secret);
}

bool ParseServerAnswer(const std::string& body, ServerAnswer* answer, std::string* why)
{
    Json object;
    if (!ParseObject(body, &object, why)) return false;
    // The verification address is "verification_url" at one large provider.
    return Text(object, "access_token", &answer->accessToken, why) &&
           Text(object, "refresh_token", &answer->refreshToken, why) &&
           Text(object, "token_type", &answer->tokenType, why) &&
           Number(object, "expires_in", &answer->expiresIn, why) &&
           Text(object, "error", &answer->error, why) &&
           Text(object, "error_description", &answer->errorDescription, why) &&
           Text(object, "device_code", &answer->deviceCode, why) &&
           Text(object, "user_code", &answer->userCode, why) &&
           Text(object, "verification_uri", &answer->verificationUri, why) &&
           (!answer->verificationUri.empty() ||
            Text(object, "verification_url", &answer->verificationUri, why)) &&
           Text(object, "verification_uri_complete", &answer->verificationUriComplete, why) &&
           Number(object, "interval", &answer->interval, why);
}

bool ParseDiscovery(const std::string& body, Endpoints* endpoints, std::string* why)
{
    Json object;
    return ParseObject(body, &object, why) && Text(object, "issuer", &endpoints->issuer, why) &&
           Text(object, "device_authorization_endpoint", &endpoints->device, why) &&
           Text(object, "token_endpoint", &endpoints->token, why) &&
           Text(object, "authorization_endpoint", &endpoints->authorize, why);
}

std::string ShownBody(const std::string& body)
{
    const Json value = Json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return "(" + std::to_string(body.size()) + " bytes, not a JSON object)";
    // Only the first level: nested values are shown by their kind, which
    // keeps a deep document from a deep recursion here.
    Json shown = Json::object();
    for (auto item = value.begin(); item != value.end(); ++item) {
        if (IsSecretName(item.key()))
            shown[item.key()] = "<hidden>";
        else if (item->is_structured())
            shown[item.key()] = item->is_object() ? "{...}" : "[...]";
        else
            shown[item.key()] = *item;
    }
    return shown.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace oauth
