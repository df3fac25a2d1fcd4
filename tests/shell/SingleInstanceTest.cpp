// The lock, the earlier-instance rule and the peer socket, with real files, processes and sockets.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "shell/PeerChannel.h"
#include "shell/SecondInstancePolicy.h"
#include "shell/SingleInstanceLock.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using test::TempFolder;
using SecondInstancePolicy::Instance;

TEST(SingleInstanceLockTest, HoldsAgainstASecondAttemptAndRewritesTheProcessId) {
  TempFolder dir;
  const auto file = dir / "nested/quorvin/streamer.lock";
  test::writeFile(file, "123456789012345\nleftover text of an older holder\n");
  auto first = SingleInstanceLock::acquire(file);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<SingleInstanceLock>>(first));
  EXPECT_EQ(test::readFile(file), std::to_string(::getpid()) + "\n");
  // flock excludes other open descriptions, even in the same process.
  EXPECT_TRUE(std::holds_alternative<SingleInstanceLock::HeldElsewhere>(SingleInstanceLock::acquire(file)));
  first = SingleInstanceLock::HeldElsewhere{};  // releases
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<SingleInstanceLock>>(SingleInstanceLock::acquire(file)));
  EXPECT_TRUE(std::filesystem::exists(file));  // never deleted
}

TEST(SingleInstanceLockTest, TakesOverTheLockOfAKilledCopy) {
  TempFolder dir;
  const auto file = dir / "streamer.lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    auto lock = SingleInstanceLock::acquire(file);
    const char ok = std::holds_alternative<std::unique_ptr<SingleInstanceLock>>(lock) ? '1' : '0';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  EXPECT_TRUE(std::holds_alternative<SingleInstanceLock::HeldElsewhere>(SingleInstanceLock::acquire(file)));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(test::readFile(file), std::to_string(child) + "\n");  // stale id, no lock
  auto taken = SingleInstanceLock::acquire(file);
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<SingleInstanceLock>>(taken));
  EXPECT_EQ(test::readFile(file), std::to_string(::getpid()) + "\n");
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(SingleInstanceLockTest, RefusesASymbolicLinkAndAnUncreatableFolder) {
  TempFolder dir;
  test::writeFile(dir / "target", "keep me");
  std::filesystem::create_symlink(dir / "target", dir / "streamer.lock");
  const auto linked = SingleInstanceLock::acquire(dir / "streamer.lock");
  ASSERT_TRUE(std::holds_alternative<SingleInstanceLock::CouldNotOpen>(linked));
  EXPECT_EQ(std::get<SingleInstanceLock::CouldNotOpen>(linked).error, ELOOP);
  EXPECT_EQ(test::readFile(dir / "target"), "keep me");

  test::writeFile(dir / "file", "");
  EXPECT_TRUE(std::holds_alternative<SingleInstanceLock::CouldNotCreateDirectory>(
      SingleInstanceLock::acquire(dir / "file/quorvin/streamer.lock")));
}

TEST(SecondInstancePolicyTest, EarlierByLaunchTimeElseByLowerProcessId) {
  const Instance current{100, 500};
  EXPECT_FALSE(SecondInstancePolicy::hasEarlierInstance(current, {}));
  EXPECT_TRUE(SecondInstancePolicy::hasEarlierInstance(current, {{99, 900}}));
  EXPECT_FALSE(SecondInstancePolicy::hasEarlierInstance(current, {{101, 10}}));  // later, despite the lower id
  // Equal launch times: the higher id gives way.
  EXPECT_TRUE(SecondInstancePolicy::hasEarlierInstance(current, {{100, 499}}));
  EXPECT_FALSE(SecondInstancePolicy::hasEarlierInstance(current, {{100, 501}}));
  // An unknown time on either side compares ids only.
  EXPECT_TRUE(SecondInstancePolicy::hasEarlierInstance({std::nullopt, 500}, {{200, 499}}));
  EXPECT_FALSE(SecondInstancePolicy::hasEarlierInstance(current, {{std::nullopt, 501}, {150, 400}}));
  EXPECT_TRUE(SecondInstancePolicy::hasEarlierInstance(current, {{150, 400}, {std::nullopt, 499}}));
}

TEST(SecondInstancePolicyTest, ReadsProcFilesSafely) {
  EXPECT_EQ(SecondInstancePolicy::launchTicks(
                "42 (qu) orv(in x) S 1 42 42 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 100000 200"),
            987654u);
  EXPECT_EQ(SecondInstancePolicy::launchTicks("42 (quorvin) S 1 2"), std::nullopt);
  EXPECT_EQ(SecondInstancePolicy::launchTicks("no parenthesis"), std::nullopt);

  using namespace std::string_literals;
  EXPECT_TRUE(SecondInstancePolicy::isApplicationCommandLine("/opt/Quorvin/quorvin\0"s));
  EXPECT_TRUE(SecondInstancePolicy::isApplicationCommandLine("quorvin\0--headless\0"s));
  EXPECT_FALSE(SecondInstancePolicy::isApplicationCommandLine("quorvin\0status\0--json\0"s));
  EXPECT_FALSE(SecondInstancePolicy::isApplicationCommandLine("quorvin\0pair\0"s));

  // This test program runs with no arguments under ctest only sometimes; what it must never
  // do is list itself.
  for (const auto& other : SecondInstancePolicy::otherInstances("/proc/self/exe")) {
    EXPECT_NE(other.processIdentifier, ::getpid());
  }
  EXPECT_TRUE(SecondInstancePolicy::currentInstance().launchedAt.has_value());
}

TEST(PeerChannelTest, AnswersTheSameUserAndReplacesALeftoverSocket) {
  TempFolder dir;
  const auto path = dir / "run/quorvin/peer.sock";
  std::filesystem::create_directories(path.parent_path());
  {  // A crashed copy's socket: bound, never unlinked, nobody listening.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  EXPECT_EQ(PeerChannel::request(path, "status"), std::nullopt);

  boost::asio::io_context context;
  std::vector<std::string> received;
  PeerChannel channel(context, path, [&](std::string_view request) {
    received.emplace_back(request);
    return "reply to " + std::string(request);
  });
  ASSERT_EQ(channel.listen(), std::nullopt);
  EXPECT_EQ(std::filesystem::status(path.parent_path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  std::thread server([&] { context.run_for(std::chrono::seconds(30)); });
  EXPECT_EQ(PeerChannel::request(path, PeerChannel::kShowPopover), "reply to app.quorvin.menubar.show-popover");
  EXPECT_EQ(PeerChannel::request(path, "status"), "reply to status");
  context.stop();
  server.join();
  EXPECT_EQ(received, (std::vector<std::string>{"app.quorvin.menubar.show-popover", "status"}));

  EXPECT_TRUE(PeerChannel::acceptsPeer(1000, 1000));
  EXPECT_FALSE(PeerChannel::acceptsPeer(0, 1000));
  EXPECT_FALSE(PeerChannel::acceptsPeer(1001, 1000));
}

TEST(PeerChannelTest, NeverReplacesAFileThatIsNotASocket) {
  TempFolder dir;
  const auto path = dir / "peer.sock";
  test::writeFile(path, "not mine");
  boost::asio::io_context context;
  PeerChannel channel(context, path, [](std::string_view) { return std::string(); });
  EXPECT_NE(channel.listen(), std::nullopt);
  EXPECT_EQ(test::readFile(path), "not mine");
}

}  // namespace
}  // namespace quorvin
