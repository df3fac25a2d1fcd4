#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvin::test {

struct ProgramRun {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string output;  // standard output and standard error together
};

// Runs a shell command line (quote its words yourself) and collects what it printed.
inline ProgramRun runProgram(const std::string& commandLine) {
  ProgramRun run;
  FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// A copy of `program` in `folder`, to start instead of it. The application yields to an
// earlier copy of the same program file started with only options, so tests that run
// `quorvin --headless` or the tray at the same time must not share the file.
// A program module beside the program (the build tree's `quorvin`) is linked beside the copy.
inline std::string privateCopyOf(const std::string& program, const std::filesystem::path& folder) {
  const std::filesystem::path original(program);
  const auto copy = folder / original.filename();
  std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
  for (const auto& entry : std::filesystem::directory_iterator(original.parent_path())) {
    if (entry.path().extension() != ".so") continue;
    std::filesystem::remove(folder / entry.path().filename());
    std::filesystem::create_symlink(entry.path(), folder / entry.path().filename());
  }
  return copy.string();
}

// Starts `program` with exactly `environment`, its standard output and error going to
// `output`; returns its process id (0 when it could not be started). The caller reaps it.
inline pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                          std::vector<std::string> environment, const std::filesystem::path& output) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = 0;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace quorvin::test
