#include "transport/TemporaryFailure.h"

#include "core/Text.h"

namespace transport {
namespace {

using core::Lower;

bool IsTemporaryReply(const std::string& reply, bool news)
{
    if (reply.empty() || reply[0] != '4') return false;
    // NNTP's 4xx mostly say no for good; only these ask to try again.
    return !news || reply.compare(0, 3, "400") == 0 || reply.compare(0, 3, "436") == 0;
}

}  // namespace

bool IsTemporaryFailure(const CSMTPException& error, const std::string& lastReply, bool news)
{
    // The sign-in marks its own temporary failures where it meets them.
    if (::IsTemporaryFailure(error)) return true;
    switch (error.m_Code) {
    case FAILED_TO_RESOLVE_HOST:
    case FAILED_TO_RESOLVE_HOST_IP_NAME:
    case FAILED_TO_CONNECT:
    case FAILED_TO_SEND:
    case FAILED_TO_RECEIVE: return true;
    case TLS_FAILED: return error.m_SessionBroken;
    case SERVER_ERROR: return IsTemporaryReply(lastReply, news);
    case AUTH_FAILED: return IsTemporaryReply(lastReply, news);
    default: return false;
    }
}

bool IsThrottled(const std::string& lastReply)
{
    if (lastReply.compare(0, 3, "421") == 0) return true;
    if (lastReply.size() < 4 || lastReply[0] != '4') return false;
    // The enhanced code follows the reply code and its separator.
    const std::string enhanced = lastReply.substr(4, 6);
    if (enhanced.compare(0, 4, "4.7.") == 0 || enhanced.compare(0, 5, "4.5.3") == 0) return true;
    const std::string lower = Lower(lastReply);
    return lower.find("throttl") != std::string::npos ||
           lower.find("rate limit") != std::string::npos ||
           lower.find("too many messages") != std::string::npos;
}

}  // namespace transport
