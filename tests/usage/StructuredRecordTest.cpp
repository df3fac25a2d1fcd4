#include "usage/StructuredRecord.h"

#include <gtest/gtest.h>

namespace quorvin {
namespace {

using StructuredRecord::Usage;

TEST(StructuredRecord, OpenCodeMessageFiguresAreTolerantAndNeverNegative) {
  auto usage = StructuredRecord::openCodeMessage(
      R"({"modelID":"gpt-5","tokens":{"input":"120","output":10.9,"reasoning":5,"cache":{"read":-7,"write":3},"total":200}})");
  ASSERT_TRUE(usage);
  // 120 + (10 + 5) + 0 + 3 = 138; the 62 short of the total is unitemised output.
  EXPECT_EQ(usage->counters, (UsageCounters{120, 77, 0, 3}));
  EXPECT_EQ(usage->model, "gpt-5");

  auto noCache = StructuredRecord::openCodeMessage(R"({"tokens":{"input":1,"output":"12.5"}})");
  ASSERT_TRUE(noCache);
  EXPECT_EQ(noCache->counters, (UsageCounters{1, 0, 0, 0}));
  EXPECT_FALSE(noCache->model);

  for (const char* nothing : {R"({"tokens":{"input":0}})", R"({"tokens":[1]})", R"([])", "", "{", R"({"tokens":{"input":-5}})",
                              R"({"tokens":{"input":18446744073709551615,"output":9223372036854775807}})"}) {
    auto parsed = StructuredRecord::openCodeMessage(nothing);
    if (parsed) {
      // Only the huge figures decode: they saturate instead of wrapping.
      EXPECT_GT(parsed->counters.total(), 0) << nothing;
    }
  }
}

TEST(StructuredRecord, DroidSettingsNeedUsageAndNormaliseTheModel) {
  auto usage = StructuredRecord::droidSettings(
      R"({"model":"custom:Claude Sonnet 4.5 [beta]","tokenUsage":{"inputTokens":10,"outputTokens":2,"thinkingTokens":1}})");
  ASSERT_TRUE(usage);
  EXPECT_EQ(usage->counters, (UsageCounters{10, 3, 0, 0}));
  EXPECT_EQ(usage->model, "claude-sonnet-4-5");

  EXPECT_EQ(StructuredRecord::droidSettings(R"({"tokenUsage":{"inputTokens":1}})")->model, "droid");
  EXPECT_EQ(StructuredRecord::droidSettings(R"({"model":" [x] ","tokenUsage":{"inputTokens":1}})")->model, "droid");
  EXPECT_FALSE(StructuredRecord::droidSettings(R"({"model":"m","tokenUsage":{"inputTokens":0}})"));
  EXPECT_FALSE(StructuredRecord::droidSettings(R"({"model":"m"})"));

  EXPECT_EQ(StructuredRecord::droidModel("  GPT 5.1 - Codex  "), "gpt-5-1---codex");
  EXPECT_EQ(StructuredRecord::droidModel("--Opus 4--"), "opus-4");
  EXPECT_FALSE(StructuredRecord::droidModel("custom:"));
  EXPECT_FALSE(StructuredRecord::droidModel("\n\t"));
}

}  // namespace
}  // namespace quorvin
