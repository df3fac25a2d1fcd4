#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "sources/Ccusage.h"
#include "support/Coroutines.h"
#include "support/ProcessEnds.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kToolOutput =
    R"({"daily":[{"metadata":{"agents":["claude"]},"modelBreakdowns":[{"modelName":"sonnet","inputTokens":60,"cost":1}]}],)"
    R"("totals":{"inputTokens":60,"outputTokens":40,"cacheReadTokens":0,"cacheCreationTokens":0,"totalTokens":100,"totalCost":2.5}})";

// A fake ccusage placed where the installed program keeps its bundled copy.
class CcusageRunTest : public ::testing::Test {
 protected:
  void installTool(const std::string& body) {
    const auto tool = dir_.path() / "prefix/libexec/quorvin/ccusage";
    test::writeFile(tool, "#!/bin/sh\n" + body);
    ::chmod(tool.c_str(), 0755);
    environment_.bundledTool = tool;
  }


  template <class T>
  T await(boost::asio::awaitable<T> operation) {
    return test::awaitOnModel(runtime_, std::move(operation));
  }

  std::optional<boost::json::object> runJSON(std::vector<std::string> arguments) {
    return await(Ccusage::runJSON(runner_, runtime_.pool(), environment_, std::move(arguments)));
  }
  std::optional<API::Totals> runTotals() { return await(Ccusage::runTotals(runner_, runtime_.pool(), environment_)); }

  // Nothing of the tool's output is left behind in the temporary folder.
  bool outputsLeft() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      if (entry.path().filename().string().starts_with("quorvin-")) return true;
    }
    return false;
  }

  test::TempFolder dir_;
  Ccusage::Environment environment_ = [this] {
    Ccusage::Environment environment;
    environment.home = dir_.path() / "home";
    environment.temporaryDirectory = dir_.path();
    environment.loginShell = "/bin/sh";
    environment.processEnvironment = {{"HOME", (dir_.path() / "home").string()}};
    return environment;
  }();
  SystemClock clock_;
  Runtime runtime_{2};
  ProcessRunner runner_{clock_, runtime_};
};

TEST_F(CcusageRunTest, ArgumentsReachTheBundledToolIntact) {
  installTool("printf '%s\\n' \"$@\" > \"$HOME/../args\"\nprintf '%s' '{\"ok\":true}'\n");
  std::filesystem::create_directories(environment_.home);
  const auto json = runJSON({"it's", "--json", "a \"b\" $c"});
  ASSERT_TRUE(json);
  EXPECT_TRUE(json->at("ok").as_bool());
  EXPECT_EQ(test::readFile(dir_.path() / "args"), "it's\n--json\na \"b\" $c\n");
  EXPECT_FALSE(outputsLeft());
}

TEST_F(CcusageRunTest, LoginShellQuotesArgumentsForTheScript) {
  // No bundled tool: the login shell runs bunx from ~/.bun/bin (first on the script's PATH).
  const auto bunx = environment_.home / ".bun/bin/bunx";
  test::writeFile(bunx, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$HOME/args\"\nprintf '{}'\n");
  ::chmod(bunx.c_str(), 0755);
  ASSERT_TRUE(runJSON({"it's", "--json", "$(touch pwned)"}));
  EXPECT_EQ(test::readFile(environment_.home / "args"), "--bun\nccusage@20.0.24\nit's\n--json\n$(touch pwned)\n");
  EXPECT_FALSE(std::filesystem::exists(environment_.home / "pwned"));
}

TEST_F(CcusageRunTest, FailedOrOddOutputGivesNothing) {
  installTool(std::string("printf '%s' '") + std::string(kToolOutput) + "'\nexit 1\n");
  EXPECT_FALSE(runJSON({"--json"}));
  installTool("printf '[1,2]'\n");
  EXPECT_FALSE(runJSON({"--json"}));
  installTool("printf '{\"totals\":'\n");
  EXPECT_FALSE(runJSON({"--json"}));
  environment_.bundledTool = dir_.path() / "missing/ccusage";
  environment_.loginShell = (dir_.path() / "no-such-shell").string();
  EXPECT_FALSE(runJSON({"--json"}));
  EXPECT_FALSE(outputsLeft());
}

TEST_F(CcusageRunTest, HungToolIsStoppedWithItsProcessGroup) {
  // The tool starts a helper of its own and both hang; the limit stops the whole tree.
  installTool("sleep 600 &\necho $! > \"$HOME/../helper\"\nsleep 600\n");
  std::filesystem::create_directories(environment_.home);
  environment_.timeLimit = Duration(500);
  EXPECT_FALSE(runJSON({"--json"}));
  const pid_t helper = std::stoi(test::readFile(dir_.path() / "helper"));
  EXPECT_TRUE(test::processEndsSoon(helper)) << "the helper was stopped too";
  EXPECT_FALSE(outputsLeft());
}

TEST_F(CcusageRunTest, LedgerAgainstTheTool) {
  installTool(std::string("printf '%s' '") + std::string(kToolOutput) + "'\n");
  const auto ledgerFile = environment_.home / ".quorvin/tokens.json";
  auto totals = runTotals();
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, 100);
  EXPECT_EQ(totals->agents, (std::vector<API::AgentRow>{{"claude", 0, 0}}));

  test::writeFile(ledgerFile, R"({"totals":{"totalTokens":100,"totalCost":9}})");
  EXPECT_EQ(runTotals()->cost, 2.5);  // a tie goes to ccusage
  test::writeFile(ledgerFile, R"({"totals":{"totalTokens":101,"totalCost":9}})");
  totals = runTotals();
  EXPECT_EQ(totals->total, 101);
  EXPECT_EQ(totals->liveTotal, 100);
  EXPECT_EQ(totals->models.at(0).name, "sonnet");  // the ledger has none: the tool's
  test::writeFile(ledgerFile, R"({"totals":{"totalTokens":7},"corrections":{"accountingRevision":"2"}})");
  EXPECT_EQ(runTotals()->total, 7);  // a revision always wins

  // The tool fails: the ledger is still the answer.
  installTool(std::string("printf '%s' '") + std::string(kToolOutput) + "'\nexit 1\n");
  totals = runTotals();
  ASSERT_TRUE(totals);
  EXPECT_EQ(totals->total, 7);
  EXPECT_FALSE(totals->liveTotal);
  std::filesystem::remove(ledgerFile);
  EXPECT_FALSE(runTotals());
}

}  // namespace
}  // namespace quorvin
