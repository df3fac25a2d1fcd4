#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

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

}  // namespace quorvin::test
