// The whole application core against a real quorvin-server over HTTPS on loopback, on one
// virtual clock: pair (auto-approved), stream appended agent usage, upload, reconcile with a
// stand-in ccusage, commit checkpoints, restart from the cache, revoke, disconnect.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "shell/AppOnLoopback.h"
#include "shell/HeadlessAgent.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

class HeadlessEndToEnd : public AppOnLoopback {
 protected:
  void SetUp() override {
    AppOnLoopback::SetUp();
    ASSERT_NE(std::getenv("QUORVIN_TEST_PRIVATE_KEYRING"), nullptr) << "run through tests/support/with-keyring";
    session_ = home_ / ".claude" / "projects" / "-work-app" / "session.jsonl";
    fs::create_directories(session_.parent_path());
    appendMessage(100);
    tool_ = dir_ / "ccusage";
    std::ofstream(tool_) << "#!/bin/sh\ncat '" << QUORVIN_TEST_DATA << "/ccusage/ccusage-sample.json'\n";
    fs::permissions(tool_, fs::perms::owner_all);
  }
  void appendMessage(int64_t input) {
    static int n = 0;
    ++n;
    std::ofstream(session_, std::ios::app)
        << R"({"type":"assistant","timestamp":"2026-01-01T00:00:00.000Z","sessionId":"s","requestId":"r)" << n
        << R"(","message":{"id":"msg_)" << n
        << R"(","type":"message","role":"assistant","model":"claude-sonnet-4-5-20250929","usage":{"input_tokens":)"
        << input << R"(,"output_tokens":0,"cache_creation_input_tokens":0,"cache_read_input_tokens":0}}})" << "\n";
  }

  void launch() {
    AppServices::Options options = baseOptions();
    options.ccusageTool = tool_;
    AppOnLoopback::launch(std::move(options));
  }
  const ConnectionState& state() { return app_->manager().state(); }
  int64_t serverTotal() {
    auto db = inspect();
    auto q = db->query("SELECT total FROM publisher_totals");
    return q.step() ? q.int64(0) : -1;
  }

  fs::path session_, tool_;
};

TEST_F(HeadlessEndToEnd, PairStreamReconcileRestartRevokeAndDisconnect) {
  startServer("alice");
  launch();
  post([this] { app_->manager().connect(); });
  ASSERT_TRUE(drive([this] { return state().status.is(ConnectionStatus::Kind::connected); })) << *state().lastError;
  EXPECT_EQ(state().login, "alice");
  EXPECT_EQ(app_->defaults().string("login"), "alice");

  // Usage appended by an agent is streamed and the service records exactly the displayed total.
  drive([this] { return state().lastReconciled.has_value() && state().oracleSequence.has_value(); });
  const int64_t reconciled = state().tokens;
  EXPECT_GT(reconciled, 0);
  appendMessage(5000);
  ASSERT_TRUE(drive([&] { return state().tokens >= reconciled + 5000; }));
  const WallTime heartbeat = clock_.now() + std::chrono::seconds(16);
  drive([&] { return clock_.now() >= heartbeat; });
  EXPECT_EQ(serverTotal(), state().tokens);
  EXPECT_EQ(state().publicTokens(), state().tokens);

  // A restart starts from the cache and unlocks the stored token without asking; the total
  // never goes down.
  const int64_t before = state().tokens;
  app_.reset();
  launch();
  post([this] { app_->manager().start(); });
  EXPECT_EQ(state().tokens, 0);  // not started yet
  ASSERT_TRUE(drive([this] { return state().status.is(ConnectionStatus::Kind::connected); }));
  EXPECT_GE(state().tokens, before);
  drive([&] { return state().lastReconciled.has_value(); });
  EXPECT_GE(state().tokens, before);
  EXPECT_GE(serverTotal(), before);

  // The owner revokes the device on the data settings page.
  const std::vector<std::pair<std::string, std::string>> form = {
      {"Content-Type", "application/x-www-form-urlencoded"}};
  ASSERT_EQ(request("POST", "/connect/revoke", "handle=alice&secret=" + aliceSecret_ + "&device=1", form).status, 200);
  appendMessage(10);
  ASSERT_TRUE(drive([this] { return state().credentialMissing; }));
  EXPECT_EQ(state().lastError, "This computer's pairing was revoked on Quorvin. Pair again to resume streaming.");
  EXPECT_FALSE(app_->defaults().contains("login"));

  // Disconnect finishes the clean-up: token, cache and Cursor history gone.
  post([this] { app_->manager().disconnect(); });
  ASSERT_TRUE(drive([this] { return state().isDisconnecting; }));
  ASSERT_TRUE(drive([this] { return !state().disconnectCleanupPending && !state().isDisconnecting; }));
  EXPECT_FALSE(app_->defaults().contains("cached_tokens_total"));
  EXPECT_FALSE(app_->defaults().contains("disconnect_requested"));
  EXPECT_EQ(app_->credentials().store().probeDeviceToken(), TokenProbe::missing());
}

