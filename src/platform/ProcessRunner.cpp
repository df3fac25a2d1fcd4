#include "platform/ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "platform/PendingHandler.h"
#include "platform/Task.h"

extern char** environ;

namespace quorvin {

namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

constexpr idtype_t kPidfdId = static_cast<idtype_t>(3);  // P_PIDFD

struct Capture {
  std::string bytes;
  std::size_t limit = 0;
  bool cut = false;
  void append(const char* data, std::size_t size) {
    const std::size_t room = limit > bytes.size() ? limit - bytes.size() : 0;
    if (size > room) cut = true;
    bytes.append(data, std::min(size, room));
  }
};

// Everything one run shares with its helper coroutines; all of them run on one executor.
struct RunState {
  explicit RunState(const asio::any_io_executor& executor) : exitWatch(executor) {}

  enum class Stop { none, timedOut, cancelled };
  enum class Until { partsDoneOrStop, exited, partsDone };

  pid_t pid = -1;
  asio::posix::stream_descriptor exitWatch;  // the pidfd: readable once the child has ended
  std::optional<asio::posix::stream_descriptor> outPipe, errPipe;
  Capture out, err;
  int partsRunning = 0;
  bool exited = false;
  Stop stop = Stop::none;
  PendingWork::Token busy;
  PendingHandler<void()> waiter;
  Until until = Until::partsDoneOrStop;

