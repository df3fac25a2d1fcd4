#include "shell/LaunchAtLoginPolicy.h"

#include <ctime>
#include <fstream>
#include <sstream>

#include "core/Log.h"
#include "core/Time.h"
#include "platform/AtomicFile.h"
#include "shell/HostTool.h"

namespace quorvin {

namespace {

bool startsWith(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const auto relative = path.lexically_normal().lexically_relative(folder.lexically_normal());
  return !relative.empty() && *relative.begin() != "..";
}

// The Exec key's quoting: reserved characters inside double quotes, with ", `, $ and \ escaped.
std::string quotedExec(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

LaunchAtLoginPolicy::Setup LaunchAtLoginPolicy::Setup::forThisProcess(const Paths& paths) {
  std::error_code error;
  Setup setup{paths, std::filesystem::read_symlink("/proc/self/exe", error), {}};
  setup.unitFolders = {paths.configHome / "systemd/user", "/etc/systemd/user", "/usr/lib/systemd/user"};
  return setup;
}

std::string LaunchAtLoginPolicy::name(int status) {
  switch (status) {
    case notRegistered:
      return "notRegistered";
    case enabled:
      return "enabled";
    case requiresApproval:
      return "requiresApproval";
    case notFound:
      return "notFound";
    default:
      return "unknown(" + std::to_string(status) + ")";
  }
}

bool LaunchAtLoginPolicy::isInstalledLocation(const std::filesystem::path& executable,
                                              const std::filesystem::path& home) {
  return startsWith(executable, "/opt/Quorvin") || startsWith(executable, home / ".local/opt") ||
         executable.lexically_normal().parent_path() == "/usr/bin";
}

std::string LaunchAtLoginPolicy::desktopEntry(const std::filesystem::path& executable) {
  return "[Desktop Entry]\nType=Application\nName=Quorvin\nComment=Live token usage and cost of AI coding agents\n"
         "Exec=" +
         quotedExec(executable.string()) + "\nIcon=quorvin\nTerminal=false\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
}

int LaunchAtLoginPolicy::status() const {
  std::ifstream in(autostartFile(setup_.paths));
  if (!in) return notRegistered;
  std::stringstream text;
  text << in.rdbuf();
  // An entry the user switched off, or one for another copy of the program, is not ours.
  return text.str() == desktopEntry(setup_.executable) ? enabled : notRegistered;
}

std::optional<std::string> LaunchAtLoginPolicy::registerEntry() {
  const auto file = autostartFile(setup_.paths);
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  if (error) return "cannot create " + file.parent_path().string() + ": " + error.message();
  std::string reason;
  if (!writeFileAtomically(file, desktopEntry(setup_.executable), 0644, &reason)) return reason;
  return std::nullopt;
}

std::optional<LaunchAtLoginPolicy::Outcome> LaunchAtLoginPolicy::registerIfPackaged(UserDefaults& defaults,
                                                                                   WallTime now) {
  if (!isInstalledLocation(setup_.executable, setup_.paths.home)) return std::nullopt;
  const int initial = status();
  defaults.setString(kInitialStatusKey, name(initial));
  logLine("Quorvin launch-at-login initial status: " + name(initial));
  std::optional<std::string> registrationError;
  if (initial != enabled && initial != requiresApproval) registrationError = registerEntry();
  const int final = status();
  defaults.setString(kFinalStatusKey, name(final));
  defaults.setString(kCheckedAtKey, formatIso8601Seconds(now));
  logLine("Quorvin launch-at-login final status: " + name(final));
  Outcome outcome;
  if (final == requiresApproval) {
    outcome.needsApproval = true;
  } else if (final == enabled) {
    outcome.enabled = true;
    disableDeferredLaunchAgent();
  } else {
    const std::string message = registrationError.value_or("Service Management status is " + name(final));
    logLine("Quorvin launch-at-login registration failed: " + message);
    outcome.failure = message;
  }
  return outcome;
}

void LaunchAtLoginPolicy::disableDeferredLaunchAgent() {
  bool present = false;
  for (const auto& folder : setup_.unitFolders) {
    std::error_code error;
    present = present || std::filesystem::exists(folder / kDeferredUnit, error);
  }
  if (!present) return;
  const auto result = runHostTool({"systemctl", "--user", "disable", kDeferredUnit});
  if (!result.exitStatus) {
    logLine("Quorvin deferred launch cleanup failed: " +
            (result.startError.empty() ? std::string("the tool did not exit") : result.startError));
  } else if (*result.exitStatus != 0) {
    logLine("Quorvin deferred launch cleanup exited with status " + std::to_string(*result.exitStatus));
  }
}

}  // namespace quorvin
