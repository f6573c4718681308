#pragma once

#include <string>

// A new Message-ID, "<random@domain>": 128 random bits from the system's
// random source, in hex, and the domain of the sender's address (the local
// host's name when the address has none). UNKNOWN_ERROR when the system
// gives no random bytes.
std::string MakeMessageId(const std::string& sender, const std::string& localHost);
