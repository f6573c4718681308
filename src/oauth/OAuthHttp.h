#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Http.h"

// The HTTP side of the sign-in: which addresses may be asked, forms, and
// requests shown under -d with their secrets hidden.
namespace oauth {

using Form = std::vector<std::pair<std::string, std::string>>;

// Throws AUTH_FAILED unless the address is https://, or http:// to a
// loopback host (127.0.0.1, [::1], localhost). what names it: "token endpoint".
void RefuseInsecureUrl(const std::string& url, const char* what);

// "a=b&c=d", each part percent-encoded.
std::string EncodeForm(const Form& form);
std::string PercentEncode(const std::string& text);
std::string PercentDecode(const std::string& text);

// The value of name in a query ("a=b&c=d", "+" a blank); empty when absent.
std::string QueryValue(const std::string& query, const std::string& name);

// One request: a POST of the form (a GET when it is empty) within
// QUILLEX_TIMEOUT, trusted as the mail connection is. Throws AUTH_FAILED,
// naming the endpoint, when no answer came.
platform::HttpResponse Request(const std::string& url, const Form& form, const char* what);

}  // namespace oauth
