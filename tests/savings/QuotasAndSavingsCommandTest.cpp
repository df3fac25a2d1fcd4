// `quorvin quotas` and `quorvin savings` as a user runs them, over a generated home.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "savings/SavingsTestKit.h"
#include "support/LoopbackHttpServer.h"
#include "support/ProgramRun.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

class QuotasAndSavingsCommand : public ::testing::Test {
 protected:
  QuotasAndSavingsCommand() {
    // ccusage cannot run here (bunx comes first on its PATH and fails); a tokens ledger gives the model mix.
    files_.program(files_.home / ".bun/bin/bunx", "exit 127\n");
    test::writeFile(files_.home / ".quorvin/tokens.json",
                    R"({"totals":{"totalTokens":1500000,"totalCost":3,"inputTokens":1000000,"outputTokens":500000},
                        "monthly":[{"metadata":{"agents":["claude"]},"modelBreakdowns":[
                          {"modelName":"claude-sonnet-4-5","inputTokens":1000000,"outputTokens":500000,"cost":3}]}]})");
  }

  // What the command printed, without the one-time note of a machine with no Secret Service
  // (every command builds the application's services, the credential store among them).
  test::ProgramRun quorvin(const std::string& arguments) {
    auto run = quorvinRaw(arguments);
    const std::string note =
        "Quorvin found no Secret Service on the session bus and keeps the pairing token in a private file\n";
    if (const auto at = run.output.find(note); at != std::string::npos) run.output.erase(at, note.size());
    return run;
  }
  test::ProgramRun quorvinRaw(const std::string& arguments) {
    return test::runProgram("env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u CLAUDE_CONFIG_DIR HOME='" + files_.home.string() +
                            "' TMPDIR='" + files_.temporary.string() + "' QUORVIN_CA_FILE='" +
                            certificates_.caFile().string() + "' QUORVIN_CODEX_BASE_URL='" + server_.baseUrl() +
                            "' QUORVIN_GROK_BASE_URL='" + server_.baseUrl() + "' " QUORVIN_BINARY_DIR "/src/app/quorvin " +
                            arguments);
  }

  test::SavingsHome files_;
  test::TestCertificates certificates_;
  test::LoopbackHttpServer server_{certificates_};
};

TEST_F(QuotasAndSavingsCommand, QuotasShowEachProvider) {
  test::writeFile(files_.home / ".codex/auth.json", R"({"tokens":{"access_token":"t"}})");
  server_.route("GET", "/backend-api/wham/usage", [](const test::TestHttpRequest&) {
    return test::TestHttpReply{
        200, {}, R"({"rate_limit":{"primary_window":{"used_percent":42.5,"limit_window_seconds":18000,"reset_after_seconds":7260}}})"};
  });

  const auto json = quorvin("quotas --json");
  ASSERT_EQ(json.status, 0) << json.output;
  const auto quotas = boost::json::parse(json.output).at("quotas").as_array();
  ASSERT_EQ(quotas.size(), 2u);
  EXPECT_EQ(quotas[0].at("provider"), "codex");
  EXPECT_EQ(quotas[0].at("availability"), "available");
  EXPECT_EQ(quotas[0].at("windows").at(0).at("label"), "5H");
  EXPECT_EQ(quotas[0].at("windows").at(0).at("resetText"), "reset 2h");
  EXPECT_EQ(quotas[1].at("provider"), "grokBuild");
  EXPECT_EQ(quotas[1].at("availability"), "unavailable");

  const auto text = quorvin("quotas");
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.output.find("Codex       USED\n  5H      43%   reset 2h\n"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("Grok Build  OFFLINE\n  Sign in with the CLI\n"), std::string::npos) << text.output;
}

TEST_F(QuotasAndSavingsCommand, SavingsReportEnableAndDisable) {
  const auto missing = quorvin("savings");
  ASSERT_EQ(missing.status, 0) << missing.output;
  EXPECT_NE(missing.output.find("RTK                   not installed"), std::string::npos) << missing.output;
  // Before RTK: 10% of the ledger's million fresh input tokens at 3 dollars per million.
  EXPECT_NE(missing.output.find("$0.30 for 100,000 tokens"), std::string::npos) << missing.output;

  files_.rtk();
  const auto enabled = quorvin("savings enable");
  EXPECT_EQ(enabled.status, 0) << enabled.output;
  EXPECT_EQ(enabled.output, "RTK is ready. Restart your coding agents to apply it.\n");
  EXPECT_NE(files_.calls().find("rtk init -g --codex --no-trust-filters"), std::string::npos);

  const auto json = quorvin("savings --json");
  ASSERT_EQ(json.status, 0) << json.output;
  const auto report = boost::json::parse(json.output);
  EXPECT_EQ(report.at("snapshot").at("installed"), true);
  EXPECT_EQ(report.at("snapshot").at("version"), "0.9.1");
  EXPECT_EQ(report.at("projection").at("tokens"), 7500);
  EXPECT_EQ(report.at("projection").at("measured"), true);

  const auto disabled = quorvin("savings disable");
  EXPECT_EQ(disabled.status, 0) << disabled.output;
  EXPECT_EQ(disabled.output, "RTK agent integrations were removed. Savings history remains local.\n");

  files_.program(files_.home / ".local/bin/rtk", "echo 'permission denied: ~/.codex' >&2\nexit 1\n");
  const auto failed = quorvin("savings disable");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.output, "RTK setup did not finish. Codex \u2014 permission denied: ~/.codex\n");
  EXPECT_TRUE(files_.temporaryEmpty());
}

}  // namespace
}  // namespace quorvin
