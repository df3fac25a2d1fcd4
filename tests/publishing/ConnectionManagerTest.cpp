// The connection manager on a virtual clock against a scripted HTTPS service on loopback:
// each schedule to the second, and the service's faults.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <mutex>

#include "platform/CurlHttpClient.h"
#include "platform/MemoryUserDefaults.h"
#include "platform/Runtime.h"
#include "platform/SecretStore.h"
#include "platform/VirtualClock.h"
#include "publishing/ConnectionManager.h"
#include "publishing/CredentialStore.h"
#include "publishing/ScriptedUsageFeed.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempFolder.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

using std::chrono::seconds;
using test::TestHttpReply;
using test::TestHttpRequest;

class ConnectionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = clock_.now();
    server_.route("POST", "/api/ingest", [this](const TestHttpRequest&) {
      std::lock_guard lock(mutex_);
      ingests_.push_back(clock_.now());
      return reply_;
    });
  }
  void TearDown() override {
    if (manager_) {
      post([this] { manager_->cancelAll(); });
      clock_.run(runtime_, [this] { return manager_->allTasksEnded(); });
      manager_.reset();
    }
  }

  void setReply(int status, std::string body, std::chrono::milliseconds delay = {}) {
    std::lock_guard lock(mutex_);
    reply_ = TestHttpReply{status, {}, std::move(body), delay};
  }
  std::vector<int64_t> ingestSeconds() {
    std::lock_guard lock(mutex_);
    std::vector<int64_t> out;
    for (auto at : ingests_) out.push_back(std::chrono::duration_cast<seconds>(at - start_).count());
    return out;
  }

  void makeManager(PairingDependencies pairing = {}) {
    ConnectionManager::Services services{runtime_, clock_, http_, defaults_, credentials_, feed_,
                                         nullptr, nullptr, server_.baseUrl(), API::Publisher{"p", "1"}};
    manager_ = std::make_unique<ConnectionManager>(std::move(services), std::move(pairing), true);
  }
  // A machine paired earlier: its token in the store and its handle in the settings.
  void pairedEarlier() {
    store_.saveDeviceToken("device-token", store_.mutationGeneration());
    defaults_.setString("login", "alice");
  }
  template <class F>
  void post(F f) {
    boost::asio::post(runtime_.model(), std::move(f));
  }
  // Drives the virtual clock until `seconds` of virtual time have passed since the start.
  void runUntil(int64_t secondsFromStart) {
    const WallTime until = start_ + seconds(secondsFromStart);
    clock_.run(runtime_, [&] { return clock_.now() >= until; });
  }
  const ConnectionState& state() { return manager_->state(); }

  test::TestCertificates certs_;
  test::LoopbackHttpServer server_{certs_};
  test::TempFolder folder_;
  Runtime runtime_{2};
  VirtualClock clock_;
  WallTime start_;
  MemoryUserDefaults defaults_;
  CurlHttpClient http_{CurlHttpClient::Options{.caFile = certs_.caFile(), .pending = &runtime_.pending()}};
  CredentialStore store_{makeFileSecretStore(folder_ / "secret.json"), defaults_, "0123456789abcdef01234567"};
  AsyncCredentialStore credentials_{store_, runtime_.pool()};
  test::ScriptedUsageFeed feed_{clock_};
  std::unique_ptr<ConnectionManager> manager_;

  std::mutex mutex_;
  std::vector<WallTime> ingests_;
  TestHttpReply reply_{200, {}, R"({"accepted":{"total":5000,"cost_usd_total":2.5}})"};
};

TEST_F(ConnectionManagerTest, TicksEverySecondUploadsChangesAndAHeartbeatAndBacksOffOnFailures) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(100, 1.0);
  makeManager();
  post([this] { manager_->start(); });

  runUntil(46);
  ASSERT_TRUE(state().status.is(ConnectionStatus::Kind::connected));
  // One read per second for the tick, one more for the reconciliation at the start.
  EXPECT_GE(feed_.pulseReads.size(), 46u);
  // An unchanged machine uploads on its first tick and then every 15 s.
  EXPECT_EQ(ingestSeconds(), (std::vector<int64_t>{0, 15, 30, 45}));
  EXPECT_EQ(state().publicTokenOffset, 5000 - state().tokens);  // accepted totals adopted

  // The service fails from now on while usage keeps changing: back-off 2, 4, 8, ... 60, 60 s.
  {
    std::lock_guard lock(mutex_);
    ingests_.clear();
  }
  setReply(500, "{}");
  feed_.growthPerRead = 10;
  runUntil(46 + 2 + 4 + 8 + 16 + 32 + 60 + 60 + 1);
  auto times = ingestSeconds();
  ASSERT_EQ(times.size(), 8u);
  std::vector<int64_t> gaps;
  for (size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  EXPECT_EQ(gaps, (std::vector<int64_t>{2, 4, 8, 16, 32, 60, 60}));
  EXPECT_EQ(state().lastError, "Quorvin request failed (HTTP 500)");
  EXPECT_EQ(manager_->uploadFailureCount(), 6);

  // A success resets the count and clears the message.
  setReply(200, R"({"accepted":{"total":9000}})");
  runUntil(times.back() - 46 + 46 + 61);
  EXPECT_EQ(manager_->uploadFailureCount(), 0);
  EXPECT_FALSE(state().lastError);
  // The displayed total only ever grew.
  int64_t previous = 0;
  for (const auto& p : state().recentTicks) {
    EXPECT_GE(p.total, previous);
    previous = p.total;
  }
}

