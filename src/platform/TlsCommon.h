#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Tls.h"

// What both TLS back ends share: the checks before a session starts, how a
// host is matched, the pin comparison, and the texts of their messages.
// Every text that comes from the server is escaped here.
namespace platform {

// Bytes of the server's first answer kept to tell plain text from TLS.
constexpr std::size_t kShownBytes = 80;

extern const char kClosedDuringHandshake[];
extern const char kClosedWithoutCloseNotify[];
extern const char kHandshakeTimedOut[];

// *pin gets the pinned fingerprint in upper-case hex (empty without one).
// False, with *why, for a pin that is not a fingerprint and for an empty
// host name, which would turn the name check off.
bool CheckTlsPeer(const TlsPeer& peer, std::string* pin, std::string* why);

// An IPv4 or IPv6 address as text: matched against the certificate's
// addresses only, and never sent as SNI. Anything else is a host name.
bool IsAddressLiteral(const std::string& host);

// Every byte compared, in the same time whatever differs.
bool PinMatches(const std::string& pin, const std::string& found);
std::string PinRefusal(const std::string& pin, const std::string& found);

// The names are the certificate's DNS names and addresses as text (or its
// subject when it has none); at most ten are listed.
std::string NameMismatch(const std::vector<std::string>& names, const std::string& host);
// "REASON (subject S, issuer I)"
std::string CertificateFault(const std::string& reason, const std::string& subject,
                             const std::string& issuer);

// The server's first line, escaped, when its first bytes look like text
// rather than a TLS record; empty otherwise.
std::string PlainTextLine(const std::string& firstBytes);
std::string PlainTextAnswer(const std::string& line);

// Upper-case hex, two digits a byte, nothing between them.
std::string HexText(const unsigned char* bytes, std::size_t length);

// "SHA256:AB:CD:..." for hex as HexText writes it.
std::string ShownFingerprint(const std::string& hex);

}  // namespace platform
