// The quota loop and the savings flows on a virtual clock, with the real reader (HTTPS on
// loopback) and real child processes.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/CurlHttpClient.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/VirtualClock.h"
#include "savings/QuotaAndSavingsFlows.h"
#include "savings/SavingsTestKit.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using Target = TokenSavingsAdvisor::Target;

constexpr std::string_view kCodexUsage =
    R"({"rate_limit":{"primary_window":{"used_percent":42,"limit_window_seconds":18000,"reset_after_seconds":60}}})";

class QuotaAndSavingsFlowsTest : public ::testing::Test {
 protected:
  QuotaAndSavingsFlowsTest() {
    test::writeFile(files_.home / ".codex/auth.json", R"({"tokens":{"access_token":"t"}})");
    server_.route("GET", "/backend-api/wham/usage", [this](const test::TestHttpRequest&) {
      ++codexRequests_;
      return test::TestHttpReply{200, {}, std::string(kCodexUsage)};
    });
  }
  ~QuotaAndSavingsFlowsTest() override {
    Task stopping = Task::start(runtime_.model(), flows_.shutdown());
    clock_.run(runtime_, [&] { return stopping.ended(); });
  }

  bool runUntil(const std::function<bool()>& done) { return clock_.run(runtime_, done); }

  test::SavingsHome files_;
  test::TestCertificates certificates_;
  test::LoopbackHttpServer server_{certificates_};
  std::atomic<int> codexRequests_{0};
  Runtime runtime_{1};
  VirtualClock clock_;
  CurlHttpClient http_{CurlHttpClient::Options{.caFile = certificates_.caFile(), .pending = &runtime_.pending()}};
  ProviderQuotaReader::Config quotaConfig() const {
    auto config = ProviderQuotaReader::Config::forHome(files_.home);
    config.codexBaseUrl = server_.baseUrl();
    config.grokBaseUrl = server_.baseUrl();
    return config;
  }
  ProviderQuotaReader reader_{quotaConfig(), http_, clock_, runtime_.pool()};
  ProcessRunner processes_{clock_, runtime_};
  TokenSavingsAdvisor::Context advisor_{processes_, runtime_.pool(), files_.environment()};

  bool visible_ = true;
  bool connected_ = true;
  int pulses_ = 0;
  int changes_ = 0;
  QuotaAndSavingsFlows flows_{runtime_.model(),
                              {reader_, advisor_, clock_},
                              {[this] { return visible_; }, [this] { return connected_; }, [this] { ++pulses_; },
                               [this] { ++changes_; }}};
};

TEST_F(QuotaAndSavingsFlowsTest, QuotaLoopRunsEvery300SecondsWhileVisibleAndConnected) {
  EXPECT_EQ(flows_.providerQuotas(), ProviderQuotaSnapshot::placeholders());
  const WallTime start = clock_.now();
  flows_.startProviderQuotaUpdatesIfNeeded();
  flows_.startProviderQuotaUpdatesIfNeeded();  // opening the menu twice: still one loop
  ASSERT_TRUE(runUntil([&] { return flows_.providerQuotas()[0].fetchedAt == start + 600s; }));
  EXPECT_EQ(codexRequests_, 3);
  ASSERT_EQ(flows_.providerQuotas().size(), 2u);
  EXPECT_EQ(flows_.providerQuotas()[0].availability, ProviderQuotaAvailability::available);
  EXPECT_EQ(flows_.providerQuotas()[0].windows.at(0).resetsAt, start + 660s);
  EXPECT_EQ(flows_.providerQuotas()[1], ProviderQuotaSnapshot::unavailable(ProviderQuotaSnapshot::Provider::grokBuild));

  // Closing the menu cancels the loop at once; reopening starts a new one right away.
  flows_.stopProviderQuotaUpdates();
  EXPECT_FALSE(flows_.providerQuotaLoopRunning());
  const int published = changes_;
  flows_.startProviderQuotaUpdatesIfNeeded();
  ASSERT_TRUE(runUntil([&] { return changes_ == published + 1; }));
  EXPECT_EQ(codexRequests_, 4);
  EXPECT_EQ(clock_.now() - start, 600s);
  flows_.stopProviderQuotaUpdates();
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(codexRequests_, 4);
  EXPECT_EQ(clock_.sleepers(), 0u);
}

TEST_F(QuotaAndSavingsFlowsTest, QuotaLoopOnlyWhileVisibleAndConnected) {
  visible_ = false;
  flows_.startProviderQuotaUpdatesIfNeeded();
  visible_ = true;
  connected_ = false;
  flows_.startProviderQuotaUpdatesIfNeeded();
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(codexRequests_, 0);

  // A loop that finds the menu closed on its next turn ends by itself, and a later opening
  // starts a new one.
  connected_ = true;
  flows_.startProviderQuotaUpdatesIfNeeded();
  ASSERT_TRUE(runUntil([&] { return codexRequests_ == 1; }));
  visible_ = false;
  clock_.runUntilIdle(runtime_);
  EXPECT_FALSE(flows_.providerQuotaLoopRunning());
  EXPECT_EQ(codexRequests_, 1);
  visible_ = true;
  flows_.startProviderQuotaUpdatesIfNeeded();
  ASSERT_TRUE(runUntil([&] { return codexRequests_ == 2; }));

  // Sleep stops it too.
  flows_.prepareForSleep();
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(codexRequests_, 2);
}

