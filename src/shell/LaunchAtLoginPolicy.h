#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/Time.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"

namespace quorvin {

// Launch at login through an XDG autostart entry, written only when the program runs from an
// installed location (development builds never register). Once it is enabled, the deferred
// launch unit an installer may have left (a systemd --user unit) is disabled.
class LaunchAtLoginPolicy {
 public:
  // The states the tray knows; there is no approval step here, so 2 is never produced.
  enum Status { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

  static constexpr const char* kInitialStatusKey = "quorvin_launch_at_login_initial_status";
  static constexpr const char* kFinalStatusKey = "quorvin_launch_at_login_final_status";
  static constexpr const char* kCheckedAtKey = "quorvin_launch_at_login_checked_at";
  static constexpr const char* kAutostartName = "app.quorvin.menubar.desktop";
  static constexpr const char* kDeferredUnit = "app.quorvin.menubar.deferred-launch.service";

  struct Setup {
    Paths paths;
    std::filesystem::path executable;  // the running program
    // Folders that hold systemd --user units: the user's, then the system's.
    std::vector<std::filesystem::path> unitFolders;
    static Setup forThisProcess(const Paths& paths);
  };

  // What the shell passes on to the connection manager.
  struct Outcome {
    bool enabled = false;
    bool needsApproval = false;
    std::optional<std::string> failure;
  };

  static std::string name(int status);
  // /opt/Quorvin, ~/.local/opt/..., /usr/bin.
  static bool isInstalledLocation(const std::filesystem::path& executable, const std::filesystem::path& home);
  static std::filesystem::path autostartFile(const Paths& paths) { return paths.configHome / "autostart" / kAutostartName; }
  static std::string desktopEntry(const std::filesystem::path& executable);

  explicit LaunchAtLoginPolicy(Setup setup) : setup_(std::move(setup)) {}

  // None when the program is not installed (nothing written, no keys).
  std::optional<Outcome> registerIfPackaged(UserDefaults& defaults, WallTime now);
  void disableDeferredLaunchAgent();

  int status() const;

 private:
  std::optional<std::string> registerEntry();
  Setup setup_;
};

}  // namespace quorvin