  bool satisfied() const {
    switch (until) {
      case Until::partsDoneOrStop:
        return partsRunning == 0 || stop != Stop::none;
      case Until::exited:
        return exited;
      case Until::partsDone:
        return partsRunning == 0;
    }
    return true;
  }
  void notify() {
    if (waiter && satisfied()) {
      PendingHandler<void()> resume(std::move(waiter));
      resume.post();
    }
  }
  void requestStop(Stop why) {
    if (stop == Stop::none) stop = why;
    notify();
  }
  // Still running (not ended, or ended but not yet reaped)? Never reaps.
  bool leaderRunning() {
    siginfo_t info{};
    if (waitid(kPidfdId, static_cast<id_t>(exitWatch.native_handle()), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      return false;
    }
    return info.si_pid == 0;
  }
};

struct CancelWait {
  std::weak_ptr<RunState> state;
  void operator()(asio::cancellation_type type) const {
    if (type == asio::cancellation_type::none) return;
    if (auto locked = state.lock()) locked->requestStop(RunState::Stop::cancelled);
  }
};

struct WaitInitiation {
  std::shared_ptr<RunState> state;
  template <class Handler>
  void operator()(Handler&& handler, RunState::Until until) const {
    PendingHandler<void()> pending(std::forward<Handler>(handler));
    auto slot = pending.cancellationSlot();
    if (slot.is_connected()) slot.template emplace<CancelWait>(CancelWait{state});
    state->until = until;
    state->waiter = std::move(pending);
    state->notify();
  }
};

struct PartDone {
  std::shared_ptr<RunState> state;
  void operator()(std::exception_ptr) const {
    --state->partsRunning;
    if (state->partsRunning == 0) state->busy.reset();
    state->notify();
  }
};

// `keepAlive` owns `pipe` and `sink`.
asio::awaitable<void> drain(std::shared_ptr<RunState> keepAlive, asio::posix::stream_descriptor* pipe, Capture* sink) {
  (void)keepAlive;
  std::array<char, 16384> buffer;
  for (;;) {
    boost::system::error_code ec;
    const std::size_t n = co_await pipe->async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
    sink->append(buffer.data(), n);
    if (ec) break;
  }
  pipe->close();
}

asio::awaitable<void> watchExit(std::shared_ptr<RunState> state) {
  boost::system::error_code ec;
  co_await state->exitWatch.async_wait(asio::posix::descriptor_base::wait_read,
                                       asio::redirect_error(asio::use_awaitable, ec));
  state->exited = true;
}

asio::awaitable<void> watchTime(std::shared_ptr<RunState> state, RuntimeClock* clock, Duration limit) {
  co_await clock->sleep(limit);
  state->requestStop(RunState::Stop::timedOut);
}

asio::awaitable<void> waitFor(std::shared_ptr<RunState> state, RunState::Until until) {
  WaitInitiation initiation{state};
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(initiation, asio::use_awaitable, until);
}

// False when the sleep was cut short by cancellation.
asio::awaitable<bool> sleepUnlessCancelled(RuntimeClock& clock, Duration duration) {
  bool completed = true;
  try {
    co_await clock.sleep(duration);
  } catch (const boost::system::system_error&) {
    completed = false;
  }
  co_return completed;
}

std::optional<std::string> findProgram(const std::string& name, const std::optional<std::string>& path) {
  if (name.find('/') != std::string::npos) return name;
  const std::string dirs = path.value_or("/usr/local/bin:/usr/bin:/bin");
  for (std::size_t begin = 0; begin <= dirs.size();) {
    std::size_t end = dirs.find(':', begin);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > begin ? dirs.substr(begin, end - begin) : ".";
    const std::string candidate = dir + "/" + name;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    begin = end + 1;
  }
  return std::nullopt;
}

std::vector<std::string> childEnvironment(const ProcessRequest& request) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    variables.insert_or_assign(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  for (const auto& [name, value] : request.environment) {
    if (value) {
      variables.insert_or_assign(name, *value);
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : variables) out.push_back(name + "=" + value);
  return out;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : closeAfter) ::close(fd);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  std::vector<int> closeAfter;  // the child's ends of the pipes
};

// Sets up one output stream; returns our end of its pipe (-1 when there is none).
int routeOutput(SpawnSetup& setup, const ProcessOutput& output, int target, std::string& error) {
  switch (output.kind) {
    case ProcessOutput::Kind::discard:
      posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", O_WRONLY, 0);
      return -1;
    case ProcessOutput::Kind::file:
      posix_spawn_file_actions_addopen(&setup.actions, target, output.file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
      return -1;
    case ProcessOutput::Kind::capture: {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return -1;
      }
      posix_spawn_file_actions_adddup2(&setup.actions, fds[1], target);
      setup.closeAfter.push_back(fds[1]);
      return fds[0];
    }
  }
  return -1;
}

}  // namespace

asio::awaitable<ProcessResult> ProcessRunner::run(ProcessRequest request) {
  ProcessResult result;
  if (request.argv.empty()) {
    result.startError = "no program given";
    co_return result;
  }
  std::optional<std::string> overriddenPath;
  bool pathOverridden = false;
  for (const auto& [name, value] : request.environment) {
    if (name == "PATH") {
      overriddenPath = value;
      pathOverridden = true;
    }
  }
  const char* inheritedPath = std::getenv("PATH");
  auto program = findProgram(request.argv[0], pathOverridden ? overriddenPath
                                              : inheritedPath ? std::optional<std::string>(inheritedPath)
                                                              : std::nullopt);
  if (!program) {
    result.startError = request.argv[0] + ": not found";
    co_return result;
  }

  auto executor = co_await asio::this_coro::executor;
  auto state = std::make_shared<RunState>(executor);
  int outFd = -1, errFd = -1;
  {
    SpawnSetup setup;
    // Its own process group, default signal handling and an empty signal mask, whatever
    // this process has set up for itself.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::string error;
    outFd = routeOutput(setup, request.standardOutput, STDOUT_FILENO, error);
    if (error.empty()) errFd = routeOutput(setup, request.standardError, STDERR_FILENO, error);
    if (request.workingDirectory) {
      posix_spawn_file_actions_addchdir_np(&setup.actions, request.workingDirectory->c_str());
    }
    std::vector<std::string> environment = childEnvironment(request);
    std::vector<char*> envp, argv;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    for (auto& argument : request.argv) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawnError = error.empty() ? posix_spawn(&pid, program->c_str(), &setup.actions, &setup.attributes,
                                                 argv.data(), envp.data())
                                   : -1;
    if (spawnError != 0) {
      if (outFd >= 0) ::close(outFd);
      if (errFd >= 0) ::close(errFd);
      result.startError = error.empty() ? request.argv[0] + ": " + std::strerror(spawnError) : error;
      co_return result;
    }
    state->pid = pid;
  }
  if (request.maxFileBytes) {
    // posix_spawn has no hook between fork and exec, so the bound is set from here at once:
    // the program is still starting up, long before it could have written that much.
    const rlim_t bound = static_cast<rlim_t>(*request.maxFileBytes);
    const struct rlimit limit {bound, bound};
    if (::prlimit(state->pid, RLIMIT_FSIZE, &limit, nullptr) != 0) {
      kill(-state->pid, SIGKILL);
      waitpid(state->pid, nullptr, 0);
      if (outFd >= 0) ::close(outFd);
      if (errFd >= 0) ::close(errFd);
      result.startError = std::string("prlimit: ") + std::strerror(errno);
      co_return result;
    }
  }
  // The C library header for pidfd_open lacks C linkage here; the system call is plain.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, state->pid, 0));
  if (pidfd < 0) {
    // Cannot watch it: do not leave it running unobserved.
    kill(-state->pid, SIGKILL);
    waitpid(state->pid, nullptr, 0);
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);
    result.startError = std::string("pidfd_open: ") + std::strerror(errno);
    co_return result;
  }
  state->exitWatch.assign(pidfd);
  state->out.limit = request.standardOutput.limit;
  state->err.limit = request.standardError.limit;
  if (pending_) state->busy = pending_->begin();

