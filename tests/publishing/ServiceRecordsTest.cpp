#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstdlib>

#include "platform/MemoryUserDefaults.h"
#include "publishing/Api.h"
#include "publishing/PublisherId.h"
#include "publishing/ServiceEndpoint.h"

namespace quorvin {
namespace {

HttpResult answer(long status, std::string body = "{}") {
  HttpResult result;
  result.response = HttpResponse{status, {}, std::move(body)};
  return result;
}

TEST(ServiceStatusCheck, OnlyTwoHundredsPassAndFailuresCarryTheCode) {
  for (long ok : {200L, 204L, 299L}) EXPECT_NO_THROW(API::checkedBody(answer(ok))) << ok;
  for (long bad : {199L, 300L, 401L, 500L}) {
    try {
      API::checkedBody(answer(bad));
      ADD_FAILURE() << bad;
    } catch (const ServiceError& e) {
      EXPECT_EQ(e.code(), bad);
      EXPECT_EQ(std::string(e.what()), "Quorvin request failed (HTTP " + std::to_string(bad) + ")");
    }
  }
  HttpResult transport;
  transport.failure = HttpFailure{HttpFailure::Kind::timedOut, "timed out"};
  EXPECT_THROW(API::checkedBody(transport), TransportError);

  EXPECT_TRUE(API::isAuthorizationRevocation(ServiceError::httpStatus(401)));
  EXPECT_TRUE(API::isAuthorizationRevocation(ServiceError::httpStatus(410)));
  EXPECT_FALSE(API::isAuthorizationRevocation(ServiceError::httpStatus(403)));
  EXPECT_FALSE(API::isAuthorizationRevocation(std::runtime_error("Quorvin request failed (HTTP 401)")));
  EXPECT_TRUE(API::isAuthorizationRevocation(std::make_exception_ptr(ServiceError::httpStatus(410))));
}

TEST(ServiceRecords, PollDecision) {
  auto decide = [](const char* body) { return API::pollDecision(*API::decodePollRaw(body)); };
  EXPECT_EQ(decide(R"({"status":"approved","token":"t","login":"alice"})"), (API::Approved{"t", "alice"}));
  EXPECT_FALSE(decide(R"({"status":"approved","token":"t"})")) << "approval without a login is still pending";
  EXPECT_FALSE(decide(R"({"status":"waiting","login":null})"));
  try {
    decide(R"({"status":"expired","token":"t","login":"alice"})");
    ADD_FAILURE();
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.code(), 410);
    EXPECT_STREQ(e.what(), "pairing expired");
  }
  EXPECT_FALSE(API::decodePollRaw(R"({"token":"t"})"));
  EXPECT_FALSE(API::decodePollRaw(R"({"status":"approved","token":5})"));
}

TEST(ServiceRecords, DecodersIgnoreUnknownKeysAndRefuseWrongTypes) {
  EXPECT_EQ(API::decodePair(R"({"code":"A","deviceSecret":"s","verifyUrl":"u","extra":[1]})"),
            (API::Pair{"A", "s", "u"}));
  EXPECT_FALSE(API::decodePair(R"({"code":"A","deviceSecret":"s"})"));

  auto accepted = API::decodeIngestResponse(R"({"accepted":{"total":5}})");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->accepted, (API::AcceptedTotals{5, std::nullopt, std::nullopt}));
  EXPECT_FALSE(API::decodeIngestResponse("not json"));
  EXPECT_EQ(API::decodeIngestResponse("{}")->accepted, std::nullopt);

  API::LiveCandleFrame frame;
  frame.connected = true;
  frame.state = "live";
  frame.bucketMs = 60000;
  API::LiveCandle candle;
  candle.at = 1.5e12;
  candle.observed = true;
  candle.provisional = true;
  candle.close = 12.25;
  candle.reusePct = 40;
  frame.candles = {candle, API::LiveCandle{}};
  EXPECT_EQ(API::decodeLiveCandleFrame(API::encode(frame)), frame);
  EXPECT_FALSE(API::decodeLiveCandleFrame(R"({"connected":true})")) << "candles are required";
  EXPECT_FALSE(API::decodeLiveCandleFrame(R"({"connected":true,"candles":[{"at":1}]})"));
}

