// Real child processes: output, exit status, arguments passed intact, bounds, and whole
// process trees stopped on time-out and cancellation.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Browser.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "platform/Task.h"
#include "platform/VirtualClock.h"

namespace quorvin {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Outcome = ProcessResult::Outcome;

asio::awaitable<void> runInto(ProcessRunner* runner, ProcessRequest request, ProcessResult* out) {
  *out = co_await runner->run(std::move(request));
}

// Gone, or a zombie nobody has reaped yet (a container's init may not reap).
bool processGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// SIGKILL is delivered asynchronously: a killed process may still be scheduled to die when
// kill() returns, so give it a (generous) moment before calling it alive.
bool processEndsSoon(pid_t pid) {
  for (int i = 0; i < 1000 && !processGone(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return processGone(pid);
}

class ProcessRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvin-process-XXXXXX";
    dir = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir); }

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
  static std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  fs::path dir;
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
  fs::create_directories(dir / "bin");
  std::ofstream(dir / "bin" / "quorvin-probe") << "#!/bin/sh\necho probed\n";
  fs::permissions(dir / "bin" / "quorvin-probe", fs::perms::owner_all);
  auto found = run({.argv = {"quorvin-probe"}, .environment = {{"PATH", (dir / "bin").string() + ":/usr/bin:/bin"}}});
  EXPECT_EQ(found.standardOutput, "probed\n");
}

TEST_F(ProcessRunnerTest, OutputBeyondTheBoundIsDrainedAndCut) {
  ProcessRequest request{.argv = {"/bin/sh", "-c", "head -c 300000 /dev/zero; head -c 5 /dev/zero >&2"}};
  request.standardOutput = ProcessOutput::captured(1000);
  auto result = run(request);
  EXPECT_TRUE(result.succeeded());  // not blocked on a full pipe
  EXPECT_EQ(result.standardOutput.size(), 1000u);
  EXPECT_TRUE(result.outputCut);
  EXPECT_EQ(result.standardError.size(), 5u);
  EXPECT_FALSE(result.errorCut);
}

TEST_F(ProcessRunnerTest, OutputGoesToFilesOrNowhere) {
  ProcessRequest request{.argv = {"/bin/sh", "-c", "printf '{\"totals\":1}'; echo noise >&2"}};
  request.standardOutput = ProcessOutput::toFile(dir / "out.json");
  request.standardError = ProcessOutput::discarded();
  auto result = run(request);
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(readFile(dir / "out.json"), "{\"totals\":1}");
  struct stat info {};
  ASSERT_EQ(stat((dir / "out.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(ProcessRunnerTest, AnOutputFileCannotGrowPastItsBound) {
  // A child (and what it starts) writing without end must not fill the disk.
  ProcessRequest request{.argv = {"/bin/sh", "-c", "sleep 0.1; head -c 100000 /dev/zero; echo done"}};
  request.standardOutput = ProcessOutput::toFile(dir / "out");
  request.maxFileBytes = 4096;
  auto result = run(request);
  EXPECT_FALSE(result.succeeded());
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
  const pid_t grandchild = std::stoi(readFile(pidFile));
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
  while (readFile(pidFile).empty()) io.run_one_for(10ms);
  task.cancel();
  drive(task);
  EXPECT_FALSE(returned);
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(processEndsSoon(std::stoi(readFile(pidFile))));
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

}  // namespace
}  // namespace quorvin

namespace quorvin {
namespace {

TEST(BrowserTest, OpensOnlyWebUrlsAndPassesThemAsOneArgument) {
  char pattern[] = "/tmp/quorvin-browser-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const fs::path opener = dir / "opener";
  const fs::path seen = dir / "seen";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"" + seen.string() + ".tmp\"\nmv \"" +
                               seen.string() + ".tmp\" \"" + seen.string() + "\"\n";
  fs::permissions(opener, fs::perms::owner_all);
  XdgBrowser browser(opener.string());

  EXPECT_FALSE(browser.open("file:///etc/passwd"));
  EXPECT_FALSE(browser.open("--help"));
  EXPECT_FALSE(browser.open("javascript:alert(1)"));
  EXPECT_FALSE(browser.open("https://"));
  EXPECT_FALSE(XdgBrowser("quorvin-no-such-opener").open("https://quorvin.app/"));

  const std::string url = "https://quorvin.app/u/ada?tab=live&x=%20y#top";
  ASSERT_TRUE(browser.open(url));
  while (!fs::exists(seen)) std::this_thread::sleep_for(5ms);
  std::ifstream in(seen);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "1|" + url);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvin

namespace quorvin {
namespace {

asio::awaitable<void> runAndRecord(ProcessRunner* runner, ProcessRequest request, bool* aborted) {
  try {
    co_await runner->run(std::move(request));
  } catch (const boost::system::system_error& e) {
    *aborted = e.code() == asio::error::operation_aborted;
  }
}

TEST(ProcessRunnerVirtualTimeTest, CancelledChildIsStoppedAndAwaitedUnderVirtualTime) {
  char pattern[] = "/tmp/quorvin-virtual-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const fs::path ready = dir / "ready";
  Runtime runtime{1};
  VirtualClock clock;
  ProcessRunner runner(clock, runtime);
  bool aborted = false;
  // Ignores SIGTERM (from the moment it says so): only the SIGKILL after the virtual grace
  // period ends it.
  Task task = Task::start(
      runtime.model(),
      runAndRecord(&runner, {.argv = {"/bin/sh", "-c", "trap '' TERM; : > \"$1\"; sleep 1000", "sh", ready.string()}},
                   &aborted));
  clock.run(runtime, [&] { return fs::exists(ready); });
  task.cancel();
  ASSERT_TRUE(clock.run(runtime, [&] { return task.ended(); }));
  EXPECT_TRUE(aborted);
  EXPECT_EQ(clock.now(), WallTime(std::chrono::seconds(1'767'225'600)) + ProcessRunner::terminateGrace);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvin
