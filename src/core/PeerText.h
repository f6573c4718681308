#pragma once

#include <string>

namespace core {

// Text that came from a peer (a server's reply, a certificate's names), made
// safe for a terminal: control bytes, C1 controls and bytes that are not
// valid UTF-8 show as \xNN; printable ASCII and valid UTF-8 stay as they are.
std::string PrintablePeerText(const std::string& bytes);

}  // namespace core
