// Real child processes: output, exit status, arguments passed intact, bounds, and whole
// process trees stopped on time-out and cancellation.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/Browser.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "platform/Task.h"
#include "platform/VirtualClock.h"
#include "support/ProcessEnds.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Outcome = ProcessResult::Outcome;

asio::awaitable<void> runInto(ProcessRunner* runner, ProcessRequest request, ProcessResult* out) {
  *out = co_await runner->run(std::move(request));
}

using test::processEndsSoon;

class ProcessRunnerTest : public ::testing::Test {
 protected:
  ProcessResult run(ProcessRequest request) {
    ProcessResult result;
    Task task = Task::start(runtime.model(), runInto(&runner, std::move(request), &result));
    drive(task);
    EXPECT_EQ(task.failure(), nullptr);
    return result;
  }
  void drive(const Task& task) {
    runtime.runUntil([&] { return task.ended(); });
  }

  test::TempFolder folder{"quorvin-process"};
  fs::path dir = folder.path();
  Runtime runtime{1};
  SystemClock clock;
  ProcessRunner runner{clock, runtime};
};

TEST_F(ProcessRunnerTest, CapturesOutputAndReportsHowTheChildEnded) {
  auto exited = run({.argv = {"sh", "-c", "printf out; printf err >&2; exit 3"}});
  EXPECT_EQ(exited.outcome, Outcome::exited);
  EXPECT_EQ(exited.exitCode, 3);
  EXPECT_EQ(exited.standardOutput, "out");
  EXPECT_EQ(exited.standardError, "err");
  EXPECT_FALSE(exited.succeeded());

  auto signaled = run({.argv = {"/bin/sh", "-c", "kill -USR1 $$"}});
  EXPECT_EQ(signaled.outcome, Outcome::signaled);
  EXPECT_EQ(signaled.signal, SIGUSR1);

  auto missing = run({.argv = {"quorvin-no-such-program"}});
  EXPECT_EQ(missing.outcome, Outcome::failedToStart);
  EXPECT_NE(missing.startError.find("not found"), std::string::npos);

  auto notExecutable = run({.argv = {"/etc/hostname"}});
  EXPECT_EQ(notExecutable.outcome, Outcome::failedToStart);
}

TEST_F(ProcessRunnerTest, ArgumentsEnvironmentAndFolderReachTheChildAsGiven) {
  auto printed = run({.argv = {"printf", "%s|", "a b", "it's \"quoted\"", "$HOME", "*", "", "; rm -rf x"}});
  EXPECT_TRUE(printed.succeeded());
  EXPECT_EQ(printed.standardOutput, "a b|it's \"quoted\"|$HOME|*||; rm -rf x|");

  auto env = run({.argv = {"/bin/sh", "-c", "printf '%s:%s:%s' \"$QUORVIN_TEST\" \"${HOME-unset}\" \"$(pwd -P)\""},
                  .workingDirectory = dir,
                  .environment = {{"QUORVIN_TEST", "v a l"}, {"HOME", std::nullopt}}});
  EXPECT_EQ(env.standardOutput, "v a l:unset:" + fs::canonical(dir).string());

  // An overridden PATH is the one searched.
  test::writeFile(dir / "bin" / "quorvin-probe", "#!/bin/sh\necho probed\n", fs::perms::owner_all);
  auto found = run({.argv = {"quorvin-probe"}, .environment = {{"PATH", (dir / "bin").string() + ":/usr/bin:/bin"}}});
  EXPECT_EQ(found.standardOutput, "probed\n");
}

