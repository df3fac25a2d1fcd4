// `quorvin totals` as a user runs it, over a home where ccusage cannot run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>

#include "support/ProgramRun.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using test::ProgramRun;

// The program with HOME pointing at `home` and no XDG folders of the real user.
// `environment` adds NAME='value' words.
ProgramRun quorvin(const std::filesystem::path& home, const std::string& arguments, const std::string& environment = "") {
  return test::runProgram("env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u CLAUDE_CONFIG_DIR HOME='" + home.string() + "' " +
                          environment + " " QUORVIN_BINARY_DIR "/src/app/quorvin " + arguments);
}

class TotalsCommand : public ::testing::Test {
 protected:
  TotalsCommand() {
    // bunx comes first on the script's PATH; this one fails as a broken tool would.
    const auto bunx = home() / ".bun/bin/bunx";
    test::writeFile(bunx, "#!/bin/sh\nexit 127\n");
    ::chmod(bunx.c_str(), 0755);
  }
  std::filesystem::path home() const { return dir_.path(); }
  test::TempFolder dir_;
};

TEST_F(TotalsCommand, LedgerAnswersWhenTheToolCannotRun) {
  test::writeFile(home() / ".quorvin/tokens.json",
                  R"({"totals":{"totalTokens":1500,"totalCost":3.25,"inputTokens":1000,"outputTokens":500},
                      "monthly":[{"metadata":{"agents":["claude"]},"modelBreakdowns":[
                        {"modelName":"claude-sonnet-4-5","inputTokens":1000,"outputTokens":500,"cost":3.25}]}],
                      "corrections":{"accountingRevision":"2026-01"}})");
  const ProgramRun json = quorvin(home(), "totals --json");
  ASSERT_EQ(json.status, 0) << json.output;
  const auto totals = boost::json::parse(json.output).as_object();
  EXPECT_EQ(totals.at("total").as_int64(), 1500);
  EXPECT_EQ(totals.at("cost").as_double(), 3.25);
  EXPECT_EQ(totals.at("input").as_int64(), 1000);
  EXPECT_TRUE(totals.at("cacheRead").is_null());
  EXPECT_EQ(totals.at("models").as_array().at(0).at("name").as_string(), "claude-sonnet-4-5");
  EXPECT_EQ(totals.at("agents").as_array().at(0).at("name").as_string(), "claude");
  EXPECT_EQ(totals.at("accountingRevision").as_string(), "2026-01");
  EXPECT_TRUE(totals.at("liveTotal").is_null());

  const ProgramRun table = quorvin(home(), "totals");
  ASSERT_EQ(table.status, 0);
  EXPECT_NE(table.output.find("Total tokens          1,500"), std::string::npos) << table.output;
  EXPECT_NE(table.output.find("Accounting revision   2026-01"), std::string::npos) << table.output;
}

TEST_F(TotalsCommand, ABadTemporaryFolderLeavesTheLedgerToAnswer) {
  test::writeFile(home() / ".quorvin/tokens.json", R"({"totals":{"totalTokens":42}})");
  test::writeFile(home() / "not-a-folder", "x");
  const ProgramRun run = quorvin(home(), "totals --json", "TMPDIR='" + (home() / "not-a-folder").string() + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(boost::json::parse(run.output).as_object().at("total").as_int64(), 42);
}

TEST_F(TotalsCommand, NamesAreEscapedForTheTerminalAndCostsArePlainDecimals) {
  test::writeFile(home() / ".quorvin/tokens.json",
                  R"({"totals":{"totalTokens":10,"totalCost":2},
                      "monthly":[{"modelBreakdowns":[{"modelName":"m\u001b]0;owned\u0007","inputTokens":10,"cost":2.5}]}],
                      "agents":{"c\u001b[2Jx":{"totals":{"totalTokens":10,"totalCost":0}}}})");
  const ProgramRun table = quorvin(home(), "totals");
  ASSERT_EQ(table.status, 0) << table.output;
  EXPECT_EQ(table.output.find('\x1b'), std::string::npos) << table.output;
  EXPECT_NE(table.output.find("m\\x1b]0;owned\\x07"), std::string::npos) << table.output;
  EXPECT_NE(table.output.find("c\\x1b[2Jx"), std::string::npos) << table.output;

  const ProgramRun json = quorvin(home(), "totals --json");
  ASSERT_EQ(json.status, 0) << json.output;
  EXPECT_NE(json.output.find("\"cost\":2.0,"), std::string::npos) << json.output;
  EXPECT_NE(json.output.find("\"cost\":2.5}"), std::string::npos) << json.output;
  EXPECT_EQ(json.output.find('E'), std::string::npos) << json.output;
}

TEST_F(TotalsCommand, SaysSoWhenNoSourceAnswers) {
  const ProgramRun run = quorvin(home(), "totals --json");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("No usage source answered"), std::string::npos) << run.output;

  // A ledger past the bound is there: say why it did not answer.
  std::string large = R"({"totals":{"totalTokens":1}})";
  large.append(16 * 1024 * 1024, ' ');
  test::writeFile(home() / ".quorvin/tokens.json", large);
  const ProgramRun tooLarge = quorvin(home(), "totals");
  EXPECT_EQ(tooLarge.status, 1);
  EXPECT_NE(tooLarge.output.find("tokens.json is too large to read (over 16 MiB)"), std::string::npos)
      << tooLarge.output;
}

}  // namespace
}  // namespace quorvin
