#pragma once

#include <string>
#include <string_view>

namespace quorvin::SourceText {

// Unicode lower case (root locale): the one folding used for bucket keys, model groups
// and agent names, so a key written by one part is found by another.
std::string lowercased(std::string_view utf8);

// Case-insensitive equality under the same folding.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace quorvin::SourceText
