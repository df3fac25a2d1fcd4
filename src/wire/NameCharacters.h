#pragma once

namespace quorvin::wire {

// Characters that change how the text around them reads without being seen: controls (C0,
// DEL, C1 such as U+0085), soft hyphen, zero-width and joiner characters, line and
// paragraph separators, and bidirectional overrides ("exe.jpg" spoofing). None has a place
// in a name shown on a web page: the service refuses them, so the app never sends them.
constexpr bool isInvisibleInName(char32_t c) noexcept {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0xad || c == 0x061c || c == 0x180e ||
         (c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2060 && c <= 0x206f) ||
         c == 0xfeff || (c >= 0xfff9 && c <= 0xfffb);
}

}  // namespace quorvin::wire
