#include "platform/Http.h"

namespace platform {

bool SendHttpRequest(const HttpRequest&, HttpResponse* response, std::string* why)
{
    response->status = 0;
    response->body.clear();
    *why = "OAuth sign-in over HTTP is not built into this Windows version yet";
    return false;
}

}  // namespace platform
