#include "core/ModelLabel.h"

#include "core/TextCut.h"

namespace quorvin {

std::optional<std::string> cleanModelLabel(std::string_view raw) {
  std::string_view trimmed = trimWhitespace(raw);
  if (trimmed.empty()) return std::nullopt;
  return prefixOfCharacters(trimmed, kModelLabelMaxCharacters);
}

}  // namespace quorvin
