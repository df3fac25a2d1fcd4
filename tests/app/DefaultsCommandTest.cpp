// `quorvin defaults`, run as the user runs it: the real program against a private config folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FileUserDefaults.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "platform/Task.h"

namespace quorvin {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;

asio::awaitable<void> runInto(ProcessRunner* runner, ProcessRequest request, ProcessResult* out) {
  *out = co_await runner->run(std::move(request));
}

class DefaultsCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvin-cli-XXXXXX";
    config = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(config); }

  ProcessResult quorvin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), std::string(QUORVIN_BINARY_DIR) + "/src/app/quorvin");
    ProcessResult result;
    Task task = Task::start(runtime.model(),
                            runInto(&runner, {.argv = arguments, .environment = {{"XDG_CONFIG_HOME", config.string()}}},
                                    &result));
    auto& io = runtime.modelContext();
    auto guard = asio::make_work_guard(io);
    io.restart();
    while (!task.ended()) io.run_one();
    return result;
  }

  fs::path config;
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

}  // namespace
}  // namespace quorvin
