// The real ccusage, fetched through npx as the login-shell script does, over a generated
// home whose true totals are known. Needs the npm registry; skipped without it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "sources/CcusageCommand.h"
#include "sources/Ccusage.h"
#include "sources/ClaudeHomeGenerator.h"
#include "support/Coroutines.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;

class CcusageRealTool : public ::testing::Test {
 protected:
  template <class T>
  T await(boost::asio::awaitable<T> operation) {
    return test::awaitOnModel(runtime_, std::move(operation));
  }

  test::TempFolder dir_;
  SystemClock clock_;
  Runtime runtime_{2};
  ProcessRunner runner_{clock_, runtime_};
};

TEST_F(CcusageRealTool, TotalsMatchTheGeneratedLogs) {
  const auto home = dir_.path() / "home";
  const UsageCounters truth = test::generateClaudeHome(home, 12, 40, 20251101);

  // The user's npm cache keeps the run short after the first download.
  const char* realHome = std::getenv("HOME");
  const std::string npmCache = realHome ? std::string(realHome) + "/.npm" : (dir_.path() / "npm").string();
  std::vector<std::pair<std::string, std::optional<std::string>>> env = {
      {"HOME", home.string()},        {"npm_config_cache", npmCache}, {"npm_config_update_notifier", "false"},
      {"CLAUDE_CONFIG_DIR", std::nullopt}, {"XDG_CONFIG_HOME", std::nullopt}, {"CODEX_HOME", std::nullopt}};

  ProcessRequest probe;
  probe.argv = {"npm", "view", "ccusage@" + std::string(CcusageCommand::kVersion), "version"};
  probe.environment = env;
  // One quick try: an unreachable registry should skip the test soon, not after npm's retries.
  probe.environment.emplace_back("npm_config_fetch_retries", "0");
  probe.environment.emplace_back("npm_config_fetch_timeout", "10000");
  probe.standardError = ProcessOutput::discarded();
  probe.timeLimit = Duration(30'000);
  const ProcessResult reachable = await(runner_.run(probe));
  if (!reachable.succeeded() || reachable.standardOutput.find(CcusageCommand::kVersion) == std::string::npos) {
    GTEST_SKIP() << "the npm registry cannot be reached (npm view ccusage@" << CcusageCommand::kVersion
                 << " failed), so the real ccusage cannot be fetched";
  }

  Ccusage::Environment environment;
  environment.home = home;
  environment.loginShell = "/bin/sh";
  environment.temporaryDirectory = dir_.path();
  environment.processEnvironment = env;
  const auto totals = await(Ccusage::runTotals(runner_, runtime_.pool(), environment));
  ASSERT_TRUE(totals) << "ccusage gave no totals";
  EXPECT_EQ(totals->total, truth.total());
  EXPECT_EQ((UsageCounters{totals->input.value_or(-1), totals->output.value_or(-1), totals->cacheRead.value_or(-1),
                           totals->cacheWrite.value_or(-1)}),
            truth);
  EXPECT_GT(totals->cost, 0);
  EXPECT_EQ(totals->models.size(), 3u);
  EXPECT_EQ(totals->agents, (std::vector<API::AgentRow>{{"claude", 0, 0}}));
}

}  // namespace
}  // namespace quorvin
