// The quota bodies, the sign-in files and the reset text, as the providers write them.
#include <gtest/gtest.h>

#include "sources/ProviderQuotaParser.h"
#include "sources/ProviderQuotaPresentation.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using Provider = ProviderQuotaSnapshot::Provider;

const WallTime kNow = WallTime(std::chrono::seconds(1'767'225'600));  // 2026-01-01T00:00:00Z

std::string codexBody(const std::string& primary, const std::string& secondary) {
  return R"({"plan_type":"plus","rate_limit":{"allowed":true,"primary_window":)" + primary +
         R"(,"secondary_window":)" + secondary + "}}";
}

TEST(ProviderQuotaParser, CodexWindowsAreLabelledClampedAndOrdered) {
  // The weekly window listed first still follows the 5-hour one.
  const auto snapshot = ProviderQuotaParser::codex(
      codexBody(R"({"used_percent":130,"limit_window_seconds":604800,"reset_after_seconds":90})",
                R"({"used_percent":-5,"limit_window_seconds":18000,"reset_at":1767229200})"),
      kNow);
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->provider, Provider::codex);
  EXPECT_EQ(snapshot->availability, ProviderQuotaAvailability::available);
  EXPECT_EQ(snapshot->fetchedAt, kNow);
  ASSERT_EQ(snapshot->windows.size(), 2u);
  EXPECT_EQ(snapshot->windows[0], (ProviderQuotaWindow{"5H", 0, kNow + 1h}));
  EXPECT_EQ(snapshot->windows[1], (ProviderQuotaWindow{"WEEK", 100, kNow + 90s}));

  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(std::nullopt), "LIMIT");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(18'000), "5H");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(21'600), "5H");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(86'400), "LIMIT");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(518'400), "WEEK");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(691'200), "WEEK");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(691'201), "LIMIT");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(2'592'000), "MONTH");
  EXPECT_EQ(ProviderQuotaParser::codexWindowLabel(2'332'799), "LIMIT");

  // MONTH sorts after WEEK, an unknown length last; equal ranks keep their order.
  const auto mixed = ProviderQuotaParser::codex(
      codexBody(R"({"used_percent":1,"limit_window_seconds":86400})", R"({"used_percent":2,"limit_window_seconds":2592000})"),
      kNow);
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->windows[0].label, "MONTH");
  EXPECT_EQ(mixed->windows[1].label, "LIMIT");
  EXPECT_FALSE(mixed->windows[1].resetsAt);
}

TEST(ProviderQuotaParser, CodexWithoutUsableWindowsOrWrongShapes) {
  // Windows without a percentage are skipped; none left is an unavailable snapshot.
  const auto empty = ProviderQuotaParser::codex(
      codexBody(R"({"limit_window_seconds":18000})", R"({"used_percent":null})"), kNow);
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, ProviderQuotaSnapshot::unavailable(Provider::codex));

  const auto one = ProviderQuotaParser::codex(codexBody("null", R"({"used_percent":12.5})"), kNow);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->windows, (std::vector<ProviderQuotaWindow>{{"LIMIT", 12.5, std::nullopt}}));

  EXPECT_FALSE(ProviderQuotaParser::codex("", kNow));
  EXPECT_FALSE(ProviderQuotaParser::codex("<html>busy</html>", kNow));
  EXPECT_FALSE(ProviderQuotaParser::codex(R"({"plan_type":"plus"})", kNow));
  EXPECT_FALSE(ProviderQuotaParser::codex(R"([1,2])", kNow));
  // A value of the wrong type spoils the document, as it would for a typed decoder.
  EXPECT_FALSE(ProviderQuotaParser::codex(codexBody(R"({"used_percent":"12"})", "null"), kNow));
  EXPECT_FALSE(ProviderQuotaParser::codex(R"({"rate_limit":[]})", kNow));

  // Absurd reset times are no reset time rather than an overflow.
  const auto far = ProviderQuotaParser::codex(
      codexBody(R"({"used_percent":1,"reset_at":1e300,"reset_after_seconds":-1e19})", "null"), kNow);
  ASSERT_TRUE(far);
  EXPECT_FALSE(far->windows[0].resetsAt);
  const auto fallback = ProviderQuotaParser::codex(
      codexBody(R"({"used_percent":1,"reset_at":1e300,"reset_after_seconds":60})", "null"), kNow);
  EXPECT_EQ(fallback->windows[0].resetsAt, kNow + 60s);
}

