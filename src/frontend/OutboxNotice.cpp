#include "frontend/OutboxNotice.h"

#include "platform/Clock.h"

namespace {

// A 5.x.x status for a refusal, 4.4.7 for a message that grew too old.
std::string StatusOf(const std::string& reason)
{
    if (reason.compare(0, 7, "Expired") == 0) return "4.4.7";
    const std::size_t code = reason.find(" 5.");
    if (code != std::string::npos && code + 6 <= reason.size()) return reason.substr(code + 1, 5);
    return "5.0.0";
}

}  // namespace

std::string NoticeMessage(const OutboxEnvelope& failed, const std::string& to,
                          const std::string& reason, const std::string& headers,
                          const std::string& date, const std::string& localHost)
{
    const std::string boundary = "REPORT." + std::to_string(platform::CurrentTime()) + "." +
                                 std::to_string(platform::ProcessId());
    std::string text = "From: Mail Delivery System <" + failed.sender + ">\r\nTo: <" + to +
                       ">\r\nSubject: Undelivered Mail Returned to Sender\r\nDate: " + date +
                       "\r\nAuto-Submitted: auto-replied\r\nMIME-Version: 1.0\r\n"
                       "Content-Type: multipart/report; report-type=delivery-status;\r\n"
                       "\tboundary=\"" +
                       boundary + "\"\r\n\r\n";
    text += "--" + boundary +
            "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
            "A message from the outbox could not be delivered to its receivers:\r\n" +
            reason + "\r\n\r\n";
    text += "--" + boundary + "\r\nContent-Type: message/delivery-status\r\n\r\n" +
            "Reporting-MTA: dns; " + localHost + "\r\n";
    for (const std::string& receiver : failed.receivers)
        text += "\r\nFinal-Recipient: rfc822; " + receiver +
                "\r\nAction: failed\r\nStatus: " + StatusOf(reason) + "\r\n";
    text += "\r\n--" + boundary + "\r\nContent-Type: text/rfc822-headers\r\n\r\n" + headers +
            "\r\n--" + boundary + "--\r\n";
    return text;
}
