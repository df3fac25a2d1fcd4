#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "wire/Crypto.h"
#include "update/BundleSignature.h"
#include "update/UpdateChecker.h"

namespace quorvin::release {

// Reads an Ed25519 seed kept as 64 hex digits (surrounding white space ignored).
// Throws std::runtime_error when the file is unreadable or malformed.
crypto::Ed25519Seed readSeedFile(const std::filesystem::path& path);

// Writes the bundle's Info.json.
void writeInfo(const std::filesystem::path& bundle, const BundleInfo& info);
// Lists every regular file of the bundle (all but the two signature files) with its digest
// and mode, and signs the list with the release key. Refuses links and special files.
void signBundle(const std::filesystem::path& bundle, const crypto::Ed25519Seed& releaseKey,
                std::string team = std::string(BundleSignature::kTeam), bool runtime = true);
// Signs the digest of Signature.json with the notary key.
void notarizeBundle(const std::filesystem::path& bundle, const crypto::Ed25519Seed& notaryKey);
// All three for a release of `version`.
void sealRelease(const std::filesystem::path& bundle, const std::string& version, const crypto::Ed25519Seed& releaseKey,
                 const crypto::Ed25519Seed& notaryKey);

// One entry added to a tarball beside the bundle's own files (tests build hostile archives).
struct ExtraEntry {
  enum class Type { file, directory, symlink, hardlink };
  std::string name;
  Type type = Type::file;
  std::string contentOrTarget;
};
// Writes a gzip tarball whose entries are "Quorvin/..." for every file and folder of
// `bundle` (keeping modes), followed by `extra`.
void packTarball(const std::filesystem::path& bundle, const std::filesystem::path& tarball,
                 const std::vector<ExtraEntry>& extra = {});

// The manifest entry for a published file.
UpdateChecker::Artifact describeArtifact(const std::filesystem::path& file);
// Copies the three artifacts into `downloads` under their fixed names and writes the
// manifest; the manifest is written last, so a reader never sees it before its files.
void publish(const std::filesystem::path& downloads, const std::string& version, const std::filesystem::path& tarball,
             const std::filesystem::path& deb, const std::filesystem::path& source);

}  // namespace quorvin::release
