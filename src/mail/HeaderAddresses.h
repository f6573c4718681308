#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The addr-specs of an address list (RFC 5322), as a To, Cc or Bcc header or
// a receiver argument holds it, in order. Groups give their members (an empty
// group gives none), display names (encoded words too) and comments are
// dropped, line folds are blanks, a route before an angle address is skipped,
// and a quoted local part loses its quotes unless it needs them. A bare name
// without "@" is kept as a local address. False for a value that does not
// parse: an unclosed quote, comment, literal or angle address.
bool ParseAddressList(const std::string& value, std::vector<std::string>& addresses);

// Skips the comment that starts at text[at], nested ones included, leaving at
// after it; false when it does not close.
bool SkipComment(const std::string& text, std::size_t& at);