TEST_F(ConnectionManagerTest, ReconcilesAtOnceThenEvery900SecondsAndNeverLowersTheDisplay) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(100, 1.0);
  API::Totals ledger;
  ledger.total = 50;  // below what the cache already shows
  ledger.cost = 0.5;
  ledger.models = {API::ModelRow{"claude-sonnet-4", 40, 10, 0, 0, 0.5}};
  ledger.agents = {API::AgentRow{"claude", 50, 0.5}};
  feed_.ledger = ledger;
  defaults_.setInteger("local_publisher_cache_revision", 1);
  defaults_.setInteger("cached_tokens_total", 1000);
  makeManager();
  post([this] { manager_->start(); });

  runUntil(1801);
  ASSERT_EQ(feed_.totalsReads.size(), 3u);
  EXPECT_EQ(feed_.totalsReads[1] - feed_.totalsReads[0], seconds(900));
  EXPECT_EQ(feed_.totalsReads[2] - feed_.totalsReads[1], seconds(900));
  EXPECT_EQ(state().tokens, 1000);
  EXPECT_EQ(state().topModel, "claude-sonnet-4");
  EXPECT_EQ(defaults_.string("cached_top_model"), "claude-sonnet-4");
  EXPECT_TRUE(state().lastReconciled);

  // No ledger at all: the message, and still the full period.
  // (The next accepted upload clears it again.)
  feed_.ledger.reset();
  clock_.run(runtime_, [&] { return state().lastError.has_value(); });
  EXPECT_EQ(state().lastError, "No local token data yet \xE2\x80\x94 run an AI coding session, then retry.");
  EXPECT_EQ(clock_.now() - start_, seconds(2700));
  runUntil(3601);
  EXPECT_EQ(feed_.totalsReads.size(), 5u);
}

TEST_F(ConnectionManagerTest, PairingPollsEvery3SecondsAndGivesUpAfter300) {
  int polls = 0;
  PairingDependencies pairing;
  pairing.create = [](std::string) -> boost::asio::awaitable<API::Pair> {
    co_return API::Pair{"ABCD-1234", "secret", "https://example.invalid/approve"};
  };
  pairing.openApproval = [](const std::string&) {};
  pairing.waitForPoll = [this] { return clock_.sleep(seconds(3)); };
  pairing.poll = [&polls](std::string, std::string, std::string) -> boost::asio::awaitable<std::optional<API::Approved>> {
    ++polls;
    co_return std::nullopt;
  };
  makeManager(std::move(pairing));
  post([this] { manager_->connect(); });
  clock_.run(runtime_, [&] { return polls == 1; });
  EXPECT_EQ(state().status, ConnectionStatus::pairing("ABCD-1234"));
  EXPECT_EQ(state().pairingURL, "https://example.invalid/approve");

  clock_.run(runtime_, [&] { return state().lastError.has_value(); });
  EXPECT_EQ(polls, 300);
  EXPECT_EQ(clock_.now() - start_, seconds(900));
  EXPECT_EQ(state().lastError, "Pairing timed out \xE2\x80\x94 try again.");
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::disconnected));
  EXPECT_FALSE(state().pairingURL);
  EXPECT_FALSE(state().isPairingRequesting);
}

TEST_F(ConnectionManagerTest, AnApprovedPairingCancelledDuringTheSaveStaysDisconnected) {
  PairingDependencies pairing;
  pairing.create = [](std::string) -> boost::asio::awaitable<API::Pair> {
    co_return API::Pair{"CODE", "secret", "https://example.invalid/approve"};
  };
  pairing.waitForPoll = [this] { return clock_.sleep(seconds(3)); };
  pairing.poll = [](std::string, std::string, std::string) -> boost::asio::awaitable<std::optional<API::Approved>> {
    co_return API::Approved{"new-token", "alice"};
  };
  bool saving = false;
  pairing.save = [this, &saving](std::string, int64_t) -> boost::asio::awaitable<void> {
    saving = true;
    co_await clock_.sleep(seconds(1));  // the keyring takes its time
  };
  makeManager(std::move(pairing));
  post([this] { manager_->connect(); });
  clock_.run(runtime_, [&] { return saving; });
  post([this] { manager_->cancelPairing(); });
  runUntil(10);
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::disconnected));
  EXPECT_FALSE(manager_->deviceToken());
  EXPECT_FALSE(defaults_.contains("login"));
}

