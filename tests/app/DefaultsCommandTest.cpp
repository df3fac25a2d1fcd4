// `quorvin defaults`, run as the user runs it: the real program against a private config folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FileUserDefaults.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "support/Coroutines.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

class DefaultsCommandTest : public ::testing::Test {
 protected:
  // `prefix` runs before the program (a shell wrapper that sets limits).
  ProcessResult quorvin(std::vector<std::string> arguments, std::vector<std::string> prefix = {}) {
    arguments.insert(arguments.begin(), std::string(QUORVIN_BINARY_DIR) + "/src/app/quorvin");
    arguments.insert(arguments.begin(), prefix.begin(), prefix.end());
    return test::awaitOnModel(
        runtime, runner.run({.argv = arguments, .environment = {{"XDG_CONFIG_HOME", config.string()}}}));
  }

  test::TempFolder folder{"quorvin-cli"};
  fs::path config = folder.path();
  Runtime runtime{1};
  SystemClock clock;
  ProcessRunner runner{clock, runtime};
};

TEST_F(DefaultsCommandTest, WriteGuessesTheTypeUnlessToldAndReadDeleteFollow) {
  for (auto args : std::vector<std::vector<std::string>>{{"defaults", "write", "flag", "true"},
                                                         {"defaults", "write", "count", "-42"},
                                                         {"defaults", "write", "ratio", "0.25"},
                                                         {"defaults", "write", "name", "Ada Lovelace"},
                                                         {"defaults", "write", "code", "007", "--string"},
                                                         {"defaults", "write", "big", "9223372036854775808"}}) {
    auto result = quorvin(args);
    EXPECT_TRUE(result.succeeded()) << args[2] << ": " << result.standardError;
  }
  FileUserDefaults stored(config / "quorvin" / "defaults.json");
  EXPECT_EQ(stored.boolean("flag"), true);
  EXPECT_EQ(stored.integer("count"), -42);
  EXPECT_EQ(stored.number("ratio"), 0.25);
  EXPECT_EQ(stored.string("name"), "Ada Lovelace");
  EXPECT_EQ(stored.string("code"), "007");
  EXPECT_EQ(stored.number("big"), 9223372036854775808.0);  // past int64: a double

  EXPECT_EQ(quorvin({"defaults", "read", "name"}).standardOutput, "Ada Lovelace\n");
  EXPECT_EQ(quorvin({"defaults", "read", "ratio"}).standardOutput, "0.25\n");
  EXPECT_EQ(quorvin({"defaults", "read", "flag"}).standardOutput, "true\n");

  auto refused = quorvin({"defaults", "write", "count", "many", "--int"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(quorvin({"defaults", "read", "count"}).standardOutput, "-42\n");  // unchanged
  EXPECT_NE(quorvin({"defaults", "write", "x", "1", "--int", "--bool"}).exitCode, 0);

  EXPECT_TRUE(quorvin({"defaults", "delete", "name"}).succeeded());
  auto missing = quorvin({"defaults", "read", "name"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.standardError, "The key name does not exist\n");
  EXPECT_EQ(quorvin({"defaults", "delete", "name"}).exitCode, 1);
}

TEST_F(DefaultsCommandTest, WhatCannotBeStoredIsRefusedWithTheReason) {
  // Bytes that are not UTF-8 would spoil the JSON file and lose every setting.
  auto name = quorvin({"defaults", "write", "caf\xe9", "1"});
  EXPECT_EQ(name.exitCode, 1);
  EXPECT_NE(name.standardError.find("name is not valid UTF-8"), std::string::npos) << name.standardError;
  auto value = quorvin({"defaults", "write", "tokensLedgerPath", "/home/Jos\xe9/tokens.json"});
  EXPECT_EQ(value.exitCode, 1);
  EXPECT_NE(value.standardError.find("value is not valid UTF-8"), std::string::npos) << value.standardError;
  EXPECT_FALSE(fs::exists(config / "quorvin" / "defaults.json"));

  // A save that fails (here: no file may grow past 0 bytes) is a failure, with its reason.
  ASSERT_TRUE(quorvin({"defaults", "write", "kept", "1"}).succeeded());
  const std::vector<std::string> noRoom = {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\""};
  for (auto args : std::vector<std::vector<std::string>>{{"defaults", "write", "more", "2"}, {"defaults", "delete", "kept"}}) {
    auto failed = quorvin(args, noRoom);
    EXPECT_EQ(failed.exitCode, 1) << args[1];
    EXPECT_NE(failed.standardError.find("could not be saved"), std::string::npos) << failed.standardError;
  }
  EXPECT_EQ(quorvin({"defaults", "read", "kept"}).standardOutput, "1\n");
  EXPECT_EQ(quorvin({"defaults", "read", "more"}).exitCode, 1);
}

TEST_F(DefaultsCommandTest, AFileThatCannotBeReadIsReportedAndLeftAlone) {
  fs::create_directories(config / "quorvin" / "defaults.json" / "inside");
  for (auto args : std::vector<std::vector<std::string>>{
           {"defaults", "read"}, {"defaults", "write", "a", "1"}, {"defaults", "delete", "a"}}) {
    auto result = quorvin(args);
    EXPECT_EQ(result.exitCode, 1) << args[1];
    EXPECT_NE(result.standardError.find("cannot be read (not a regular file)"), std::string::npos)
        << result.standardError;
  }
  EXPECT_TRUE(fs::is_directory(config / "quorvin" / "defaults.json" / "inside"));
  EXPECT_EQ(std::distance(fs::directory_iterator(config / "quorvin"), fs::directory_iterator()), 1);
}

TEST_F(DefaultsCommandTest, OutputIsSafeForATerminalAndNumbersArePlain) {
  ASSERT_TRUE(quorvin({"defaults", "write", "title", "\x1b]0;owned\x07 ok", "--string"}).succeeded());
  ASSERT_TRUE(quorvin({"defaults", "write", "ratio", "2.5"}).succeeded());
  ASSERT_TRUE(quorvin({"defaults", "write", "whole", "3", "--float"}).succeeded());
  EXPECT_EQ(quorvin({"defaults", "read", "title"}).standardOutput, "\\x1b]0;owned\\x07 ok\n");
  EXPECT_EQ(quorvin({"defaults", "read", "whole"}).standardOutput, "3.0\n");
  auto missing = quorvin({"defaults", "read", "no\x1b[2J"});
  EXPECT_EQ(missing.standardError, "The key no\\x1b[2J does not exist\n");
  EXPECT_EQ(quorvin({"defaults", "read"}).standardOutput,
            "{\"title\":\"\\u001b]0;owned\\u0007 ok\",\"ratio\":2.5,\"whole\":3.0}\n");
}

}  // namespace
}  // namespace quorvin
