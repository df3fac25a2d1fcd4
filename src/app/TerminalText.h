#pragma once

#include <string>
#include <string_view>

namespace quorvin::app {

// Text from outside (model and agent names, settings) made safe to print: control
// characters (C0, DEL, C1) and bytes that are not UTF-8 are written as visible escapes
// ("\x1b", "\u0085"), so a name cannot move the cursor, clear the screen or retitle the
// terminal. Everything else passes unchanged.
std::string printable(std::string_view text);

}  // namespace quorvin::app