// The banner's Dismiss goes through the posted commands like a view's click, and the value the
// views read loses the banner and its open error while the connection stays.
TEST_F(ConnectionManagerTest, DismissingThePairingSuccessPublishesTheBannerGone) {
  PairingDependencies pairing;
  pairing.create = [](std::string) -> boost::asio::awaitable<API::Pair> {
    co_return API::Pair{"CODE", "secret", "https://example.invalid/approve"};
  };
  pairing.openApproval = [](const std::string&) {};
  pairing.waitForPoll = [this] { return clock_.sleep(seconds(3)); };
  pairing.poll = [](std::string, std::string, std::string) -> boost::asio::awaitable<std::optional<API::Approved>> {
    co_return API::Approved{"new-token", "alice"};
  };
  pairing.save = [](std::string, int64_t) -> boost::asio::awaitable<void> { co_return; };
  pairing.openProfile = [](const std::string&) { return false; };
  makeManager(std::move(pairing));
  post([this] { manager_->connect(); });
  clock_.run(runtime_, [&] { return manager_->snapshot()->pairingSuccessHandle.has_value(); });
  EXPECT_EQ(manager_->snapshot()->pairingSuccessHandle, "alice");
  manager_->commands().openLiveProfile();
  clock_.run(runtime_, [&] { return manager_->snapshot()->profileOpenError.has_value(); });

  manager_->commands().dismissPairingSuccess();
  clock_.run(runtime_, [&] { return !manager_->snapshot()->pairingSuccessHandle; });
  const auto shown = manager_->snapshot();
  EXPECT_FALSE(shown->profileOpenError);
  EXPECT_TRUE(shown->status.is(ConnectionStatus::Kind::connected));
  EXPECT_EQ(shown->login, "alice");
}

TEST_F(ConnectionManagerTest, RevokedTokenStopsPublishingAndRemovesTheToken) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(100);
  setReply(401, R"({"error":"revoked"})");
  int attention = 0;
  makeManager();
  post([this, &attention] {
    manager_->setCallbacks({.needsAttention = [&attention] { ++attention; }});
    manager_->start();
  });
  clock_.run(runtime_, [&] { return state().credentialMissing; });
  EXPECT_EQ(state().lastError, "This computer's pairing was revoked on Quorvin. Pair again to resume streaming.");
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::disconnected));
  EXPECT_TRUE(state().login.empty());
  EXPECT_FALSE(defaults_.contains("login"));
  EXPECT_EQ(manager_->uploadFailureCount(), 0);  // no back-off for a revocation
  EXPECT_GE(attention, 1);
  runUntil(30);
  EXPECT_EQ(store_.probeDeviceToken(), TokenProbe::missing());
  EXPECT_EQ(ingestSeconds().size(), 1u);  // nothing more was sent
}

TEST_F(ConnectionManagerTest, UndecodableAnswersCountAsSentAndHangsTimeOut) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(100);
  setReply(200, "<html>not json</html>");
  makeManager();
  post([this] { manager_->start(); });
  runUntil(16);
  EXPECT_EQ(ingestSeconds(), (std::vector<int64_t>{0, 15}));  // heartbeat, not a retry loop
  EXPECT_EQ(manager_->uploadFailureCount(), 0);
  EXPECT_EQ(state().publicTokenOffset, 0);

  // A service that hangs past the 5 s time-out is a failure like any other.
  setReply(200, "{}", std::chrono::milliseconds(7000));
  runUntil(31);
  EXPECT_EQ(manager_->uploadFailureCount(), 1);
  EXPECT_TRUE(state().lastError);
}

TEST_F(ConnectionManagerTest, RestartFromTheCacheNeverShowsALowerTotal) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(50, 0.5);
  defaults_.setInteger("local_publisher_cache_revision", 1);
  defaults_.setInteger("cached_tokens_total", 1000);
  makeManager();
  post([this] { manager_->start(); });
  runUntil(2);
  EXPECT_EQ(state().tokens, 1000);  // the live base is taken, nothing added yet
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(80, 0.5);
  runUntil(3);
  EXPECT_EQ(state().tokens, 1030);
  EXPECT_EQ(defaults_.integer("cached_tokens_total"), 1030);

  // The process ends; the next one starts from the cache while the tailer starts over.
  post([this] { manager_->cancelAll(); });
  clock_.run(runtime_, [this] { return manager_->allTasksEnded(); });
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(5, 0.1);
  makeManager();
  post([this] { manager_->start(); });
  runUntil(6);
  EXPECT_EQ(state().tokens, 1030);
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(25, 0.1);
  runUntil(8);
  EXPECT_EQ(state().tokens, 1050);
}

