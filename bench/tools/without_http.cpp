// Linked before the mail library, this takes the place of its HTTP client:
// the program as it was without one, the reference for the start-up time.
#include "platform/Http.h"

namespace platform {

bool SendHttpRequest(const HttpRequest&, HttpResponse*, std::string* why)
{
    *why = "HTTP is not built into this program";
    return false;
}

}  // namespace platform
