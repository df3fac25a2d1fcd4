#pragma once

#include <optional>
#include <string>

#include "wire/IngestBody.h"

namespace quorvin::server {

// Limits an upload must respect before anything of it is stored.
struct IngestLimits {
  static constexpr int64_t maxCount = 1LL << 53;  // exact in a double, so every reader agrees
  static constexpr double maxCost = 1e12;
  static constexpr size_t maxRows = 512;
  static constexpr size_t maxName = 640;  // bytes: a client name is at most 160 characters and 640 bytes
  static constexpr size_t maxText = 64;
};

// The reason an upload is implausible, or no value when it may be stored.
std::optional<std::string> implausibility(const API::IngestUpload& upload);

}  // namespace quorvin::server
