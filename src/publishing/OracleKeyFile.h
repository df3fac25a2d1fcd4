#pragma once

#include <filesystem>

#include "wire/Crypto.h"

namespace quorvin {

inline constexpr const char* oracleKeyFileName = "oracle-ed25519.key";

// The machine's signing seed: exactly 32 raw bytes in `dataDir`/oracle-ed25519.key.
// Only a missing file or a regular file of another length is replaced by a new key, written
// atomically with mode 0600: a key that merely cannot be read now (permissions, a symbolic
// link, a folder) would lose the profile's chain for good if replaced, so it is an error
// that changes nothing on disk. Errors throw std::filesystem::filesystem_error.
crypto::Ed25519Seed loadOrCreateOracleKey(const std::filesystem::path& dataDir);

}  // namespace quorvin
