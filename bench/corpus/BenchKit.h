#pragma once

// Small helpers the benchmark programs share: a scratch folder, figure lines, and what
// /proc tells of a child process.
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace quorvin::bench {

// A fresh folder under the system's temporary folder, removed with everything in it.
struct ScratchFolder {
  explicit ScratchFolder(const std::string& tag = "quorvin-bench") {
    std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
    path = ::mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::filesystem::path path;
};

// One "name: value unit" line, flushed at once so a run cut short keeps what it measured.
inline void figure(const std::string& name, double value, const char* unit, int decimals = 1) {
  std::printf("%s: %.*f %s\n", name.c_str(), decimals, value, unit);
  std::fflush(stdout);
}

// A figure of /proc/<pid>/status in KiB ("VmRSS:", "VmHWM:"); -1 when absent.
inline double statusKiB(pid_t pid, const char* key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + std::strlen(key));
  }
  return -1;
}

// User and system CPU seconds a process has used so far.
inline double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  // Fields after the command name, which ends with the last ')': utime and stime are 14 and 15.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  unsigned long long utime = 0, stime = 0;
  fields >> utime >> stime;
  return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

}  // namespace quorvin::bench
