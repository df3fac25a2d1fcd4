#pragma once

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
  std::optional<std::string> autoApproveHandle;  // approve every pair code for this account
  unsigned ioThreads = 1;

  bool tls() const { return tlsCert.has_value(); }
};

}  // namespace quorvin::server
