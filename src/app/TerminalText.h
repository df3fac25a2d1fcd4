#pragma once

#include <string>
#include <string_view>

#include "core/NumberText.h"

namespace quorvin::app {

// Text from outside (model and agent names, settings) made safe to print: control
// characters (C0, DEL, C1) and bytes that are not UTF-8 are written as visible escapes
// ("\x1b", "\u0085"), so a name cannot move the cursor, clear the screen or retitle the
// terminal. Everything else passes unchanged.
std::string printable(std::string_view text);

// The text padded with spaces to the width, and at least one space after it.
std::string padded(std::string text, size_t width);

// "Label                 value\n": the label padded to 22 columns (at least one space).
std::string labelledLine(const std::string& label, const std::string& value);

}  // namespace quorvin::app
