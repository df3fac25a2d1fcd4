#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/PendingWork.h"
#include "platform/Runtime.h"
#include "platform/RuntimeClock.h"

namespace quorvin {

// Where a child's standard output or error goes.
struct ProcessOutput {
  enum class Kind { capture, file, discard };
  Kind kind = Kind::capture;
  std::size_t limit = 1024 * 1024;  // capture: bytes kept; the rest is read and dropped
  std::filesystem::path file;       // file: created or truncated, mode 0600, never followed

  static ProcessOutput captured(std::size_t limit = 1024 * 1024) { return {Kind::capture, limit, {}}; }
  static ProcessOutput toFile(std::filesystem::path path) { return {Kind::file, 0, std::move(path)}; }
  static ProcessOutput discarded() { return {Kind::discard, 0, {}}; }
};

struct ProcessRequest {
  // The program and its arguments, passed as they are: no shell is involved unless the
  // caller runs one (for example {"/bin/sh", "-c", script}). A program name without a
  // slash is looked up in PATH (the overridden PATH when the request sets one).
  std::vector<std::string> argv;
  std::optional<std::filesystem::path> workingDirectory;
  // Changes to the inherited environment: a value sets the variable, none removes it.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  ProcessOutput standardOutput = ProcessOutput::captured();
  ProcessOutput standardError = ProcessOutput::captured();
  // Past this the whole process group is stopped and the result is `timedOut`.
  std::optional<Duration> timeLimit;
  // The largest file the child and its descendants may write (RLIMIT_FSIZE): writing past
  // it ends the writer with SIGXFSZ, so an output file cannot fill the disk.
  std::optional<std::size_t> maxFileBytes;
};

struct ProcessResult {
  enum class Outcome { exited, signaled, timedOut, failedToStart };
  Outcome outcome = Outcome::failedToStart;
  int exitCode = -1;  // exited
  int signal = 0;     // signaled
  std::string standardOutput;  // captured bytes, up to the limit
  std::string standardError;
  bool outputCut = false;  // more was written than the limit kept
  bool errorCut = false;
  std::string startError;  // failedToStart: why

  bool succeeded() const { return outcome == Outcome::exited && exitCode == 0; }
};

// Runs child processes, each in its own process group so that the whole tree it starts can
// be stopped: SIGTERM to the group, up to 2 s for the process to end (looked at every
// 0.05 s), then SIGKILL to the group.
//
// run() is awaited on an io_context executor (the model thread); the child is watched
// through a pidfd and its pipes, without blocking a thread. Cancelling the awaiting task
// stops the tree the same way and then throws operation_aborted. All waits go through the
// clock. While a child runs it counts as pending work, so a VirtualClock does not jump
// past a running child; tests of the time limit therefore use a SystemClock with a short
// limit. Nothing else in the program may reap children with waitpid(-1).
class ProcessRunner {
 public:
  static constexpr Duration terminateGrace{2000};
  static constexpr Duration terminatePoll{50};

  // The runtime's pending-work count is taken here, so a virtual clock can never jump past a
  // running child.
  ProcessRunner(RuntimeClock& clock, Runtime& runtime) : clock_(clock), pending_(&runtime.pending()) {}

  boost::asio::awaitable<ProcessResult> run(ProcessRequest request);

 private:
  RuntimeClock& clock_;
  PendingWork* pending_;
};

}  // namespace quorvin
