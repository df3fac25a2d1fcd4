// kill -9 at any moment of a save leaves the old or the new settings file, never a torn one.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <filesystem>
#include <random>
#include <thread>

#include "core/Log.h"
#include "platform/FileUserDefaults.h"
#include "support/TempFolder.h"

extern char** environ;

namespace quorvin {
namespace {

namespace fs = std::filesystem;

TEST(DefaultsKillTest, KilledWriterLeavesACompleteFile) {
  test::TempFolder root("quorvin-kill");
  const fs::path file = root / "quorvin" / "defaults.json";
  const std::string writer = std::string(QUORVIN_BINARY_DIR) + "/tests/platform/defaults_writer";
  std::mt19937 random(12345);
  int64_t lastRound = 0;
  int progressed = 0;

  for (int attempt = 0; attempt < 40; ++attempt) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    std::string target = file.string();
    char* argv[] = {const_cast<char*>(writer.c_str()), target.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, writer.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    char buffer[8];
    ASSERT_GT(read(ready[0], buffer, sizeof buffer), 0);  // it has saved once
    close(ready[0]);
    // Let it run through a varying part of its next saves, then kill it mid-stride.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    // Raw check of the bytes first, then through the store (which must not set it aside).
    const std::string bytes = test::readFile(file);
    boost::system::error_code ec;
    auto parsed = boost::json::parse(bytes, ec);
    ASSERT_FALSE(ec) << "attempt " << attempt << ": torn file of " << bytes.size() << " bytes";
    const auto& object = parsed.as_object();
    const int64_t round = object.at("round").as_int64();
    const std::string payload(object.at("payload").as_string());
    EXPECT_EQ(payload, std::string(static_cast<size_t>(20000 + round % 50000), static_cast<char>('a' + round % 26)));
    EXPECT_GE(round, lastRound + 1);
    if (round > lastRound + 1) ++progressed;
    lastRound = round;

    std::vector<std::string> lines;
    ScopedLogCapture capture([&](std::string_view line) { lines.emplace_back(line); });
    FileUserDefaults reopened(file);
    EXPECT_EQ(reopened.integer("round"), round);
    EXPECT_TRUE(lines.empty());
  }
  // The kills landed at different points of the writing loop, not all right after "ready".
  EXPECT_GT(progressed, 10);
}

}  // namespace
}  // namespace quorvin