TEST(IngestBody, KeysAppearOnlyWhenKnown) {
  API::Totals bare;
  bare.total = 10;
  bare.cost = 0.5;
  auto body = API::ingestTokensBody(bare);
  EXPECT_EQ(body.size(), 2u) << boost::json::serialize(body);
  EXPECT_EQ(body.at("total").as_int64(), 10);

  API::Totals full = bare;
  full.input = 0;
  full.cacheWrite = 7;
  full.agents = {{"claude", 9, 1.0}};
  full.models = {{"m", 1, 2, 3, 4, 0.25}};
  full.liveTotal = 3;
  full.optimizer = API::OptimizerStats{true, 1, 2, 3, 4};
  full.accountingRevision = "r2";
  auto fullBody = API::ingestTokensBody(full);
  EXPECT_EQ(fullBody.at("input_total").as_int64(), 0) << "a known zero is sent";
  EXPECT_FALSE(fullBody.contains("output_total"));
  EXPECT_EQ(fullBody.at("apps_used").as_int64(), 1);
  EXPECT_FALSE(fullBody.at("by_agent").as_array()[0].as_object().contains("cost"));
  EXPECT_EQ(fullBody.at("by_model").as_array()[0].as_object().at("cacheWrite").as_int64(), 4);
  EXPECT_EQ(fullBody.at("optimizer_name").as_string(), "rtk");
  EXPECT_FALSE(fullBody.contains("live_cost_usd"));

  auto upload = API::ingestUpload("alice", "pro", full, {"id", ""});
  EXPECT_EQ(upload.source, "ccusage-mac");
  EXPECT_EQ(upload.appVersion, "unknown");
  // The server reads back exactly what the app wrote, except what never travels.
  auto decoded = API::decodeIngestUpload(API::encode(upload));
  ASSERT_EQ(decoded.outcome, API::IngestDecode::Outcome::ok);
  full.accountingRevision.reset();
  full.agents[0].cost = 0;
  EXPECT_EQ(decoded.upload.totals, full);
}

TEST(PublisherId, KeepsAValidIdAndReplacesAnythingElse) {
  MemoryUserDefaults defaults;
  defaults.setString(publisherIdDefaultsKey, "ABCDEF01-2345-4789-8BCD-EF0123456789");
  EXPECT_EQ(resolvePublisherId(defaults), "abcdef01-2345-4789-8bcd-ef0123456789");
  EXPECT_EQ(defaults.string(publisherIdDefaultsKey), "ABCDEF01-2345-4789-8BCD-EF0123456789") << "left as stored";

  defaults.setString(publisherIdDefaultsKey, "abc");
  const std::string fresh = resolvePublisherId(defaults);
  EXPECT_TRUE(isUuid(fresh));
  EXPECT_EQ(defaults.string(publisherIdDefaultsKey), fresh);
  EXPECT_EQ(fresh, resolvePublisherId(defaults));
}

TEST(ServiceEndpoint, EnvironmentThenDefaultsThenTheBuiltInUrl) {
  MemoryUserDefaults defaults;
  ::unsetenv(serviceUrlEnvironmentVariable);
  EXPECT_EQ(serviceBaseUrl(defaults), defaultServiceUrl);
  defaults.setString(serviceUrlDefaultsKey, "https://quorvin.example.org/");
  EXPECT_EQ(serviceBaseUrl(defaults), "https://quorvin.example.org");
  ::setenv(serviceUrlEnvironmentVariable, "https://127.0.0.1:8443", 1);
  EXPECT_EQ(serviceBaseUrl(defaults), "https://127.0.0.1:8443");
  ::setenv(serviceUrlEnvironmentVariable, "ftp://nope", 1);
  EXPECT_EQ(serviceBaseUrl(defaults), "https://quorvin.example.org") << "an unusable override is skipped";
  ::unsetenv(serviceUrlEnvironmentVariable);
}

}  // namespace
}  // namespace quorvin
