#include <gtest/gtest.h>

#include "wire/IngestBody.h"
#include "server/logic/IngestPlausibility.h"

namespace quorvin::server {
namespace {

using Outcome = API::IngestDecode::Outcome;

std::string body(const std::string& tokens) {
  return R"({"handle":"alice","source":"ccusage-mac","publisher_id":"p","app_version":"1.0","plan":"pro","tokens":)" +
         tokens + "}";
}

TEST(IngestPlausibility, TellsMalformedFromWrongShape) {
  EXPECT_EQ(API::decodeIngestUpload("{not json").outcome, Outcome::malformed);
  EXPECT_EQ(API::decodeIngestUpload("").outcome, Outcome::malformed);
  EXPECT_EQ(API::decodeIngestUpload("[]").outcome, Outcome::invalid);
  EXPECT_EQ(API::decodeIngestUpload(R"({"handle":"a","publisher_id":"p"})").outcome, Outcome::invalid);
  EXPECT_EQ(API::decodeIngestUpload(body(R"({"total":"5","cost_usd_total":1})")).outcome, Outcome::invalid);
  EXPECT_EQ(API::decodeIngestUpload(body(R"({"total":1.5,"cost_usd_total":1})")).outcome, Outcome::invalid)
      << "token figures are whole numbers";
  EXPECT_EQ(API::decodeIngestUpload(body(R"({"total":5,"cost_usd_total":1,"by_model":[{"name":"m"}]})")).outcome,
            Outcome::invalid);
  EXPECT_EQ(API::decodeIngestUpload(body(R"({"total":5,"cost_usd_total":1,"optimizer_enabled":true})")).outcome,
            Outcome::invalid);
  EXPECT_EQ(API::decodeIngestUpload(body(R"({"total":18446744073709551615,"cost_usd_total":1})")).outcome,
            Outcome::invalid);
}

TEST(IngestPlausibility, AcceptsWhatTheAppSendsAndRefusesTheImplausible) {
  auto ok = API::decodeIngestUpload(
      body(R"({"total":9007199254740992,"cost_usd_total":12.5,"input_total":3,"by_agent":[{"name":"claude","tokens":3}],)"
           R"("by_model":[{"name":"m","in":1,"out":2,"cacheRead":0,"cacheWrite":0,"cost":0.1}]})"));
  ASSERT_EQ(ok.outcome, Outcome::ok);
  EXPECT_FALSE(implausibility(ok.upload));
  EXPECT_EQ(ok.upload.totals.input, 3);
  EXPECT_FALSE(ok.upload.totals.output);

  const char* implausible[] = {
      R"({"total":-1,"cost_usd_total":1})",
      R"({"total":9007199254740993,"cost_usd_total":1})",
      R"({"total":1,"cost_usd_total":-0.01})",
      R"({"total":1,"cost_usd_total":1e300})",
      R"({"total":1,"cost_usd_total":1,"cache_read_total":-5})",
      R"({"total":1,"cost_usd_total":1,"by_agent":[{"name":"","tokens":1}]})",
      R"({"total":1,"cost_usd_total":1,"by_agent":[{"name":"a\u0000b","tokens":1}]})",
      R"({"total":1,"cost_usd_total":1,"by_model":[{"name":"m","in":-1,"out":0,"cacheRead":0,"cacheWrite":0,"cost":0}]})",
  };
  for (const char* tokens : implausible) {
    auto decoded = API::decodeIngestUpload(body(tokens));
    ASSERT_EQ(decoded.outcome, Outcome::ok) << tokens;
    EXPECT_TRUE(implausibility(decoded.upload)) << tokens;
  }

  std::string rows = R"({"total":1,"cost_usd_total":1,"by_agent":[)";
  for (int i = 0; i < 513; ++i) rows += std::string(i ? "," : "") + R"({"name":"a","tokens":1})";
  auto many = API::decodeIngestUpload(body(rows + "]}"));
  ASSERT_EQ(many.outcome, Outcome::ok);
  EXPECT_TRUE(implausibility(many.upload));

  auto longName = API::decodeIngestUpload(
      R"({"handle":"a","publisher_id":")" + std::string(65, 'p') + R"(","tokens":{"total":1,"cost_usd_total":1}})");
  ASSERT_EQ(longName.outcome, Outcome::ok);
  EXPECT_TRUE(implausibility(longName.upload));
}

// Names shown on the profile: what reads differently from what it is, or is not text at all,
// is refused; long model names and ordinary non-Latin text are not.
TEST(IngestPlausibility, RefusesInvisibleAndReorderingCharactersInNames) {
  auto withModel = [](const std::string& name) {
    API::IngestUpload u;
    u.publisherId = "p";
    u.totals.total = 1;
    u.totals.models.push_back({name, 1, 0, 0, 0, 0.0});
    return u;
  };
  for (const char* name : {"gpt\u202Eexe.jpg", "a\u0085b", "claude\u200Bopus", "x\u2066y", "\uFEFFm",
                           "a\xC2\x9B" "b", "bad\xFFutf8", "over\xC0\xAFlong", "cut\xE2\x80"}) {
    EXPECT_TRUE(implausibility(withModel(name))) << name;
  }
  EXPECT_FALSE(implausibility(withModel("claude-3.5-sonnet \u00e9t\u00e9 \u6a21\u578b \U0001F600")));
  EXPECT_FALSE(implausibility(withModel(std::string(640, 'm')))) << "the longest name a client sends: 160 characters, 640 bytes";
  EXPECT_TRUE(implausibility(withModel(std::string(641, 'm'))));
}

}  // namespace
}  // namespace quorvin::server
