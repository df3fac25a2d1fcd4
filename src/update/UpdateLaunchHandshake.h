#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>

#include "core/Time.h"

namespace quorvin {

struct Paths;

// The relaunched copy's side of an update: early in start-up it writes a readiness marker at
// the path the relaunch script put in QUORVIN_UPDATE_READY_FILE. The path comes from the
// environment, so only a "ready-*.json" directly in the protected update folder is accepted,
// and the file is created so that no link or swapped folder can redirect it.
struct UpdateLaunchHandshake {
  class HandshakeError : public std::runtime_error {
   public:
    enum class Kind { invalidMarkerPath, unsafeUpdateDirectory, markerCreationFailed };
    explicit HandshakeError(Kind kind);
    Kind kind() const { return kind_; }

   private:
    Kind kind_;
  };

  using Environment = std::map<std::string, std::string>;

  // False when no marker was requested, true when it was written; throws HandshakeError on a
  // refusal (leaving no file) and the write's own error when writing fails.
  static bool signalIfRequested(const Environment& environment, const std::filesystem::path& allowedDirectory,
                                const std::string& version, pid_t processID, WallTime launchedAt);

  // The update folder: the relaunch script's marker and the staged downloads live here.
  static std::filesystem::path updatesDirectory(const Paths& paths);

  // What start-up does: runs the handshake for this process and logs its outcome, then drops
  // the variable so that nothing this process starts inherits it. Never throws.
  static void completeAtStartup(const Paths& paths, const std::string& version, WallTime now);
};

}  // namespace quorvin