std::string grokBody(const std::string& config) { return R"({"config":)" + config + "}"; }

TEST(ProviderQuotaParser, GrokPeriodLabelsAndResets) {
  const auto month = ProviderQuotaParser::grok(
      grokBody(R"({"currentPeriod":{"start":"2025-01-01T00:00:00Z","end":"2025-02-01T00:00:00Z"},
                   "productUsage":[{"product":"Chat","usagePercent":99},{"product":"grokbuild","usagePercent":250.5}]})"),
      kNow);
  ASSERT_TRUE(month);
  EXPECT_EQ(month->provider, Provider::grokBuild);
  EXPECT_EQ(month->fetchedAt, kNow);
  ASSERT_EQ(month->windows.size(), 1u);
  EXPECT_EQ(month->windows[0].label, "MONTH");
  EXPECT_EQ(month->windows[0].usedPercent, 100);
  EXPECT_EQ(month->windows[0].resetsAt, parseIso8601("2025-02-01T00:00:00Z", false));

  // The type decides when it names the period, case-sensitively; otherwise the dates do.
  const std::optional<std::string> weekStart = "2026-01-01T00:00:00.000Z", weekEnd = "2026-01-08T00:00:00.000Z";
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel("BILLING_PERIOD_WEEKLY", std::nullopt, std::nullopt), "WEEK");
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel("MONTHLY", weekStart, weekEnd), "MONTH");
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel("monthly", weekStart, weekEnd), "WEEK");
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel(std::nullopt, weekStart, "2026-01-02T00:00:00Z"), "LIMIT");
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel(std::nullopt, weekStart, "next week"), "LIMIT");
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel(std::nullopt, "", weekEnd), "LIMIT");
  // Dates at the ends of the representable range must not overflow the length.
  EXPECT_EQ(ProviderQuotaParser::grokWindowLabel(std::nullopt, "1700-01-01T00:00:00Z", "2250-01-01T00:00:00Z"), "LIMIT");

  // No period end: the billing period's end; an unparseable end is no reset.
  const auto billingEnd = ProviderQuotaParser::grok(
      grokBody(R"({"currentPeriod":{"type":"WEEKLY"},"billingPeriodEnd":"2026-01-03T00:00:00Z",
                   "productUsage":[{"product":"GrokBuild","usagePercent":10}]})"),
      kNow);
  ASSERT_TRUE(billingEnd);
  EXPECT_EQ(billingEnd->windows[0].resetsAt, kNow + 48h);
  const auto unparseable = ProviderQuotaParser::grok(
      grokBody(R"({"currentPeriod":{"end":"soon"},"billingPeriodEnd":"2026-01-03T00:00:00Z",
                   "productUsage":[{"product":"GrokBuild","usagePercent":10}]})"),
      kNow);
  ASSERT_TRUE(unparseable);
  EXPECT_FALSE(unparseable->windows[0].resetsAt);
}

TEST(ProviderQuotaParser, GrokWithoutTheProductOrItsPercentage) {
  const auto parse = [](const std::string& config) { return ProviderQuotaParser::grok(grokBody(config), kNow); };
  EXPECT_FALSE(parse(R"({"productUsage":[{"product":"Grok Build","usagePercent":10}]})"));
  EXPECT_FALSE(parse(R"({"productUsage":[{"product":"GrokBuild"}]})"));
  EXPECT_FALSE(parse(R"({"productUsage":[]})"));
  EXPECT_FALSE(parse(R"({"currentPeriod":{}})"));
  EXPECT_FALSE(parse(R"({"productUsage":[{"usagePercent":1},{"product":"GrokBuild","usagePercent":10}]})"));
  EXPECT_FALSE(ProviderQuotaParser::grok(R"({"productUsage":[{"product":"GrokBuild","usagePercent":10}]})", kNow));
  EXPECT_FALSE(ProviderQuotaParser::grok("{", kNow));
  // The first match counts, even without a percentage.
  EXPECT_FALSE(parse(R"({"productUsage":[{"product":"GROKBUILD"},{"product":"GrokBuild","usagePercent":10}]})"));
}

