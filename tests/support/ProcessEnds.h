#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/TempFolder.h"

namespace quorvin::test {

// Whether a process has ended: gone, or a zombie nobody has reaped yet (a container's init may
// not reap). A signal is delivered asynchronously, so the process is given a generous moment
// to die before it is called alive.
inline bool processEndsSoon(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    if (stat.empty() || (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'Z')) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace quorvin::test