TEST_F(ConnectionManagerTest, OutdatedCacheLayoutKeepsOnlyTheDescriptiveKeys) {
  defaults_.setString("login", "alice");
  for (auto key : {"cached_tokens_total", "cached_app_count", "cached_model_count", "public_token_offset",
                   "cached_input_total"}) {
    defaults_.setInteger(key, 7);
  }
  defaults_.setString("cached_top_model", "m");
  defaults_.setNumber("cached_last_sync", 1'767'225'000.0);
  makeManager();
  post([this] { manager_->start(); });
  runUntil(1);
  EXPECT_EQ(state().tokens, 0);
  EXPECT_EQ(state().publicTokenOffset, 0);
  EXPECT_EQ(state().contextInput, 0);
  EXPECT_EQ(state().appCount, 7);
  EXPECT_EQ(state().modelCount, 7);
  EXPECT_EQ(state().topModel, "m");
  EXPECT_TRUE(state().lastSync);
  EXPECT_EQ(defaults_.integer("local_publisher_cache_revision"), 1);
  // No token is stored, so the unlock says so.
  EXPECT_TRUE(state().credentialMissing);
}

TEST_F(ConnectionManagerTest, DisconnectKeepsTheRequestUntilCleanupFinishes) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(100);
  feed_.clearFailure = "the disk is read-only.";
  makeManager();
  post([this] { manager_->start(); });
  runUntil(3);
  ASSERT_TRUE(state().status.is(ConnectionStatus::Kind::connected));
  post([this] { manager_->disconnect(); });
  runUntil(5);
  EXPECT_EQ(state().lastError,
            "Cursor history cleanup did not finish: the disk is read-only. Retry cleanup before pairing this computer.");
  EXPECT_TRUE(state().disconnectCleanupPending);
  EXPECT_FALSE(state().isDisconnecting);
  EXPECT_EQ(defaults_.boolean("disconnect_requested"), true);
  const auto sentBefore = ingestSeconds().size();

  // The next launch retries the cleanup without unlocking anything.
  post([this] { manager_->cancelAll(); });
  clock_.run(runtime_, [this] { return manager_->allTasksEnded(); });
  feed_.clearFailure.reset();
  makeManager();
  post([this] { manager_->start(); });
  runUntil(8);
  EXPECT_FALSE(state().disconnectCleanupPending);
  EXPECT_FALSE(defaults_.contains("disconnect_requested"));
  EXPECT_FALSE(defaults_.contains("cached_tokens_total"));
  EXPECT_EQ(defaults_.boolean("quorvin_cursor_usage_enabled"), false);
  EXPECT_EQ(state().tokens, 0);
  EXPECT_TRUE(state().recentTicks.empty());
  EXPECT_EQ(store_.probeDeviceToken(), TokenProbe::missing());
  EXPECT_EQ(ingestSeconds().size(), sentBefore);
}

TEST_F(ConnectionManagerTest, TogglingCursorWhileDisconnectedNeverStartsPairing) {
  bool created = false;
  PairingDependencies pairing;
  pairing.create = [&created](std::string) -> boost::asio::awaitable<API::Pair> {
    created = true;
    co_return API::Pair{"CODE", "secret", "https://example.invalid/approve"};
  };
  makeManager(std::move(pairing));
  post([this] { manager_->setCursorUsageEnabled(true); });
  runUntil(5);
  EXPECT_EQ(feed_.preferenceChanges, 1);
  EXPECT_EQ(defaults_.boolean("quorvin_cursor_usage_enabled"), true);
  EXPECT_FALSE(created);
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::disconnected));
}

TEST_F(ConnectionManagerTest, SleepStopsPublishingAndWakeResumesIt) {
  pairedEarlier();
  feed_.pulse = test::ScriptedUsageFeed::pulseOf(100);
  makeManager();
  post([this] { manager_->start(); });
  runUntil(2);
  post([this] { manager_->prepareForSleep(); });
  runUntil(3);
  const auto readsAtSleep = feed_.pulseReads.size();
  runUntil(600);
  EXPECT_EQ(feed_.pulseReads.size(), readsAtSleep);  // nothing runs while asleep
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::connected));
  post([this] { manager_->resumeAfterWake(); });
  runUntil(603);
  EXPECT_GT(feed_.pulseReads.size(), readsAtSleep);
}

}  // namespace
}  // namespace quorvin
