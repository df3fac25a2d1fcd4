#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvin::CursorCredentials {

struct Credentials {
  std::string cookie;      // the whole Cookie header value; a secret, never logged
  std::string accountKey;  // lower-case hex SHA-256 of the account subject
  bool operator==(const Credentials&) const = default;
};

// Where the editor keeps its sign-in on this host.
struct Locations {
  std::filesystem::path stateDatabase;  // Cursor's state.vscdb (SQLite)
  std::filesystem::path cliConfig;      // ~/.cursor/cli-config.json

  // $XDG_CONFIG_HOME (default ~/.config)/Cursor/User/globalStorage/state.vscdb, like the
  // editor itself, and the command-line tool's file under the home directory.
  static Locations forHome(const std::filesystem::path& home, const std::filesystem::path& configHome);
};

// Reads the signed-in account read-only; nothing when signed out or anything is off.
std::optional<Credentials> credentials(const Locations& where);

std::optional<std::string> readAccessToken(const std::filesystem::path& stateDatabase);
bool validAccessToken(std::string_view token);
std::optional<std::string> jwtSubject(std::string_view token);
std::optional<std::string> readCliConfigSubject(const std::filesystem::path& cliConfig);
std::optional<std::string> normalizeSubject(std::string_view subject);
std::optional<std::string> sessionCookie(std::string_view accessToken, std::string_view subject);
std::string accountKey(std::string_view normalizedSubject);

}  // namespace quorvin::CursorCredentials
