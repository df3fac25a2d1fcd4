// Two real `quorvin --headless` copies of one user, and `quorvin status` against the survivor.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/ProgramRun.h"
#include "support/TempFolder.h"

extern char** environ;

namespace {

using quorvin::test::TempFolder;

const std::string kQuorvin = QUORVIN_BINARY_DIR "/src/app/quorvin";

class InstanceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"home", "data", "config", "run"}) std::filesystem::create_directories(dir_ / folder);
    std::filesystem::permissions(dir_ / "run", std::filesystem::perms::owner_all);
    quorvin_ = quorvin::test::privateCopyOf(kQuorvin, dir_.path());
    environment_ = {"HOME=" + (dir_ / "home").string(), "XDG_DATA_HOME=" + (dir_ / "data").string(),
                    "XDG_CONFIG_HOME=" + (dir_ / "config").string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
                    // Nothing listens there: the copies stay unpaired and offline.
                    "QUORVIN_API_URL=https://127.0.0.1:9", "PATH=/usr/bin:/bin",
                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
  }

  pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& output) {
    const pid_t pid = quorvin::test::spawnProgram(quorvin_, arguments, environment_, output);
    EXPECT_NE(pid, 0);
    return pid;
  }

  // Runs to the end; the exit code and what it printed.
  std::pair<int, std::string> run(const std::vector<std::string>& arguments) {
    const auto output = dir_ / ("run-" + std::to_string(runs_++) + ".out");
    const pid_t pid = spawn(arguments, output);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(output)};
  }

  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Polls until `done` (bounded by the test's time limit, not by a timed assertion).
  template <typename Done>
  static void waitUntil(Done done) {
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  TempFolder dir_;
  std::string quorvin_;
  std::vector<std::string> environment_;
  int runs_ = 0;
};

TEST_F(InstanceProcessTest, OneOfTwoCopiesSurvivesAndAnswersStatus) {
  auto [noneCode, noneText] = run({"status"});
  EXPECT_EQ(noneCode, 3);
  EXPECT_NE(noneText.find("Quorvin is not running"), std::string::npos);

  const pid_t first = spawn({"--headless"}, dir_ / "first.out");
  const pid_t second = spawn({"--headless"}, dir_ / "second.out");
  // Exactly one gives way: wait for whichever ends.
  int status = 0;
  const pid_t ended = ::waitpid(-1, &status, 0);
  ASSERT_TRUE(ended == first || ended == second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const pid_t survivor = ended == first ? second : first;
  const auto survivorLog = dir_ / (survivor == first ? "first.out" : "second.out");
  EXPECT_EQ(::waitpid(survivor, &status, WNOHANG), 0);

  waitUntil([&] { return std::filesystem::exists(dir_ / "run/quorvin/peer.sock"); });
  EXPECT_EQ(read(dir_ / "data/quorvin/streamer.lock"), std::to_string(survivor) + "\n");

  // A third launch while the survivor listens: its message reaches the survivor.
  auto [thirdCode, thirdText] = run({"--headless"});
  EXPECT_EQ(thirdCode, 0);
  EXPECT_NE(thirdText.find("an earlier instance is already running"), std::string::npos) << thirdText;
  waitUntil([&] { return read(survivorLog).find("already running without windows") != std::string::npos; });

  auto [jsonCode, jsonText] = run({"status", "--json"});
  ASSERT_EQ(jsonCode, 0) << jsonText;
  const auto report = boost::json::parse(jsonText).as_object();
  EXPECT_EQ(report.at("status").as_string(), "disconnected");
  EXPECT_EQ(report.at("headless").as_bool(), true);
  EXPECT_EQ(report.at("tooltip").as_string(), "Quorvin \u00b7 pair this computer");

  auto [waybarCode, waybarText] = run({"status", "--waybar"});
  EXPECT_EQ(waybarCode, 0);
  EXPECT_EQ(boost::json::parse(waybarText).as_object().at("class").as_string(), "disconnected");

  ::kill(survivor, SIGTERM);
  ::waitpid(survivor, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run/quorvin/peer.sock"));
  EXPECT_EQ(run({"status"}).first, 3);
}

}  // namespace
