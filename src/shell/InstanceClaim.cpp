#include "shell/InstanceClaim.h"

#include <chrono>

#include "core/Log.h"
#include "shell/PeerChannel.h"
#include "shell/SecondInstancePolicy.h"

namespace quorvin {

namespace {

void askRunningCopyToShow(const Paths& paths) {
  // Best effort: the running copy may still be starting and not listen yet.
  PeerChannel::request(PeerChannel::defaultPath(paths), PeerChannel::kShowPopover, std::chrono::seconds(2));
}

}  // namespace

InstanceClaim InstanceClaim::claim(const Paths& paths) {
  InstanceClaim result;
  const auto others = SecondInstancePolicy::otherInstances("/proc/self/exe");
  if (SecondInstancePolicy::hasEarlierInstance(SecondInstancePolicy::currentInstance(), others)) {
    logLine("Quorvin copy exiting: an earlier instance is already running");
    askRunningCopyToShow(paths);
    result.verdict = Verdict::yield;
    return result;
  }
  auto outcome = SingleInstanceLock::acquireDefault(paths);
  if (auto* lock = std::get_if<std::unique_ptr<SingleInstanceLock>>(&outcome)) {
    result.lock = std::move(*lock);
    result.verdict = Verdict::run;
  } else if (std::holds_alternative<SingleInstanceLock::HeldElsewhere>(outcome)) {
    askRunningCopyToShow(paths);
    result.verdict = Verdict::yield;
  } else {
    logLine("Quorvin could not establish its single-instance lock: " + SingleInstanceLock::describe(outcome));
  }
  return result;
}

}  // namespace quorvin
