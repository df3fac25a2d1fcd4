// `quorvin usage` as a user runs it: a real child process over a temporary home.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <cstdio>

#include "usage/OracleHarness.h"
#include "support/TempFolder.h"

extern char** environ;

namespace quorvin {
namespace {

class UsageProcess {
 public:
  UsageProcess(const std::filesystem::path& home, std::vector<std::string> extra) {
    std::string binary = std::string(QUORVIN_BINARY_DIR) + "/src/app/quorvin";
    std::vector<std::string> args{binary, "usage", "--home", home.string(), "--interval", "0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    EXPECT_EQ(posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output_ = ::fdopen(out[0], "r");
  }
  ~UsageProcess() {
    if (pid_ > 0) stop(SIGKILL);
    if (output_) std::fclose(output_);
  }

  std::optional<std::string> nextLine() {
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length = ::getline(&line, &capacity, output_);
    std::optional<std::string> result;
    if (length > 0) result = std::string(line, size_t(length));
    std::free(line);
    return result;
  }

  // The exit status after `signal`, or -1 when it died of a signal.
  int stop(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

TEST(UsageCommand, PrintsOneJsonSnapshotPerIntervalAndExitsCleanlyOnSignals) {
  for (int signal : {SIGTERM, SIGINT}) {
    test::TempFolder home;
    std::filesystem::create_directories(home / ".claude/projects/p");
    UsageProcess usage(home.path(), {"--json"});
    auto first = usage.nextLine();
    ASSERT_TRUE(first);
    EXPECT_EQ(boost::json::parse(*first).at("counters").at("input").as_int64(), 0);

    test::writeFile(home / ".claude/projects/p/s.jsonl",
                    test::claudeLine("m1", 1000, 100, std::chrono::system_clock::now(), "claude-opus-4-1"));
    boost::json::value last;
    for (int i = 0; i < 200; ++i) {
      auto line = usage.nextLine();
      ASSERT_TRUE(line);
      last = boost::json::parse(*line);
      if (last.at("counters").at("input").as_int64() == 1000) break;
    }
    EXPECT_EQ(last.at("counters").at("output").as_int64(), 100);
    EXPECT_EQ(last.at("sources"), boost::json::array{"claude"});
    EXPECT_EQ(last.at("models"), boost::json::array{"claude-opus-4-1"});
    EXPECT_EQ(last.at("sourceTotals").at("claude").as_int64(), 1100);
    EXPECT_DOUBLE_EQ(last.at("sourceCosts").at("claude").as_double(), (1000 * 15 + 100 * 75) / 1e6);
    EXPECT_EQ(usage.stop(signal), 0);
  }
}

}  // namespace
}  // namespace quorvin
