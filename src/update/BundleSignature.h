#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/Crypto.h"

namespace quorvin {

// The bundle's identity file "Info.json".
struct BundleInfo {
  static constexpr std::string_view kFile = "Info.json";
  static constexpr std::string_view kIdentifier = "app.quorvin.menubar";
  static constexpr std::string_view kExecutable = "quorvin";

  std::string identifier;
  std::string executable;
  std::string shortVersion;
  bool uiElement = false;
  std::optional<bool> previewBuild;  // must be present and false in a release

  static std::optional<BundleInfo> parse(std::string_view text);
  std::string serialize() const;
  // The identity, version and release flags a release of `version` must carry.
  bool matchesRelease(std::string_view version) const;
};

// "Signature.json": every file of the bundle with its SHA-256 and mode, the signing team and
// the runtime flag, signed with the release key over canonicalBytes().
struct BundleSignature {
  static constexpr std::string_view kFile = "Signature.json";
  static constexpr std::string_view kTeam = "K4T9WQ2M7B";
  static constexpr size_t kMaxBytes = 16 * 1024 * 1024;

  struct File {
    std::string path;  // relative to the bundle folder, '/'-separated
    std::string sha256;  // lower-case hex
    uint32_t mode = 0;   // permission bits
  };

  std::string team;
  bool runtime = false;
  std::vector<File> files;
  crypto::Ed25519Signature signature{};

  // No value for malformed documents, unsafe or repeated paths, or a bad signature field.
  static std::optional<BundleSignature> parse(std::string_view text);
  // The signed bytes: the document without its signature, keys in a fixed order.
  std::string canonicalBytes() const;
  std::string serialize() const;
};

// "Notarization.json": the notary key's signature over the SHA-256 of Signature.json.
struct BundleNotarization {
  static constexpr std::string_view kFile = "Notarization.json";

  std::string signatureSha256;  // lower-case hex of Signature.json's digest
  crypto::Ed25519Signature signature{};

  static std::optional<BundleNotarization> parse(std::string_view text);
  std::string serialize() const;
};

// The public halves of the release and notary keys built into the program.
struct ReleaseKeys {
  crypto::Ed25519PublicKey release{};
  crypto::Ed25519PublicKey notary{};

  static ReleaseKeys builtIn();
};

}  // namespace quorvin