TEST(ProviderQuotaParser, CredentialsFromTheSignInFiles) {
  EXPECT_EQ(ProviderQuotaParser::codexCredential(R"({"tokens":{"access_token":"at","account_id":"acc"}})"),
            (CodexCredential{"at", "acc"}));
  EXPECT_EQ(ProviderQuotaParser::codexCredential(R"({"OPENAI_API_KEY":null,"tokens":{"access_token":"at"}})"),
            (CodexCredential{"at", ""}));
  EXPECT_FALSE(ProviderQuotaParser::codexCredential(R"({"tokens":{"access_token":""}})"));
  EXPECT_FALSE(ProviderQuotaParser::codexCredential(R"({"OPENAI_API_KEY":"sk-1"})"));
  EXPECT_FALSE(ProviderQuotaParser::codexCredential(R"({"tokens":"at"})"));
  EXPECT_FALSE(ProviderQuotaParser::codexCredential("not json"));

  // Host name 10, oidc 5, an expiry 1: the best score wins whatever the order.
  const std::string host(ProviderQuotaParser::kGrokAuthHost);
  const auto best = ProviderQuotaParser::grokCredential(
      R"({"legacy":{"key":"k1","auth_mode":"oidc","expires_at":"2026-02-01T00:00:00Z"},
          "https://)" + host + R"(/tenant":{"key":"k2"},
          "empty":{"key":""},"broken":7,"noKey":{"auth_mode":"oidc"}})");
  ASSERT_TRUE(best);
  EXPECT_EQ(best->accessToken, "k2");
  EXPECT_FALSE(best->expiresAt);

  const auto withExpiry = ProviderQuotaParser::grokCredential(
      R"({"a":{"key":"k1","auth_mode":"oidc"},"b":{"key":"k2","auth_mode":"oidc","expires_at":"2026-02-01T00:00:00.5Z"}})");
  ASSERT_TRUE(withExpiry);
  EXPECT_EQ(withExpiry->accessToken, "k2");
  EXPECT_EQ(withExpiry->expiresAt, parseIso8601("2026-02-01T00:00:00.5Z", true));

  // Equal scores: the first in the file.
  EXPECT_EQ(ProviderQuotaParser::grokCredential(R"({"a":{"key":"k1"},"b":{"key":"k2"}})")->accessToken, "k1");
  EXPECT_FALSE(ProviderQuotaParser::grokCredential(R"({"a":{"key":7},"b":[]})"));
  EXPECT_FALSE(ProviderQuotaParser::grokCredential(R"(["k"])"));
}

TEST(ProviderQuotaPresentation, ResetText) {
  using ProviderQuotaPresentation::resetText;
  EXPECT_EQ(resetText(std::nullopt, kNow), "reset \u2014");
  EXPECT_EQ(resetText(kNow - 5s, kNow), "reset now");
  EXPECT_EQ(resetText(kNow + 999ms, kNow), "reset now");
  EXPECT_EQ(resetText(kNow + 1s, kNow), "reset <1m");
  EXPECT_EQ(resetText(kNow + 59s, kNow), "reset <1m");
  EXPECT_EQ(resetText(kNow + 90s, kNow), "reset 1m");
  EXPECT_EQ(resetText(kNow + 3599s, kNow), "reset 59m");
  EXPECT_EQ(resetText(kNow + 3600s, kNow), "reset 1h");
  EXPECT_EQ(resetText(kNow + 25h, kNow), "reset 1d");
  EXPECT_EQ(resetText(kNow + 7 * 24h - 1s, kNow), "reset 6d");
  // Far apart in either direction, without overflowing.
  const auto early = parseIso8601("1700-01-01T00:00:00Z", false), late = parseIso8601("2250-01-01T00:00:00Z", false);
  EXPECT_EQ(resetText(late, *early), "reset 200883d");
  EXPECT_EQ(resetText(early, *late), "reset now");
}

}  // namespace
}  // namespace quorvin
