#pragma once

#include <cstddef>
#include <string>

#include "platform/Tls.h"

// What both TLS back ends share: the checks before a session starts, and
// the texts of their messages.
namespace platform {

// *pin gets the pinned fingerprint in upper-case hex (empty without one).
// False, with *why, for a pin that is not a fingerprint and for an empty
// host name, which would turn the name check off.
bool CheckTlsPeer(const TlsPeer& peer, std::string* pin, std::string* why);

// Upper-case hex, two digits a byte, nothing between them.
std::string HexText(const unsigned char* bytes, std::size_t length);

// "SHA256:AB:CD:..." for hex as HexText writes it.
std::string ShownFingerprint(const std::string& hex);

}  // namespace platform
