#pragma once

#include <memory>

#include "platform/Paths.h"
#include "shell/SingleInstanceLock.h"

namespace quorvin {

// The first two launch steps of the application (tray or --headless), before any service
// starts: the earlier-instance rule, then the single-instance lock. A copy that gives way asks
// the running one to show itself.
struct InstanceClaim {
  enum class Verdict { run, yield, failed };
  Verdict verdict = Verdict::failed;
  std::unique_ptr<SingleInstanceLock> lock;  // with run: keep it until the process ends

  static InstanceClaim claim(const Paths& paths);
  // The exit code of a copy that does not run: 0 when it gave way, 1 when the lock failed.
  int exitCode() const { return verdict == Verdict::failed ? 1 : 0; }
};

}  // namespace quorvin
