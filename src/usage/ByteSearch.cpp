#include "usage/ByteSearch.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvin {

namespace {

bool containsScalar(const char* text, size_t size, std::string_view needle) noexcept {
  return size >= needle.size() && memmem(text, size, needle.data(), needle.size()) != nullptr;
}

}  // namespace

bool containsBytes(std::string_view haystack, std::string_view needle) noexcept {
  const size_t n = needle.size();
  if (n < 3 || haystack.size() < n) return containsScalar(haystack.data(), haystack.size(), needle);
#if defined(__SSE2__)
  // Candidate positions i have text[i+1] == needle[1] and text[i+n-2] == needle[n-2].
  const char* text = haystack.data();
  const size_t last = haystack.size() - n;  // greatest start position
  const __m128i first = _mm_set1_epi8(needle[1]);
  const __m128i second = _mm_set1_epi8(needle[n - 2]);
  size_t i = 0;
  for (; i + 16 <= last + 1; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 1));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + n - 2));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      if (std::memcmp(text + i + bit, needle.data(), n) == 0) return true;
      mask &= mask - 1;
    }
  }
  // The tail: fewer than 16 start positions remain.
  const size_t rest = last + 1 - i;
  return containsScalar(text + i, rest + n - 1, needle);
#else
  return containsScalar(haystack.data(), haystack.size(), needle);
#endif
}

}  // namespace quorvin
