// A real `quorvin --headless` killed with SIGKILL while it uploads to a real quorvin-server,
// then started again: the service's total never goes down, and once the restarted agent has
// reconciled it is exactly the usage in the agent logs, nothing counted twice.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <boost/json.hpp>
#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/storage/Database.h"
#include "support/ProgramRun.h"
#include "support/TempFolder.h"
#include "support/ServerProcess.h"
#include "wire/Crypto.h"

extern char** environ;

namespace quorvin {
namespace {

namespace fs = std::filesystem;

const std::string kQuorvin = QUORVIN_BINARY_DIR "/src/app/quorvin";
const std::string kServer = QUORVIN_BINARY_DIR "/server/quorvin-server";

std::string quoted(const std::string& word) { return "'" + word + "'"; }

class HeadlessKill : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quorvin-kill-" + crypto::randomHex(6));
    for (const char* folder : {"home", "data", "config", "run", "server"}) fs::create_directories(dir_ / folder);
    fs::permissions(dir_ / "run", fs::perms::owner_all);
    quorvin_ = test::privateCopyOf(kQuorvin, dir_);
    session_ = dir_ / "home" / ".claude" / "projects" / "-work-app" / "session.jsonl";
    fs::create_directories(session_.parent_path());
    // The login shell finds this before npx: ccusage is "not available", the tokens ledger
    // (read from the same logs) decides every reconciliation.
    const fs::path bunx = dir_ / "home" / ".bun" / "bin" / "bunx";
    fs::create_directories(bunx.parent_path());
    std::ofstream(bunx) << "#!/bin/sh\nexit 1\n";
    ::chmod(bunx.c_str(), 0755);

    const auto account = test::runProgram(quoted(kServer) + " --data " + quoted((dir_ / "server" / "data").string()) +
                                          " account add alice");
    ASSERT_EQ(account.status, 0) << account.output;
    server_ = std::make_unique<test::ServerProcess>(
        dir_ / "server", std::vector<std::string>{"--data", (dir_ / "server" / "data").string(), "--auto-approve", "alice"});
    ASSERT_NE(server_->port(), 0);
    environment_ = {"HOME=" + (dir_ / "home").string(), "XDG_DATA_HOME=" + (dir_ / "data").string(),
                    "XDG_CONFIG_HOME=" + (dir_ / "config").string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
                    "QUORVIN_API_URL=" + server_->url(), "PATH=/usr/bin:/bin",
                    // No Secret Service: the token lives in the private file.
                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
  }
  void TearDown() override {
    if (agent_ > 0) stopAgent(SIGKILL);
    server_.reset();
    fs::remove_all(dir_);
  }

  pid_t spawn(const std::vector<std::string>& arguments, const fs::path& output) {
    const pid_t pid = test::spawnProgram(quorvin_, arguments, environment_, output);
    EXPECT_NE(pid, 0);
    return pid;
  }
  int run(const std::vector<std::string>& arguments, std::string* text = nullptr) {
    const fs::path output = dir_ / ("run-" + std::to_string(runs_++) + ".out");
    const pid_t pid = spawn(arguments, output);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (text) *text = test::readFile(output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void startAgent() {
    agentOutput_ = dir_ / ("agent-" + std::to_string(runs_++) + ".out");
    agent_ = spawn({"--headless"}, agentOutput_);
  }
  void stopAgent(int signal) {
    ::kill(agent_, signal);
    int status = 0;
    ::waitpid(agent_, &status, 0);
    agent_ = -1;
  }

  // A Claude Code answer that used `tokens` input tokens, now.
  void appendUsage(int64_t tokens) {
    ++messages_;
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000Z", std::gmtime(&now));
    std::ofstream(session_, std::ios::app)
        << R"({"type":"assistant","timestamp":")" << stamp << R"(","sessionId":"s","requestId":"r)" << messages_
        << R"(","message":{"id":"msg_)" << messages_
        << R"(","type":"message","role":"assistant","model":"claude-sonnet-4-5-20250929","usage":{"input_tokens":)"
        << tokens << R"(,"output_tokens":0,"cache_creation_input_tokens":0,"cache_read_input_tokens":0}}})" << "\n";
    written_ += tokens;
  }

  // The service's stored total; every reading is also checked against the one before.
  int64_t serverTotal() {
    server::Database db(dir_ / "server" / "data" / "quorvin-server.sqlite3");
    auto q = db.query("SELECT total FROM publisher_totals");
    const int64_t total = q.step() ? q.int64(0) : 0;
    EXPECT_GE(total, highest_) << "the published total went down";
    highest_ = std::max(highest_, total);
    return total;
  }
  std::optional<boost::json::object> status() {
    std::string text;
    if (run({"status", "--json"}, &text) != 0) return std::nullopt;
    auto parsed = boost::json::parse(text);
    return parsed.as_object();
  }
  // Polls until `done` (bounded by the test's time limit, not by a timed assertion).
  template <typename Done>
  static void waitUntil(Done done) {
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  fs::path dir_, session_, agentOutput_;
  std::string quorvin_;
  std::unique_ptr<test::ServerProcess> server_;
  std::vector<std::string> environment_;
  pid_t agent_ = -1;
  int runs_ = 0;
  int messages_ = 0;
  int64_t written_ = 0;
  int64_t highest_ = 0;
};

TEST_F(HeadlessKill, KilledDuringUploadsAndRestartedCountsEverythingOnce) {
  std::string paired;
  ASSERT_EQ(run({"pair"}, &paired), 0) << paired;

  appendUsage(1000);
  startAgent();
  waitUntil([&] { return serverTotal() == written_; });  // reconciled and uploaded

  // Usage keeps arriving while uploads run; the agent dies in the middle of it.
  for (int i = 0; i < 40; ++i) {
    appendUsage(100 + i);
    std::this_thread::sleep_for(std::chrono::milliseconds(75));
    serverTotal();
    if (i == 25) stopAgent(SIGKILL);
  }
  const int64_t atKill = serverTotal();
  EXPECT_GT(atKill, 1000) << "uploads were running when the agent died";

  // Restarted, it reconciles against the logs; the service ends on exactly what was used.
  startAgent();
  waitUntil([&] { return test::readFile(agentOutput_).find("Quorvin reconciled:") != std::string::npos; });
  waitUntil([&] {
    auto report = status();
    return report && report->at("status").as_string() == "connected" &&
           report->at("publicTokens").as_int64() == serverTotal() && serverTotal() >= written_;
  });
  EXPECT_EQ(serverTotal(), written_) << test::readFile(agentOutput_);

  // New usage after the restart is counted once more, not on top of anything replayed.
  appendUsage(5000);
  waitUntil([&] { return serverTotal() >= written_; });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a second tick and its upload
  EXPECT_EQ(serverTotal(), written_);
  stopAgent(SIGTERM);
}

}  // namespace
}  // namespace quorvin
