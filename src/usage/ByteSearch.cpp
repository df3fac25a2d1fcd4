#include "usage/ByteSearch.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVIN_X86 1
#endif

namespace quorvin {

namespace {

bool containsScalar(const char* text, size_t size, std::string_view needle) noexcept {
  return size >= needle.size() && memmem(text, size, needle.data(), needle.size()) != nullptr;
}

// Whole-needle check of a candidate whose first two and last bytes already match.
inline bool middleMatches(const char* at, std::string_view needle) noexcept {
  for (size_t k = 2; k + 1 < needle.size(); ++k) {
    if (at[k] != needle[k]) return false;
  }
  return true;
}

#if defined(QUORVIN_X86)

bool containsSse2(std::string_view haystack, std::string_view needle) noexcept {
  const size_t n = needle.size();
  const char* text = haystack.data();
  const size_t last = haystack.size() - n;  // greatest start position
  const __m128i b0 = _mm_set1_epi8(needle[0]);
  const __m128i b1 = _mm_set1_epi8(needle[1]);
  const __m128i bn = _mm_set1_epi8(needle[n - 1]);
  size_t i = 0;
  for (; i + 16 <= last + 1; i += 16) {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 1));
    const __m128i xn = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + n - 1));
    const __m128i hit =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(x0, b0), _mm_cmpeq_epi8(x1, b1)), _mm_cmpeq_epi8(xn, bn));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (mask != 0) {
      if (middleMatches(text + i + static_cast<unsigned>(__builtin_ctz(mask)), needle)) return true;
      mask &= mask - 1;
    }
  }
  return containsScalar(text + i, last + 1 - i + n - 1, needle);
}

__attribute__((target("avx2"))) bool containsAvx2(std::string_view haystack, std::string_view needle) noexcept {
  const size_t n = needle.size();
  const char* text = haystack.data();
  const size_t last = haystack.size() - n;
  const __m256i b0 = _mm256_set1_epi8(needle[0]);
  const __m256i b1 = _mm256_set1_epi8(needle[1]);
  const __m256i bn = _mm256_set1_epi8(needle[n - 1]);
  size_t i = 0;
  for (; i + 32 <= last + 1; i += 32) {
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 1));
    const __m256i xn = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + n - 1));
    const __m256i hit = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(x0, b0), _mm256_cmpeq_epi8(x1, b1)),
                                         _mm256_cmpeq_epi8(xn, bn));
    unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
    while (mask != 0) {
      if (middleMatches(text + i + static_cast<unsigned>(__builtin_ctz(mask)), needle)) return true;
      mask &= mask - 1;
    }
  }
  return haystack.size() - i >= n && containsSse2(haystack.substr(i), needle);
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");

#endif

}  // namespace

bool containsBytes(std::string_view haystack, std::string_view needle) noexcept {
  if (needle.size() < 3 || haystack.size() < needle.size()) {
    return containsScalar(haystack.data(), haystack.size(), needle);
  }
#if defined(QUORVIN_X86)
  return kHasAvx2 ? containsAvx2(haystack, needle) : containsSse2(haystack, needle);
#else
  return containsScalar(haystack.data(), haystack.size(), needle);
#endif
}

}  // namespace quorvin
