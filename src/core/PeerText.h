#pragma once

#include <string>

namespace core {

// Text that came from a server (reply lines, certificate names), safe to
// print on a terminal: control bytes and bytes that are not valid UTF-8
// show as \xNN (a NUL as \x00); everything else stays as it is.
std::string PrintablePeerText(const std::string& bytes);

}  // namespace core
