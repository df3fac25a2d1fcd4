#include "app/TerminalText.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace quorvin::app {

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int64_t>(text.size());
  int64_t i = 0;
  char escape[16];
  while (i < length) {
    const int64_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      for (int64_t b = start; b < i; ++b) {
        std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(s[b]));
        out += escape;
      }
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
      out += escape;
    } else if (c >= 0x80 && c <= 0x9f) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out.append(text.data() + start, static_cast<size_t>(i - start));
    }
  }
  return out;
}

std::string padded(std::string text, size_t width) {
  text.resize(std::max(text.size() + 1, width), ' ');
  return text;
}

std::string labelledLine(const std::string& label, const std::string& value) { return padded(label, 22) + value + "\n"; }

}  // namespace quorvin::app
