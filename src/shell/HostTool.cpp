#include "shell/HostTool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace quorvin {

HostToolResult runHostTool(const std::vector<std::string>& argv, bool captureOutput) {
  HostToolResult result;
  if (argv.empty()) return result;
  std::vector<char*> arguments;
  for (const auto& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);
  int pipe[2] = {-1, -1};
  if (captureOutput && ::pipe2(pipe, O_CLOEXEC) != 0) {
    result.startError = std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (captureOutput) {
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawnError = posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (captureOutput) ::close(pipe[1]);
  if (spawnError != 0) {
    if (captureOutput) ::close(pipe[0]);
    result.startError = std::strerror(spawnError);
    return result;
  }
  if (captureOutput) {
    char chunk[8192];
    ssize_t got = 0;
    // Read to the end so the tool never blocks on a full pipe; keep only the bound.
    while ((got = ::read(pipe[0], chunk, sizeof chunk)) != 0) {
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      const auto room = kMaxHostToolOutputBytes - result.output.size();
      result.output.append(chunk, std::min(room, static_cast<std::size_t>(got)));
    }
    ::close(pipe[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

}  // namespace quorvin
