// The quota reader against HTTPS servers on loopback that answer as the providers do.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/CurlHttpClient.h"
#include "platform/Runtime.h"
#include "platform/Task.h"
#include "sources/ProviderQuotaParser.h"
#include "sources/ProviderQuotaReader.h"
#include "support/TempFolder.h"
#include "support/AwaitOnModel.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using Provider = ProviderQuotaSnapshot::Provider;

class FixedClock final : public Clock {
 public:
  WallTime now() const override { return WallTime(std::chrono::seconds(1'767'225'600)); }
};

constexpr std::string_view kCodexUsage =
    R"({"rate_limit":{"primary_window":{"used_percent":42,"limit_window_seconds":18000,"reset_after_seconds":7200},)"
    R"("secondary_window":{"used_percent":7.5,"limit_window_seconds":604800,"reset_at":1767484800}}})";
constexpr std::string_view kGrokBilling =
    R"({"config":{"currentPeriod":{"type":"BILLING_PERIOD_MONTHLY","start":"2026-01-01T00:00:00Z",)"
    R"("end":"2026-02-01T00:00:00Z"},"productUsage":[{"product":"GrokBuild","usagePercent":63.2}]}})";

class ProviderQuotaReaderTest : public ::testing::Test {
 protected:
  ProviderQuotaReaderTest() {
    config_.codexBaseUrl = server_.baseUrl();
    config_.grokBaseUrl = server_.baseUrl();
    config_.timeout = 2s;
  }

  ProviderQuotaSnapshot fetchCodex() {
    ProviderQuotaReader reader(config_, http_, clock_, runtime_.pool());
    return test::awaitOnModel(runtime_, reader.fetchCodex());
  }
  ProviderQuotaSnapshot fetchGrok() {
    ProviderQuotaReader reader(config_, http_, clock_, runtime_.pool());
    return test::awaitOnModel(runtime_, reader.fetchGrok());
  }
  void serveCodex(test::TestHttpReply reply) {
    server_.route("GET", "/backend-api/wham/usage", [reply](const test::TestHttpRequest&) { return reply; });
  }
  void serveGrok(test::TestHttpReply reply) {
    server_.route("GET", "/v1/billing", [reply](const test::TestHttpRequest&) { return reply; });
  }

  test::TempFolder home_;
  ProviderQuotaReader::Config config_ = ProviderQuotaReader::Config::forHome(home_.path());
  test::TestCertificates certificates_;
  test::LoopbackHttpServer server_{certificates_};
  Runtime runtime_{1};
  CurlHttpClient http_{CurlHttpClient::Options{.caFile = certificates_.caFile(), .pending = &runtime_.pending()}};
  FixedClock clock_;
};

TEST_F(ProviderQuotaReaderTest, CodexSignInAsksForTheWindows) {
  test::writeFile(config_.codexAuthFile, R"({"tokens":{"access_token":"codex-token","account_id":"acct-1"}})");
  serveCodex({200, {{"Content-Type", "application/json"}}, std::string(kCodexUsage)});

  const auto snapshot = fetchCodex();
  EXPECT_EQ(snapshot.availability, ProviderQuotaAvailability::available);
  ASSERT_EQ(snapshot.windows.size(), 2u);
  EXPECT_EQ(snapshot.windows[0], (ProviderQuotaWindow{"5H", 42, clock_.now() + 2h}));
  EXPECT_EQ(snapshot.windows[1].label, "WEEK");
  EXPECT_EQ(snapshot.fetchedAt, clock_.now());

  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/backend-api/wham/usage");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer codex-token");
  EXPECT_EQ(requests[0].header("ChatGPT-Account-ID"), "acct-1");

  // Without an account id the header is left out.
  server_.clearRequests();
  test::writeFile(config_.codexAuthFile, R"({"tokens":{"access_token":"codex-token","account_id":""}})");
  EXPECT_EQ(fetchCodex().availability, ProviderQuotaAvailability::available);
  requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("ChatGPT-Account-ID"));
}

TEST_F(ProviderQuotaReaderTest, EveryFailureIsAnUnavailableSnapshot) {
  const auto unavailable = ProviderQuotaSnapshot::unavailable(Provider::codex);
  test::writeFile(config_.codexAuthFile, R"({"tokens":{"access_token":"codex-token"}})");
  for (int status : {401, 403, 500, 204}) {
    serveCodex({status, {}, std::string(kCodexUsage)});
    EXPECT_EQ(fetchCodex(), unavailable) << status;
  }
  serveCodex({302, {{"Location", server_.url("/elsewhere")}}, ""});
  EXPECT_EQ(fetchCodex(), unavailable);
  serveCodex({200, {}, "<html>Just a moment...</html>"});
  EXPECT_EQ(fetchCodex(), unavailable);
  serveCodex({200, {}, std::string(ProviderQuotaReader::kMaxBodyBytes + 1, ' ')});
  EXPECT_EQ(fetchCodex(), unavailable);

  // A server that stalls past the time-out.
  config_.timeout = 300ms;
  serveCodex({200, {}, std::string(kCodexUsage), 3s});
  EXPECT_EQ(fetchCodex(), unavailable);

  // Nothing to reach at all.
  config_.codexBaseUrl = "https://127.0.0.1:1";
  EXPECT_EQ(fetchCodex(), unavailable);
}

TEST_F(ProviderQuotaReaderTest, WithoutAUsableSignInNoRequestIsMade) {
  serveCodex({200, {}, std::string(kCodexUsage)});
  serveGrok({200, {}, std::string(kGrokBilling)});

  EXPECT_EQ(fetchCodex(), ProviderQuotaSnapshot::unavailable(Provider::codex));  // no file
  EXPECT_EQ(fetchGrok(), ProviderQuotaSnapshot::unavailable(Provider::grokBuild));
  for (const char* file : {"{", R"({"tokens":{}})", R"({"tokens":{"access_token":7}})"}) {
    test::writeFile(config_.codexAuthFile, file);
    EXPECT_EQ(fetchCodex().availability, ProviderQuotaAvailability::unavailable) << file;
  }
  for (const char* file : {"", "[]", R"({"x":{"key":""}})"}) {
    test::writeFile(config_.grokAuthFile, file);
    EXPECT_EQ(fetchGrok().availability, ProviderQuotaAvailability::unavailable) << file;
  }
  // Expired at or before now: the Grok CLI must renew it first.
  test::writeFile(config_.grokAuthFile, R"({"x":{"key":"grok-token","expires_at":"2026-01-01T00:00:00Z"}})");
  EXPECT_EQ(fetchGrok().availability, ProviderQuotaAvailability::unavailable);
  // A folder where the file should be.
  std::filesystem::remove(config_.codexAuthFile);
  std::filesystem::create_directories(config_.codexAuthFile);
  EXPECT_EQ(fetchCodex().availability, ProviderQuotaAvailability::unavailable);

  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ProviderQuotaReaderTest, GrokSignInAsksForTheBillingPeriod) {
  const std::string host(ProviderQuotaParser::kGrokAuthHost);
  test::writeFile(config_.grokAuthFile, R"({"other":{"key":"old"},"https://)" + host +
                                            R"(":{"key":"grok-token","auth_mode":"oidc","expires_at":"2026-01-01T00:00:01Z"}})");
  serveGrok({200, {}, std::string(kGrokBilling)});

