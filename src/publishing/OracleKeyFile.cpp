#include "publishing/OracleKeyFile.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/BoundedFileRead.h"

namespace quorvin {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

}  // namespace

crypto::Ed25519Seed loadOrCreateOracleKey(const fs::path& dataDir) {
  const fs::path file = dataDir / oracleKeyFileName;
  crypto::Ed25519Seed seed{};
  // One byte more than a key tells a longer file from a valid one.
  const FileRead read = readFileWithin(file, seed.size() + 1, FollowLinks::no);
  switch (read.outcome) {
    case FileRead::Outcome::ok:
      if (read.bytes.size() != seed.size()) break;  // a regular file of the wrong length
      std::copy(read.bytes.begin(), read.bytes.end(), seed.begin());
      if (!crypto::ed25519PublicKey(seed)) fail("the oracle key is unusable", file, EINVAL);
      return seed;
    case FileRead::Outcome::missing:
    case FileRead::Outcome::tooLarge:
      break;
    case FileRead::Outcome::notRegular:
      fail("the oracle key is not a regular file", file, EINVAL);
    case FileRead::Outcome::unreadable:
      fail("cannot read the oracle key", file, read.error);
  }
  fs::create_directories(dataDir);
  removeStaleTemporaries(file);
  seed = crypto::ed25519GenerateSeed();
  const std::string bytes(seed.begin(), seed.end());
  std::string error;
  if (!writeFileAtomically(file, bytes, 0600, &error)) {
    fail("cannot store the oracle key (" + error + ")", file, errno != 0 ? errno : EIO);
  }
  return seed;
}

}  // namespace quorvin
