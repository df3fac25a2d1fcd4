#pragma once

#include <filesystem>

#include "wire/Crypto.h"

namespace quorvin {

inline constexpr const char* oracleKeyFileName = "oracle-ed25519.key";

// The machine's signing seed: exactly 32 raw bytes in `dataDir`/oracle-ed25519.key.
// A missing, unreadable or malformed file is replaced by a new key, written atomically
// with mode 0600. Creation errors throw std::filesystem::filesystem_error.
crypto::Ed25519Seed loadOrCreateOracleKey(const std::filesystem::path& dataDir);

}  // namespace quorvin
