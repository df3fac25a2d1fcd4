#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/HttpClient.h"

namespace quorvin {

// Asks the service whether a newer release exists. Stateless: the update flow drives it.
// Every failure (network, status, JSON, readiness, version, URL) is "no update".
struct UpdateChecker {
  static constexpr std::string_view kManifestFile = "quorvin-linux.manifest.json";
  static constexpr std::string_view kTarballFile = "quorvin-linux.tar.gz";
  static constexpr std::string_view kDebFile = "quorvin-linux.deb";
  static constexpr std::string_view kSourceFile = "quorvin-source.tar.gz";
  // A manifest is a few hundred bytes; anything near this is not one.
  static constexpr size_t kMaxManifestBytes = 64 * 1024;

  struct Artifact {
    std::string file;
    int64_t size = 0;
    std::string sha256;
    bool isSigned = false;
    bool notarized = false;

    bool operator==(const Artifact&) const = default;
  };

  struct Manifest {
    std::string appVersion;
    bool verified = false;
    Artifact tarball;  // the one installed
    Artifact deb;
    Artifact source;

    // Complete, verified, signed and notarized; every artifact is checked, not only the tarball.
    bool releaseReady() const;
  };

  struct AvailableUpdate {
    std::string version;
    Artifact artifact;  // the tarball
    std::string downloadURL;

    bool operator==(const AvailableUpdate&) const = default;
  };

  // What one check learnt: the update, if any, and why the service gave no usable answer
  // (none when it answered with a manifest, newer or not).
  struct CheckOutcome {
    std::optional<AvailableUpdate> update;
    std::optional<std::string> failure;
  };

  // `api`: the service base URL without a trailing slash; `current`: the running version.
  static boost::asio::awaitable<std::optional<AvailableUpdate>> availableUpdate(HttpClient& http, std::string api,
                                                                                std::string current);
  static boost::asio::awaitable<CheckOutcome> check(HttpClient& http, std::string api, std::string current);
  // Dotted numbers compared position by position; a piece that is not a plain integer counts as 0.
  static bool isNewer(std::string_view candidate, std::string_view current);

  // Decodes a manifest document; unknown keys are ignored, a missing or mistyped key fails.
  static std::optional<Manifest> decode(std::string_view body);
  // decode + releaseReady + a usable, newer version.
  static std::optional<Manifest> trustedManifest(std::string_view body, std::string_view current);
  // A version that is safe to put in a file name and a status text.
  static bool isUsableVersion(std::string_view version);
};

}  // namespace quorvin
