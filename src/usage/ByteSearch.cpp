#include "usage/ByteSearch.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVIN_X86 1
#endif

namespace quorvin {

namespace {

constexpr size_t kMaxNeedles = 3;

bool containsScalar(std::string_view haystack, std::span<const std::string_view> needles) noexcept {
  for (std::string_view needle : needles) {
    if (haystack.size() >= needle.size() &&
        memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr) {
      return true;
    }
  }
  return false;
}

// Whole-needle check of a candidate whose first two and last bytes already match.
inline bool middleMatches(const char* at, std::string_view needle) noexcept {
  for (size_t k = 2; k + 1 < needle.size(); ++k) {
    if (at[k] != needle[k]) return false;
  }
  return true;
}

#if defined(QUORVIN_X86)

// One vector width's scan, written out per instruction set (a macro, because the AVX2
// copy must be compiled for AVX2 as a whole while the rest of the file is not). Blocks of
// WIDTH start positions are tested while every needle fits after the block; the rest is
// left to the narrower scan and memmem. Sets `scanned` to the first untested position.
#define QUORVIN_SCAN(TARGET, NAME, VECTOR, WIDTH, SPLAT, LOAD, EQ, AND, MASK)                                  \
  TARGET bool NAME(std::string_view haystack, std::span<const std::string_view> needles, size_t longest,        \
                   size_t& scanned) noexcept {                                                                \
    const char* text = haystack.data();                                                                       \
    VECTOR first[kMaxNeedles], second[kMaxNeedles], last[kMaxNeedles];                                         \
    for (size_t k = 0; k < needles.size(); ++k) {                                                             \
      first[k] = SPLAT(needles[k][0]);                                                                        \
      second[k] = SPLAT(needles[k][1]);                                                                       \
      last[k] = SPLAT(needles[k][needles[k].size() - 1]);                                                     \
    }                                                                                                         \
    size_t i = scanned;                                                                                       \
    for (; i + (WIDTH)-1 + longest <= haystack.size(); i += (WIDTH)) {                                        \
      const VECTOR x0 = LOAD(reinterpret_cast<const VECTOR*>(text + i));                                      \
      const VECTOR x1 = LOAD(reinterpret_cast<const VECTOR*>(text + i + 1));                                  \
      for (size_t k = 0; k < needles.size(); ++k) {                                                           \
        const VECTOR xn = LOAD(reinterpret_cast<const VECTOR*>(text + i + needles[k].size() - 1));            \
        unsigned mask = static_cast<unsigned>(MASK(AND(AND(EQ(x0, first[k]), EQ(x1, second[k])), EQ(xn, last[k])))); \
        while (mask != 0) {                                                                                   \
          if (middleMatches(text + i + static_cast<unsigned>(__builtin_ctz(mask)), needles[k])) return true;  \
          mask &= mask - 1;                                                                                   \
        }                                                                                                     \
      }                                                                                                       \
    }                                                                                                         \
    scanned = i;                                                                                              \
    return false;                                                                                             \
  }

// The common case of one needle (Claude's "usage"), with its probes in registers and two
// blocks per step.
#define QUORVIN_SCAN_ONE(TARGET, NAME, VECTOR, WIDTH, SPLAT, LOAD, EQ, AND, MASK)                              \
  TARGET bool NAME(std::string_view haystack, std::string_view needle, size_t& scanned) noexcept {             \
    const char* text = haystack.data();                                                                       \
    const size_t n = needle.size();                                                                           \
    const VECTOR first = SPLAT(needle[0]), second = SPLAT(needle[1]), last = SPLAT(needle[n - 1]);            \
    size_t i = scanned;                                                                                       \
    for (; i + 2 * (WIDTH)-1 + n <= haystack.size(); i += 2 * (WIDTH)) {                                      \
      unsigned masks[2];                                                                                      \
      for (size_t half = 0; half < 2; ++half) {                                                               \
        const char* at = text + i + half * (WIDTH);                                                           \
        masks[half] = static_cast<unsigned>(MASK(AND(AND(EQ(LOAD(reinterpret_cast<const VECTOR*>(at)), first),  \
                                                         EQ(LOAD(reinterpret_cast<const VECTOR*>(at + 1)), second)), \
                                                     EQ(LOAD(reinterpret_cast<const VECTOR*>(at + n - 1)), last)))); \
      }                                                                                                       \
      if ((masks[0] | masks[1]) == 0) continue;                                                               \
      for (size_t half = 0; half < 2; ++half) {                                                               \
        for (unsigned mask = masks[half]; mask != 0; mask &= mask - 1) {                                      \
          if (middleMatches(text + i + half * (WIDTH) + static_cast<unsigned>(__builtin_ctz(mask)), needle)) { \
            return true;                                                                                      \
          }                                                                                                   \
        }                                                                                                     \
      }                                                                                                       \
    }                                                                                                         \
    scanned = i;                                                                                              \
    return false;                                                                                             \
  }

QUORVIN_SCAN_ONE(__attribute__((target("avx2"))), scanOneAvx2, __m256i, 32, _mm256_set1_epi8, _mm256_loadu_si256,
                 _mm256_cmpeq_epi8, _mm256_and_si256, _mm256_movemask_epi8)
#undef QUORVIN_SCAN_ONE

QUORVIN_SCAN(, scanSse2, __m128i, 16, _mm_set1_epi8, _mm_loadu_si128, _mm_cmpeq_epi8, _mm_and_si128,
             _mm_movemask_epi8)
QUORVIN_SCAN(__attribute__((target("avx2"))), scanAvx2, __m256i, 32, _mm256_set1_epi8, _mm256_loadu_si256,
             _mm256_cmpeq_epi8, _mm256_and_si256, _mm256_movemask_epi8)
#undef QUORVIN_SCAN

const bool kHasAvx2 = __builtin_cpu_supports("avx2");

#endif

}  // namespace

bool containsAnyBytes(std::string_view haystack, std::span<const std::string_view> needles) noexcept {
  size_t longest = 0;
  bool simple = needles.size() <= kMaxNeedles;
  for (std::string_view needle : needles) {
    longest = std::max(longest, needle.size());
    simple = simple && needle.size() >= 3;
  }
  if (!simple || haystack.size() < longest) return containsScalar(haystack, needles);
#if defined(QUORVIN_X86)
  size_t scanned = 0;
  if (kHasAvx2) {
    if (needles.size() == 1 && scanOneAvx2(haystack, needles[0], scanned)) return true;
    if (scanAvx2(haystack, needles, longest, scanned)) return true;
  }
  if (scanSse2(haystack, needles, longest, scanned)) return true;
  // Start positions from `scanned` on were not tested yet: fewer than 16 remain for the
  // longest needle, shorter needles may have a few more.
  const size_t from = scanned;
  return containsScalar(haystack.substr(from), needles);
#else
  return containsScalar(haystack, needles);
#endif
}

}  // namespace quorvin