  const auto snapshot = fetchGrok();
  EXPECT_EQ(snapshot.provider, Provider::grokBuild);
  EXPECT_EQ(snapshot.availability, ProviderQuotaAvailability::available);
  ASSERT_EQ(snapshot.windows.size(), 1u);
  EXPECT_EQ(snapshot.windows[0].label, "MONTH");
  EXPECT_EQ(snapshot.windows[0].usedPercent, 63.2);

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/v1/billing?format=credits");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer grok-token");
  EXPECT_EQ(requests[0].header("x-grok-client-identifier"), "quorvin");

  serveGrok({401, {}, std::string(kGrokBilling)});
  EXPECT_EQ(fetchGrok(), ProviderQuotaSnapshot::unavailable(Provider::grokBuild));
  serveGrok({200, {}, R"({"config":{"productUsage":[]}})"});
  EXPECT_EQ(fetchGrok(), ProviderQuotaSnapshot::unavailable(Provider::grokBuild));
}

boost::asio::awaitable<void> fetchInto(ProviderQuotaReader* reader, ProviderQuotaSnapshot* out) {
  *out = co_await reader->fetchCodex();
}

TEST_F(ProviderQuotaReaderTest, CancelledWhileWaitingGivesUnavailable) {
  test::writeFile(config_.codexAuthFile, R"({"tokens":{"access_token":"codex-token"}})");
  auto arrived = std::make_shared<std::atomic<bool>>(false);
  // Answers only after 3 s, well within the reader's time-out: only the cancellation ends it early.
  server_.route("GET", "/backend-api/wham/usage", [arrived](const test::TestHttpRequest&) {
    arrived->store(true);
    return test::TestHttpReply{200, {}, std::string(kCodexUsage), 3s};
  });
  config_.timeout = 30s;
  ProviderQuotaReader reader(config_, http_, clock_, runtime_.pool());

  ProviderQuotaSnapshot snapshot;
  Task task = Task::start(runtime_.model(), fetchInto(&reader, &snapshot));
  // Polled: the model thread has nothing to run until the answer comes.
  auto& model = runtime_.modelContext();
  model.restart();
  while (!arrived->load()) model.run_one_for(5ms);
  task.cancel();
  runtime_.runUntil([&] { return task.ended(); });
  EXPECT_EQ(snapshot, ProviderQuotaSnapshot::unavailable(Provider::codex));
}

}  // namespace
}  // namespace quorvin
