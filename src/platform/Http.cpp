#include "platform/Http.h"

#include "platform/Crypto.h"

namespace platform {

HttpResponse::~HttpResponse()
{
    WipeSecret(&body);
}

}  // namespace platform
