// The projection and the advisor's pure rules: targets, the report and the error texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>

#include "savings/TokenSavingsAdvisor.h"

namespace quorvin {
namespace {

using namespace TokenSavingsAdvisor;

// A model of the Claude Sonnet family: 3 dollars per million input tokens.
constexpr const char* kPriced = "claude-sonnet-4-5";
constexpr const char* kUnpriced = "quorvin-unknown-model";

API::ModelRow row(std::string name, int64_t input) { return API::ModelRow{.name = std::move(name), .input = input}; }

TEST(SavingsProjection, ScenarioBeforeEvidenceThenMeasuredSavings) {
  const std::vector<API::ModelRow> mix{row(kPriced, 2'000'000)};
  const auto scenario = projection(mix, 0, {}, 0.1);
  EXPECT_EQ(scenario.tokens, 200'000);
  EXPECT_FALSE(scenario.measured);
  EXPECT_DOUBLE_EQ(scenario.estimatedUSD, 0.6);
  EXPECT_DOUBLE_EQ(scenario.inputPriceCoverage, 1);

  TokenSavingsSnapshot measured;
  measured.savedTokens = 50'000;
  const auto real = projection(mix, 2'000'000, measured, 0.1);
  EXPECT_EQ(real.tokens, 50'000);
  EXPECT_TRUE(real.measured);
  EXPECT_DOUBLE_EQ(real.estimatedUSD, 0.15);

  // The observed input is the larger of the figure given and the rows' sum.
  EXPECT_EQ(projection(mix, 4'000'000, {}, 0.1).tokens, 400'000);
  EXPECT_DOUBLE_EQ(projection(mix, 4'000'000, {}, 0.1).inputPriceCoverage, 0.5);
  // The share is clamped to 0...1.
  EXPECT_EQ(projection(mix, 0, {}, 7).tokens, 2'000'000);
  EXPECT_EQ(projection(mix, 0, {}, -1).tokens, 0);
}

TEST(SavingsProjection, CoverageAndBlendedPriceOfMixedModels) {
  const auto half = projection({row(kPriced, 1'000'000), row(kUnpriced, 1'000'000)}, 0, {}, 0.1);
  EXPECT_DOUBLE_EQ(half.inputPriceCoverage, 0.5);
  EXPECT_EQ(half.tokens, 200'000);
  EXPECT_DOUBLE_EQ(half.estimatedUSD, 0.6);  // at the priced model's rate alone

  const auto none = projection({row(kUnpriced, 1'000'000)}, 0, {}, 0.1);
  EXPECT_EQ(none.estimatedUSD, 0);
  EXPECT_EQ(none.inputPriceCoverage, 0);
  EXPECT_EQ(none.tokens, 100'000);

  EXPECT_EQ(projection({}, 0, {}, 0.1), (TokenSavingsProjection{0, 0, false, 0}));
  // Negative rows add nothing; huge ones saturate instead of wrapping.
  const auto odd = projection({row(kPriced, -5), row(kPriced, INT64_MAX), row(kPriced, INT64_MAX)}, -9, {}, 1);
  EXPECT_EQ(odd.tokens, INT64_MAX);
  EXPECT_DOUBLE_EQ(odd.inputPriceCoverage, 1);
  EXPECT_TRUE(std::isfinite(odd.estimatedUSD));
  EXPECT_GT(odd.estimatedUSD, 0);
}

TEST(TokenSavingsAdvisorRules, TargetsFromNamesAndFolders) {
  std::set<std::filesystem::path> folders;
  const auto exists = [&folders](const std::filesystem::path& path) { return folders.count(path) > 0; };
  const std::filesystem::path home = "/home/u";
  EXPECT_EQ(targets({}, home, exists), std::vector<Target>{Target::codex});
  EXPECT_EQ(targets({" Claude Code ", "CURSOR"}, home, exists), (std::vector<Target>{Target::claude, Target::cursor}));
  EXPECT_EQ(targets({"gemini", "opencode"}, home, exists), std::vector<Target>{Target::codex});
  folders = {home / ".cursor", home / ".claude"};
  EXPECT_EQ(targets({"codex"}, home, exists), (std::vector<Target>{Target::claude, Target::codex, Target::cursor}));
}

TEST(TokenSavingsAdvisorRules, ReportAndTexts) {
  EXPECT_EQ(parseGain(R"({"summary":{"total_commands":12,"total_input":1000,"total_output":250,"total_saved":750,
                         "avg_savings_pct":75.0,"extra":1},"daily":[]})"),
            (GainSummary{12, 1000, 250, 750, 75.0}));
  EXPECT_EQ(parseGain(R"({"summary":{"total_commands":12.0,"total_input":-1,"total_output":0,"total_saved":0,
                         "avg_savings_pct":3}})"),
            (GainSummary{12, -1, 0, 0, 3.0}));
  EXPECT_FALSE(parseGain(R"({"summary":{"total_commands":1,"total_input":1,"total_output":1,"total_saved":1}})"));
  EXPECT_FALSE(parseGain(R"({"summary":{"total_commands":1.5,"total_input":1,"total_output":1,"total_saved":1,
                            "avg_savings_pct":1}})"));
  EXPECT_FALSE(parseGain(R"({"summary":{"total_commands":"1","total_input":1,"total_output":1,"total_saved":1,
                            "avg_savings_pct":1}})"));
  EXPECT_FALSE(parseGain(R"({"summary":{"total_commands":18446744073709551615,"total_input":1,"total_output":1,
                            "total_saved":1,"avg_savings_pct":1}})"));
  EXPECT_FALSE(parseGain("Usage: rtk gain [OPTIONS]"));

  EXPECT_EQ(versionText("rtk 0.9.1\n"), "0.9.1");
  EXPECT_EQ(versionText("0.9.1"), "0.9.1");
  EXPECT_FALSE(versionText(" \n\t"));

  EXPECT_EQ(lastUsefulLine("first\n\n  last line  \n\n"), "last line");
  EXPECT_EQ(lastUsefulLine("error: one\r\n   \r\n"), "error: one");
  EXPECT_EQ(lastUsefulLine(""), kNoDiagnostic);
  EXPECT_EQ(lastUsefulLine("\n \n"), kNoDiagnostic);
  EXPECT_EQ(lastUsefulLine("x\n" + std::string(500, 'e')), std::string(240, 'e'));
  // Cut at characters, never inside one.
  const std::string accents = [] {
    std::string s;
    for (int i = 0; i < 300; ++i) s += "\xC3\xA9";
    return s;
  }();
  EXPECT_EQ(lastUsefulLine(accents), accents.substr(0, 480));

  EXPECT_EQ((CommandResult{0, "out", ""}).output(), "out");
  EXPECT_EQ((CommandResult{0, "", "err"}).output(), "err");
  EXPECT_EQ((CommandResult{0, "out", "err"}).output(), "out\nerr");
}

}  // namespace
}  // namespace quorvin
