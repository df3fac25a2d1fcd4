// Launch at login and the old agent's retirement, in a temporary home with a fake systemctl.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/MemoryUserDefaults.h"
#include "shell/HeadlessAgentManager.h"
#include "shell/LaunchAtLoginPolicy.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using test::TempFolder;

// A systemctl that records its arguments and exits with $FAKE_SYSTEMCTL_STATUS.
class FakeTools : public ::testing::Test {
 protected:
  void SetUp() override {
    oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    test::writeFile(dir_ / "bin/systemctl",
                    "#!/bin/sh\necho \"$*\" >> \"" + (dir_ / "systemctl.calls").string() +
                        "\"\nexit ${FAKE_SYSTEMCTL_STATUS:-0}\n");
    std::filesystem::permissions(dir_ / "bin/systemctl", std::filesystem::perms::owner_all);
    ::setenv("PATH", ((dir_ / "bin").string() + ":" + oldPath_).c_str(), 1);
    paths_.home = dir_ / "home";
    paths_.configHome = dir_ / "config";
    paths_.dataHome = dir_ / "data";
  }
  void TearDown() override {
    ::setenv("PATH", oldPath_.c_str(), 1);
    ::unsetenv("FAKE_SYSTEMCTL_STATUS");
  }
  std::string calls() const { return test::readFile(dir_ / "systemctl.calls"); }
  LaunchAtLoginPolicy policy(const std::filesystem::path& executable) {
    return LaunchAtLoginPolicy({paths_, executable, {paths_.configHome / "systemd/user", dir_ / "system-units"}});
  }

  TempFolder dir_;
  std::string oldPath_;
  Paths paths_;
  MemoryUserDefaults defaults_;
  const WallTime now_ = WallTime(std::chrono::seconds(1'800'000'000));
};

TEST_F(FakeTools, InstalledCopyWritesTheEntryOnceAndDisablesTheDeferredUnit) {
  test::writeFile(dir_ / "system-units" / LaunchAtLoginPolicy::kDeferredUnit, "[Unit]\n");
  auto login = policy("/opt/Quorvin/quorvin");
  const auto first = login.registerIfPackaged(defaults_, now_);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->enabled);
  EXPECT_FALSE(first->needsApproval);
  EXPECT_EQ(first->failure, std::nullopt);
  const auto entry = test::readFile(LaunchAtLoginPolicy::autostartFile(paths_));
  EXPECT_NE(entry.find("Exec=\"/opt/Quorvin/quorvin\"\n"), std::string::npos);
  EXPECT_EQ(defaults_.string(LaunchAtLoginPolicy::kInitialStatusKey), "notRegistered");
  EXPECT_EQ(defaults_.string(LaunchAtLoginPolicy::kFinalStatusKey), "enabled");
  EXPECT_EQ(defaults_.string(LaunchAtLoginPolicy::kCheckedAtKey), "2027-01-15T08:00:00Z");
  EXPECT_EQ(calls(), "--user disable app.quorvin.menubar.deferred-launch.service\n");

  // Already enabled: nothing rewritten, the deferred unit is still disabled; a failing tool is
  // only logged.
  ::setenv("FAKE_SYSTEMCTL_STATUS", "5", 1);
  std::filesystem::last_write_time(LaunchAtLoginPolicy::autostartFile(paths_), std::filesystem::file_time_type{});
  const auto second = login.registerIfPackaged(defaults_, now_);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->enabled);
  EXPECT_EQ(defaults_.string(LaunchAtLoginPolicy::kInitialStatusKey), "enabled");
  EXPECT_EQ(std::filesystem::last_write_time(LaunchAtLoginPolicy::autostartFile(paths_)),
            std::filesystem::file_time_type{});
  EXPECT_EQ(calls(), std::string("--user disable app.quorvin.menubar.deferred-launch.service\n") +
                         "--user disable app.quorvin.menubar.deferred-launch.service\n");
}

