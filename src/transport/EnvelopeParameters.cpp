#include <cstdio>

#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "transport/Session.h"

namespace transport {
namespace {

bool Offers(const MailSession& session, const char* keyword)
{
    return session.offered && session.offered->Has(keyword);
}

bool WantsDsn(const EnvelopeExtras& extras)
{
    return !extras.notify.empty() || !extras.ret.empty() || !extras.envid.empty();
}

// RFC 3461 xtext: "+" and "=" and anything outside "!".."~" as "+HH".
std::string XText(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte > ' ' && byte < 0x7F && byte != '+' && byte != '=') {
            out += c;
        } else {
            out += '+';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace

std::string MailParameters(const CSMTPEmail& email, const MailSession& session)
{
    const EnvelopeExtras& extras = email.m_Extras;
    std::string out;
    if (!extras.body.empty() && Offers(session, "8BITMIME"))
        out += " BODY=" + extras.body;
    else if (extras.body == "8BITMIME" && g_Verbose)
        std::fputs("The server does not offer 8BITMIME: the 8-bit message goes as it is.\n",
                   stderr);
    if (!WantsDsn(extras)) return out;
    if (!Offers(session, "DSN")) {
        if (g_Verbose)
            std::fputs(
                "The server does not offer DSN: the message goes without NOTIFY, RET and "
                "ENVID.\n",
                stderr);
        return out;
    }
    if (!extras.ret.empty()) out += " RET=" + extras.ret;
    if (!extras.envid.empty()) out += " ENVID=" + XText(extras.envid);
    return out;
}

std::string RcptParameters(const CSMTPEmail& email, const MailSession& session)
{
    const std::string& notify = email.m_Extras.notify;
    if (notify.empty() || !Offers(session, "DSN")) return std::string();
    return " NOTIFY=" + notify;
}

}  // namespace transport
