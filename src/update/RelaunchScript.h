#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quorvin {

// The shell script that, once the running copy has quit, swaps the installed bundle for the
// staged one, starts it, waits for its readiness marker, and puts the old bundle back when
// the new one does not come up.
struct RelaunchScript {
  static constexpr int kReadinessChecks = 120;
  static constexpr std::string_view kMarkerVariable = "QUORVIN_UPDATE_READY_FILE";

  pid_t currentPid = 0;
  std::filesystem::path currentApp;  // the installed bundle folder
  std::filesystem::path stagedApp;
  std::filesystem::path backupApp;
  std::filesystem::path tarball;
  std::filesystem::path script;
  std::filesystem::path readyFile;

  std::string text() const;

  // One single-quoted shell word: each ' inside becomes '\''.
  static std::string shellQuote(std::string_view text);
  // `text` as an extended regular expression that matches exactly itself (for pgrep -f -x).
  static std::string regexLiteral(std::string_view text);
  static std::filesystem::path executableOf(const std::filesystem::path& bundle) { return bundle / "bin" / "quorvin"; }
};

}  // namespace quorvin
