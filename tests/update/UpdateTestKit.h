#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "wire/Crypto.h"
#include "release/ReleaseBundle.h"

namespace quorvin::test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag = "quorvin-update")
      : path_(fs::temp_directory_path() / (tag + "-" + crypto::randomHex(6))) {
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline void writeFile(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  fs::permissions(path, mode);
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The test keys whose public halves are built in by default.
inline crypto::Ed25519Seed testReleaseKey() {
  return release::readSeedFile(fs::path(QUORVIN_TEST_DATA) / "update" / "release-test.key");
}
inline crypto::Ed25519Seed testNotaryKey() {
  return release::readSeedFile(fs::path(QUORVIN_TEST_DATA) / "update" / "notary-test.key");
}

// A small release bundle folder: an executable and a data file, sealed for `version`.
inline void makeSealedBundle(const fs::path& bundle, const std::string& version) {
  writeFile(bundle / "bin" / "quorvin", "#!/bin/sh\nexit 0\n", fs::perms(0755));
  writeFile(bundle / "share" / "quorvin" / "prices.json", "{}\n");
  release::sealRelease(bundle, version, testReleaseKey(), testNotaryKey());
}

// Publishes `tarball` as release `version` in `downloads`, with small stand-ins for the .deb
// and the source tarball (the installer never reads them).
inline void publishRelease(const fs::path& downloads, const std::string& version, const fs::path& tarball) {
  const fs::path others = downloads.parent_path() / ("others-" + crypto::randomHex(4));
  writeFile(others / "quorvin-linux.deb", "deb stand-in\n");
  writeFile(others / "quorvin-source.tar.gz", "source stand-in\n");
  release::publish(downloads, version, tarball, others / "quorvin-linux.deb", others / "quorvin-source.tar.gz");
}

}  // namespace quorvin::test
