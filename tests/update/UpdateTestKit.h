#pragma once

#include <string>

#include "release/ReleaseBundle.h"
#include "support/TempFolder.h"
#include "wire/Crypto.h"

namespace quorvin::test {

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