  // Helpers: one per pipe and one for the exit, all on this executor.
  state->partsRunning = 1;
  asio::co_spawn(executor, watchExit(state), PartDone{state});
  if (outFd >= 0) {
    state->outPipe.emplace(executor, outFd);
    ++state->partsRunning;
    asio::co_spawn(executor, drain(state, &*state->outPipe, &state->out), PartDone{state});
  }
  if (errFd >= 0) {
    state->errPipe.emplace(executor, errFd);
    ++state->partsRunning;
    asio::co_spawn(executor, drain(state, &*state->errPipe, &state->err), PartDone{state});
  }
  Task timer;
  if (request.timeLimit) timer = Task::start(executor, watchTime(state, &clock_, *request.timeLimit));

  // Our own waits below must run to their end even when the awaiting task is cancelled:
  // cancellation is turned into stopping the tree, and reported after.
  const bool throwIfCancelled = co_await asio::this_coro::throw_if_cancelled();
  co_await asio::this_coro::throw_if_cancelled(false);

  co_await waitFor(state, RunState::Until::partsDoneOrStop);
  if (state->stop != RunState::Stop::none && state->partsRunning > 0) {
    state->busy.reset();  // the clock may move while we wait for the tree to end
    const pid_t group = state->pid;
    kill(-group, SIGTERM);
    for (Duration waited{0}; waited < terminateGrace && state->leaderRunning(); waited += terminatePoll) {
      if (!co_await sleepUnlessCancelled(clock_, terminatePoll)) {
        state->requestStop(RunState::Stop::cancelled);
        break;  // cancelled during the grace period: go straight to SIGKILL
      }
    }
    kill(-group, SIGKILL);
    // Its end is real work again: the clock must not treat the wait as idle.
    if (pending_ && state->partsRunning > 0) state->busy = pending_->begin();
    co_await waitFor(state, RunState::Until::exited);
    // A process that left the group may still hold the pipes: stop reading them.
    boost::system::error_code ignored;
    if (state->outPipe && state->outPipe->is_open()) state->outPipe->cancel(ignored);
    if (state->errPipe && state->errPipe->is_open()) state->errPipe->cancel(ignored);
    co_await waitFor(state, RunState::Until::partsDone);
  }
  timer.cancel();

  siginfo_t info{};
  waitid(kPidfdId, static_cast<id_t>(state->exitWatch.native_handle()), &info, WEXITED);
  boost::system::error_code ignored;
  state->exitWatch.close(ignored);

  result.standardOutput = std::move(state->out.bytes);
  result.standardError = std::move(state->err.bytes);
  result.outputCut = state->out.cut;
  result.errorCut = state->err.cut;
  if (state->stop == RunState::Stop::timedOut) {
    result.outcome = ProcessResult::Outcome::timedOut;
  } else if (info.si_code == CLD_EXITED) {
    result.outcome = ProcessResult::Outcome::exited;
    result.exitCode = info.si_status;
  } else {
    result.outcome = ProcessResult::Outcome::signaled;
    result.signal = info.si_status;
  }
  co_await asio::this_coro::throw_if_cancelled(throwIfCancelled);
  if (state->stop == RunState::Stop::cancelled) throw boost::system::system_error(asio::error::operation_aborted);
  co_return result;
}

}  // namespace quorvin