// Checkpoints ride on uploads: one at the first upload, then one every 300 s; a failed one
// is tried again 30 s later (at the first upload from then on, and uploads come every 15 s).
TEST_F(HeadlessEndToEnd, CheckpointEvery300SecondsAndRetryAfter30) {
  startServer("alice");
  // The signing key cannot be read at first (a folder where the key file belongs).
  const fs::path key = dir_ / "share" / "quorvin" / "oracle-ed25519.key";
  fs::create_directories(key);
  launch();
  post([this] { app_->manager().connect(); });
  ASSERT_TRUE(drive([this] { return state().oracleError.has_value(); }));
  const WallTime failedAt = clock_.now();
  EXPECT_FALSE(state().oracleSequence);
  fs::remove(key);

  ASSERT_TRUE(drive([this] { return state().lastOracleCommit.has_value(); }));
  const WallTime first = *state().lastOracleCommit;
  EXPECT_GE(first - failedAt, std::chrono::seconds(30));
  EXPECT_LT(first - failedAt, std::chrono::seconds(45));
  EXPECT_FALSE(state().oracleError);

  std::vector<WallTime> commits{first};
  while (commits.size() < 3) {
    ASSERT_TRUE(drive([&] { return state().lastOracleCommit != commits.back(); }));
    commits.push_back(*state().lastOracleCommit);
  }
  for (size_t i = 1; i < commits.size(); ++i) {
    EXPECT_GE(commits[i] - commits[i - 1], std::chrono::seconds(300));
    EXPECT_LT(commits[i] - commits[i - 1], std::chrono::seconds(315));
  }
  EXPECT_EQ(state().oracleSequence, 2);  // 0, 1, 2: nothing committed twice
}

TEST(HeadlessLog, OneLinePerStateChangeAndNothingPerTick) {
  ConnectionState a;
  a.login = "alice";
  a.status = ConnectionStatus::connected();
  EXPECT_EQ(stateChangeLogLines(nullptr, a), std::vector<std::string>{"Quorvin connected as alice"});
  ConnectionState ticked = a;
  ticked.tokens = 99;  // a streaming tick
  ticked.recentTicks.push_back(UsagePoint{});
  EXPECT_TRUE(stateChangeLogLines(&a, ticked).empty());
  ConnectionState failed = ticked;
  failed.lastError = "Quorvin request failed (HTTP 500)";
  EXPECT_EQ(stateChangeLogLines(&ticked, failed),
            std::vector<std::string>{"Quorvin: Quorvin request failed (HTTP 500)"});
  EXPECT_TRUE(stateChangeLogLines(&failed, failed).empty());  // the same failure again: silent
  ConnectionState reconciled = failed;
  reconciled.lastReconciled = WallTime{};
  reconciled.cost = 1.5;
  EXPECT_EQ(stateChangeLogLines(&failed, reconciled),
            std::vector<std::string>{"Quorvin reconciled: 99 tokens, $1.50"});
  ConnectionState revoked = reconciled;
  revoked.status = ConnectionStatus::disconnected();
  EXPECT_EQ(stateChangeLogLines(&reconciled, revoked), std::vector<std::string>{"Quorvin disconnected"});
}

}  // namespace
}  // namespace quorvin
