#include "core/Time.h"

#include <gtest/gtest.h>

namespace quorvin {
namespace {

using namespace std::chrono;

TEST(Iso8601, ParsesBothFormsAndOffsets) {
  auto plain = parseIso8601Either("2026-01-02T03:04:05Z");
  ASSERT_TRUE(plain);
  EXPECT_EQ(duration_cast<seconds>(plain->time_since_epoch()).count(), 1767323045);
  auto fractional = parseIso8601Either("2026-01-02T03:04:05.250Z");
  ASSERT_TRUE(fractional);
  EXPECT_EQ(*fractional - *plain, milliseconds{250});
  auto offset = parseIso8601Either("2026-01-02T05:04:05+02:00");
  EXPECT_EQ(offset, plain);
  EXPECT_FALSE(parseIso8601("2026-01-02T03:04:05.1Z", false));
  EXPECT_FALSE(parseIso8601("2026-01-02T03:04:05Z", true));
  // Written back in whole seconds: the fraction is dropped, not rounded up.
  EXPECT_EQ(formatIso8601Seconds(*fractional), "2026-01-02T03:04:05Z");
}

TEST(Iso8601, RejectsMalformedText) {
  for (const char* bad : {"", "2026-01-02", "2026-13-02T03:04:05Z", "2026-02-30T03:04:05Z",
                          "2026-01-02T03:04:05", "2026-01-02T03:04:05Zjunk", "2026-01-02T03:04:05.Z",
                          "2026-01-02T25:04:05Z", "2026-01-02 03:04:05Z", "20x6-01-02T03:04:05Z",
                          // beyond the nanosecond clock's range
                          "9999-12-31T23:59:59Z", "1000-01-01T00:00:00.5Z"}) {
    EXPECT_FALSE(parseIso8601Either(bad)) << bad;
  }
}

}  // namespace
}  // namespace quorvin
