#pragma once

#include <memory>
#include <string>
#include <vector>

#include "publishing/ConnectionState.h"
#include "shell/AppServices.h"

namespace quorvin {

// The log lines of a change of published state: one per state change (connected,
// disconnected, pairing, an error or failure text, a reconciliation), nothing per tick.
std::vector<std::string> stateChangeLogLines(const ConnectionState* previous, const ConnectionState& next);

inline constexpr const char* kNotPairedHint =
    "Quorvin is not paired with a profile. Run `quorvin pair` to publish this computer's usage, then restart "
    "`quorvin --headless`.";

// `quorvin --headless`: the whole application without windows. Hydrates the cache, unlocks the
// stored token without prompting, streams, uploads, reconciles and commits checkpoints; SIGINT
// and SIGTERM stop publishing, write the settings and end the run.
class HeadlessAgent {
 public:
  explicit HeadlessAgent(AppServices& services) : services_(services) {}
  // Runs on the calling thread until a stop signal or stop(); returns the exit code.
  int run();
  // Ends run() (from the model executor).
  void stop();

 private:
  AppServices& services_;
  std::shared_ptr<const ConnectionState> last_;
};

}  // namespace quorvin
