#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin {

// Where the program's files live, by the XDG base directory rules.
struct Paths {
  using Environment = std::function<std::optional<std::string>(std::string_view)>;

  std::filesystem::path home;        // $HOME, else the password database
  std::filesystem::path configHome;  // $XDG_CONFIG_HOME, else ~/.config
  std::filesystem::path dataHome;    // $XDG_DATA_HOME, else ~/.local/share
  std::optional<std::filesystem::path> runtimeDir;  // $XDG_RUNTIME_DIR; none when unset

  // The process environment.
  static Paths fromEnvironment();
  // `environment` answers variable lookups (tests pass their own). XDG variables that are
  // empty or relative are ignored, as the base directory rules require.
  static Paths resolve(const Environment& environment);

  std::filesystem::path appConfigDir() const { return configHome / "quorvin"; }
  // The application's data folder: ledgers, keys, the update folder.
  std::filesystem::path appDataDir() const { return dataHome / "quorvin"; }
  std::optional<std::filesystem::path> appRuntimeDir() const;
  std::filesystem::path defaultsFile() const { return appConfigDir() / "defaults.json"; }
};

// Creates `dir` and its missing parents. Folders this creates get mode 0700; an existing
// `dir` is tightened to 0700 when the user owns it. False when `dir` is not a usable folder.
bool ensurePrivateDirectory(const std::filesystem::path& dir);

}  // namespace quorvin