TEST_F(QuotaAndSavingsFlowsTest, SavingsRefreshPublishesOnceAndAsksForAPulse) {
  files_.rtk();
  flows_.refreshSavingsAdvisor();
  flows_.refreshSavingsAdvisor();  // already running: nothing more
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(files_.calls(), "rtk --version\nrtk gain --format json\n");
  EXPECT_TRUE(flows_.savingsSnapshot().installed);
  EXPECT_EQ(flows_.savingsSnapshot().savedTokens, 7500);
  EXPECT_FALSE(flows_.savingsStatus());
  EXPECT_EQ(pulses_, 1);
  EXPECT_EQ(flows_.optimizerStats(), (API::OptimizerStats{false, 42, 10000, 2500, 7500}));
  EXPECT_EQ(flows_.savingsProjection({}, 0).tokens, 7500);
  EXPECT_TRUE(flows_.savingsProjection({}, 0).measured);

  // A broken report becomes the status; disconnected, no pulse is asked for.
  connected_ = false;
  files_.rtk("garbage");
  flows_.refreshSavingsAdvisor();
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(flows_.savingsStatus(), std::string(TokenSavingsAdvisor::kReportUnavailable));
  EXPECT_EQ(pulses_, 1);
}

TEST_F(QuotaAndSavingsFlowsTest, ConfigureShowsProgressThenTheResultAndCanRunAgain) {
  files_.rtk();
  flows_.configureSavings(true, {Target::codex});
  EXPECT_TRUE(flows_.isConfiguringSavings());
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kSettingUp));
  flows_.configureSavings(false, {Target::codex});  // ignored while one runs
  flows_.refreshSavingsAdvisor();                    // likewise
  clock_.runUntilIdle(runtime_);
  EXPECT_FALSE(flows_.isConfiguringSavings());
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kReady));
  EXPECT_TRUE(flows_.savingsSnapshot().installed);
  EXPECT_EQ(pulses_, 1);
  EXPECT_EQ(files_.calls(),
            "rtk gain --format json\nrtk init -g --codex --no-trust-filters\nrtk --version\nrtk gain --format json\n");

  std::filesystem::remove(files_.log);
  flows_.configureSavings(false, {Target::codex});
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kRemoving));
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kRemoved));
  EXPECT_EQ(files_.calls(), "rtk init -g --codex --uninstall\nrtk --version\nrtk gain --format json\n");

  std::filesystem::remove(files_.home / ".local/bin/rtk");
  flows_.configureSavings(true, {Target::codex});
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(flows_.savingsStatus(), std::string(TokenSavingsAdvisor::AdvisorError::homebrewMissing().what()));
  EXPECT_FALSE(flows_.savingsSnapshot().installed);
}

TEST_F(QuotaAndSavingsFlowsTest, SleepPausesAConfigurationAndStopsItsProcesses) {
  const auto pidFile = files_.dir.path() / "init.pid";
  files_.program(files_.home / ".local/bin/rtk",
                 "[ \"$1\" = gain ] && printf '%s\\n' '" + std::string(test::SavingsHome::kGain) + "' && exit 0\n"
                 "[ \"$1\" = init ] && { sleep 300 & echo $! > '" + pidFile.string() + "'; wait; }\n"
                 "[ \"$1\" = --version ] && echo 'rtk 2.0'\n");
  flows_.configureSavings(true, {Target::claude});
  ASSERT_TRUE(runUntil([&] { return std::filesystem::exists(pidFile) && test::readFile(pidFile).size() > 1; }));

  flows_.prepareForSleep();
  EXPECT_FALSE(flows_.isConfiguringSavings());
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kPausedBySleep));
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kPausedBySleep));  // the stale run shows nothing
  EXPECT_TRUE(test::processEndsSoon(std::stoi(test::readFile(pidFile))));
  EXPECT_TRUE(files_.temporaryEmpty());

  // After wake both flows work again.
  flows_.refreshSavingsAdvisor();
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(flows_.savingsSnapshot().version, "2.0");
  EXPECT_FALSE(flows_.savingsStatus());
  files_.rtk();
  flows_.configureSavings(true, {Target::claude});
  clock_.runUntilIdle(runtime_);
  EXPECT_EQ(flows_.savingsStatus(), std::string(QuotaAndSavingsFlows::kReady));
}

}  // namespace
}  // namespace quorvin
