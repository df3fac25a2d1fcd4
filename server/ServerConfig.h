#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace quorvin::server {

struct ServerConfig {
  std::filesystem::path dataDir;
  std::string listenAddress = "127.0.0.1";
  uint16_t port = 8443;  // 0 picks a free port (tests)
  std::optional<std::filesystem::path> tlsCert;
  std::optional<std::filesystem::path> tlsKey;
  std::string publicUrl;  // the origin users reach; derived from the listen address when empty
  std::optional<std::filesystem::path> downloadsDir;
  std::optional<std::string> autoApproveHandle;  // approve pair codes for this account (see enrolSecret)
  // When set, only a pairing that presents this secret is approved automatically; without it
  // automatic approval is allowed on a loopback listener only.
  std::optional<std::string> enrolSecret;
  unsigned ioThreads = 1;
  size_t maxConnections = 2048;
  size_t maxConnectionsPerAddress = 64;
  size_t maxUnfinishedBodyBytes = 64u << 20;

  bool tls() const { return tlsCert.has_value(); }
  bool loopbackListener() const;
};

// Why the service must not start with this configuration, or no value.
std::optional<std::string> configProblem(const ServerConfig& config);
// Creates the data folder (mode 0700) when missing, never changes an existing folder's mode,
// and refuses one that other users could write to. The reason when the service must not start.
std::optional<std::string> prepareDataFolder(const std::filesystem::path& dir);

}  // namespace quorvin::server