TEST_F(ProcessRunnerTest, OutputIsCutAtItsBoundOrGoesToABoundedPrivateFileOrNowhere) {
  ProcessRequest captured{.argv = {"/bin/sh", "-c", "head -c 300000 /dev/zero; head -c 5 /dev/zero >&2"}};
  captured.standardOutput = ProcessOutput::captured(1000);
  auto cut = run(captured);
  EXPECT_TRUE(cut.succeeded());  // not blocked on a full pipe
  EXPECT_EQ(cut.standardOutput.size(), 1000u);
  EXPECT_TRUE(cut.outputCut);
  EXPECT_EQ(cut.standardError.size(), 5u);
  EXPECT_FALSE(cut.errorCut);

  ProcessRequest request{.argv = {"/bin/sh", "-c", "printf '{\"totals\":1}'; echo noise >&2"}};
  request.standardOutput = ProcessOutput::toFile(dir / "out");
  request.standardError = ProcessOutput::discarded();
  request.maxFileBytes = 4096;
  auto result = run(request);
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(result.standardOutput + result.standardError, "");
  EXPECT_EQ(test::readFile(dir / "out"), "{\"totals\":1}");
  struct stat info {};
  ASSERT_EQ(stat((dir / "out").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A child (and what it starts) writing without end must not fill the disk.
  request.argv = {"/bin/sh", "-c", "sleep 0.1; head -c 100000 /dev/zero; echo done"};
  EXPECT_FALSE(run(request).succeeded());
  EXPECT_LE(fs::file_size(dir / "out"), 4096u);
  request.argv = {"/bin/sh", "-c", "head -c 4096 /dev/zero"};
  EXPECT_TRUE(run(request).succeeded());
  EXPECT_EQ(fs::file_size(dir / "out"), 4096u);
}

TEST_F(ProcessRunnerTest, TimeOutStopsTheWholeTreeEvenWhenItIgnoresSigterm) {
  // Child and grandchild ignore SIGTERM; only the SIGKILL to the group after the grace
  // period ends them. The grandchild also holds the output pipe open.
  const fs::path pidFile = dir / "grandchild.pid";
  auto result = run({.argv = {"/bin/sh", "-c", "trap '' TERM; sleep 1000 & echo $! > \"$1\"; wait", "sh",
                              pidFile.string()},
                     .timeLimit = 300ms});
  EXPECT_EQ(result.outcome, Outcome::timedOut);
  const pid_t grandchild = std::stoi(test::readFile(pidFile));
  EXPECT_TRUE(processEndsSoon(grandchild));
}

asio::awaitable<void> runCancellable(ProcessRunner* runner, ProcessRequest request, bool* returned, bool* aborted) {
  try {
    co_await runner->run(std::move(request));
    *returned = true;
  } catch (const boost::system::system_error& e) {
    *aborted = e.code() == asio::error::operation_aborted;
  }
}

TEST_F(ProcessRunnerTest, CancellingTheTaskStopsTheTreeAndEndsTheTask) {
  const fs::path pidFile = dir / "grandchild.pid";
  bool returned = false, aborted = false;
  Task task = Task::start(runtime.model(), runCancellable(&runner,
                                                          {.argv = {"/bin/sh", "-c",
                                                                    "sleep 1000 & echo $! > \"$1\"; wait", "sh",
                                                                    pidFile.string()}},
                                                          &returned, &aborted));
  auto& io = runtime.modelContext();
  auto guard = asio::make_work_guard(io);
  while (test::readFile(pidFile).empty()) io.run_one_for(10ms);
  task.cancel();
  drive(task);
  EXPECT_FALSE(returned);
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(processEndsSoon(std::stoi(test::readFile(pidFile))));
}

TEST(ProcessRunnerVirtualTimeTest, TheVirtualClockDoesNotJumpPastARunningChild) {
  Runtime runtime{1};
  VirtualClock clock;
  ProcessRunner runner(clock, runtime);
  ProcessResult result;
  // Real work of 0.2 s under a 1 s virtual limit, while nothing else is ready: time must
  // stand still rather than run the limit out.
  Task task = Task::start(runtime.model(), runInto(&runner, {.argv = {"sleep", "0.2"}, .timeLimit = 1s}, &result));
  const WallTime start = clock.now();
  ASSERT_TRUE(clock.run(runtime, [&] { return task.ended(); }));
  EXPECT_EQ(result.outcome, Outcome::exited);
  EXPECT_EQ(clock.now(), start);
}

TEST(BrowserTest, OpensOnlyWebUrlsAndPassesThemAsOneArgument) {
  test::TempFolder folder("quorvin-browser");
  const fs::path dir = folder.path();
  const fs::path opener = dir / "opener";
  const fs::path seen = dir / "seen";
  test::writeFile(opener, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"" + seen.string() + ".tmp\"\nmv \"" +
                              seen.string() + ".tmp\" \"" + seen.string() + "\"\n", fs::perms::owner_all);
  XdgBrowser browser(opener.string());

  EXPECT_FALSE(browser.open("file:///etc/passwd"));
  EXPECT_FALSE(browser.open("--help"));
  EXPECT_FALSE(browser.open("javascript:alert(1)"));
  EXPECT_FALSE(browser.open("https://"));
  EXPECT_FALSE(XdgBrowser("quorvin-no-such-opener").open("https://quorvin.app/"));

  const std::string url = "https://quorvin.app/u/ada?tab=live&x=%20y#top";
  ASSERT_TRUE(browser.open(url));
  while (!fs::exists(seen)) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(test::readFile(seen), "1|" + url);
}

TEST(ProcessRunnerVirtualTimeTest, CancelledChildIsStoppedAndAwaitedUnderVirtualTime) {
  test::TempFolder folder("quorvin-virtual");
  const fs::path dir = folder.path();
  const fs::path ready = dir / "ready";
  Runtime runtime{1};
  VirtualClock clock;
  ProcessRunner runner(clock, runtime);
  bool returned = false, aborted = false;
  // Ignores SIGTERM (from the moment it says so): only the SIGKILL after the virtual grace
  // period ends it.
  Task task = Task::start(
      runtime.model(),
      runCancellable(&runner, {.argv = {"/bin/sh", "-c", "trap '' TERM; : > \"$1\"; sleep 1000", "sh", ready.string()}},
                     &returned, &aborted));
  clock.run(runtime, [&] { return fs::exists(ready); });
  task.cancel();
  ASSERT_TRUE(clock.run(runtime, [&] { return task.ended(); }));
  EXPECT_TRUE(aborted);
  EXPECT_EQ(clock.now(), WallTime(std::chrono::seconds(1'767'225'600)) + ProcessRunner::terminateGrace);
}

}  // namespace
}  // namespace quorvin
