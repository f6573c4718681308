#pragma once

#include <string>

#include "core/CSMTPException.h"

namespace transport {

// True when a later try may succeed: the server could not be reached, the
// connection was lost or timed out, a mail server answered 4xx at any step
// (454 to AUTH among them), or the token endpoint gave no answer. A 5xx, a
// refused certificate or login and bad arguments are final. lastReply is
// the first line of the reply that ended the delivery, "" when none came.
bool IsTemporaryFailure(const CSMTPException& error, const std::string& lastReply, bool news);

// A 421, or a 4xx whose enhanced code (4.7.x, 4.5.3) or text says the
// sender is sending too much: the server wants no more for now.
bool IsThrottled(const std::string& lastReply);

}  // namespace transport