TEST_F(FakeTools, DevelopmentBuildsNeverRegisterAndFailuresAreReported) {
  EXPECT_EQ(policy("/home/dev/quorvin/build/src/app/quorvin").registerIfPackaged(defaults_, now_), std::nullopt);
  EXPECT_FALSE(defaults_.contains(LaunchAtLoginPolicy::kInitialStatusKey));
  EXPECT_FALSE(std::filesystem::exists(LaunchAtLoginPolicy::autostartFile(paths_)));

  EXPECT_TRUE(LaunchAtLoginPolicy::isInstalledLocation("/usr/bin/quorvin", paths_.home));
  EXPECT_TRUE(LaunchAtLoginPolicy::isInstalledLocation(paths_.home / ".local/opt/Quorvin/quorvin", paths_.home));
  EXPECT_FALSE(LaunchAtLoginPolicy::isInstalledLocation("/opt/Quorvin/../evil/quorvin", paths_.home));
  EXPECT_FALSE(LaunchAtLoginPolicy::isInstalledLocation("/usr/bin/sub/quorvin", paths_.home));
  EXPECT_EQ(LaunchAtLoginPolicy::name(7), "unknown(7)");

  // The autostart folder cannot be made: a failure, with no deferred clean-up.
  test::writeFile(paths_.configHome / "autostart", "a file in the way");
  test::writeFile(dir_ / "system-units" / LaunchAtLoginPolicy::kDeferredUnit, "[Unit]\n");
  const auto outcome = policy("/opt/Quorvin/quorvin").registerIfPackaged(defaults_, now_);
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(outcome->enabled);
  ASSERT_TRUE(outcome->failure);
  EXPECT_EQ(defaults_.string(LaunchAtLoginPolicy::kFinalStatusKey), "notRegistered");
  EXPECT_EQ(calls(), "");
}

TEST_F(FakeTools, RetirementStopsTheUnitDeletesItAndEndsOnlyTheAgent) {
  test::writeFile(HeadlessAgentManager::unitFile(paths_), "[Service]\n");
  const auto script = HeadlessAgentManager::agentScript(paths_).string();
  // A stand-in agent whose command line reads "node <script> run --watch".
  const pid_t agent = ::fork();
  if (agent == 0) {
    ::execlp("perl", "perl", "-e", "$0 = shift; sleep 1000", ("node " + script + " run --watch").c_str(), nullptr);
    ::_exit(127);
  }
  // Until perl renamed itself the agent does not match; wait for the new title.
  for (;;) {
    if (test::readFile("/proc/" + std::to_string(agent) + "/cmdline").rfind("node ", 0) == 0) break;
    ::usleep(20'000);
  }
  HeadlessAgentManager::disableCanonicalCLI(paths_);
  int status = 0;
  ASSERT_EQ(::waitpid(agent, &status, 0), agent);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_FALSE(std::filesystem::exists(HeadlessAgentManager::unitFile(paths_)));
  EXPECT_EQ(calls(), "--user stop app.quorvin.cli-agent.service\n--user disable app.quorvin.cli-agent.service\n");
}

TEST(HeadlessAgentManagerTest, MatchesOnlyThisUsersWatchingAgent) {
  const std::string path = "/home/me/.local/share/quorvin/quorvin-agent.mjs";
  const std::string listing =
      "  101  1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"
      "  102  1001 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"  // another user
      "  103  1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run\n"          // no --watch
      "  104  1000 /usr/bin/node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"
      "  105  1000 nodejs /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"
      "  x06  1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"
      "  107  1000\n"
      "  108  1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch --inspect\n"
      // Signalled, -1 would end every process of the user and 0 this process group.
      "   -1  1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"
      "    0  1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch\n"
      "109 1000 node /home/me/.local/share/quorvin/quorvin-agent.mjs run --watch";
  EXPECT_EQ(HeadlessAgentManager::matchingProcessIDs(listing, 1000, path), (std::vector<pid_t>{101, 104, 109}));
  EXPECT_TRUE(HeadlessAgentManager::matchingProcessIDs("", 1000, path).empty());
}

}  // namespace
}  // namespace quorvin
