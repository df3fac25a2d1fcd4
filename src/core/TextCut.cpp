#include "core/TextCut.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace quorvin {

namespace {

// Creating a break iterator loads rules; each thread keeps one.
icu::BreakIterator* characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(made) : nullptr;
  }();
  return iterator.get();
}

// Plain ASCII without CR: every byte is one character (CR LF is a single cluster).
bool simpleAscii(std::string_view text) noexcept {
  for (unsigned char c : text) {
    if (c >= 0x80 || c == '\r') return false;
  }
  return true;
}

bool isSpace(UChar32 c) noexcept { return c >= 0 && (u_isUWhiteSpace(c) || c == 0x85); }

}  // namespace

std::string prefixOfCharacters(std::string_view utf8, size_t maxCharacters) {
  if (utf8.size() <= maxCharacters) {
    // Fewer bytes than the limit means fewer characters too.
    return std::string(utf8);
  }
  if (simpleAscii(utf8)) return std::string(utf8.substr(0, maxCharacters));

  icu::BreakIterator* iterator = characterIterator();
  UErrorCode status = U_ZERO_ERROR;
  UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
  if (iterator == nullptr || U_FAILURE(status)) {
    utext_close(text);
    return {};
  }
  iterator->setText(text, status);
  size_t end = 0;
  if (U_SUCCESS(status)) {
    iterator->first();
    for (size_t n = 0; n < maxCharacters; ++n) {
      int32_t next = iterator->next();
      if (next == icu::BreakIterator::DONE) {
        end = utf8.size();
        break;
      }
      end = static_cast<size_t>(next);
    }
  }
  // Detach before the text goes away.
  UText* empty = utext_openUTF8(nullptr, "", 0, &status);
  iterator->setText(empty, status);
  utext_close(empty);
  utext_close(text);
  return std::string(utf8.substr(0, std::min(end, utf8.size())));
}

std::string_view trimWhitespace(std::string_view utf8) noexcept {
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  auto length = static_cast<int32_t>(std::min<size_t>(utf8.size(), INT32_MAX));
  int32_t begin = 0;
  while (begin < length) {
    int32_t at = begin;
    UChar32 c = 0;
    U8_NEXT(bytes, at, length, c);
    if (!isSpace(c)) break;
    begin = at;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t at = end;
    UChar32 c = 0;
    U8_PREV(bytes, begin, at, c);
    if (!isSpace(c)) break;
    end = at;
  }
  return utf8.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

}  // namespace quorvin
