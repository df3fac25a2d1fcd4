#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SecretStore.h"
#include "platform/UserDefaults.h"

namespace quorvin {

// Where a token came from: this build's secret item, or the old user-defaults value.
enum class TokenSource { current, legacyDefaults };

struct StoredToken {
  std::string value;  // never empty
  TokenSource source = TokenSource::current;
  bool operator==(const StoredToken&) const = default;
};

// The result of looking for the device token.
struct TokenProbe {
  enum class Kind { available, failed, missing, legacyPairingRequired, approvalRequired };

  Kind kind = Kind::missing;
  std::optional<StoredToken> token;  // with available
  std::string message;               // with failed: a finished user-facing sentence

  static TokenProbe available(StoredToken token) { return {Kind::available, std::move(token), {}}; }
  static TokenProbe failed(std::string message) { return {Kind::failed, std::nullopt, std::move(message)}; }
  static TokenProbe missing() { return {Kind::missing, std::nullopt, {}}; }
  static TokenProbe legacyPairingRequired() { return {Kind::legacyPairingRequired, std::nullopt, {}}; }
  static TokenProbe approvalRequired() { return {Kind::approvalRequired, std::nullopt, {}}; }
  bool operator==(const TokenProbe&) const = default;
};

// Thrown by writing and deleting; what() is the user-facing sentence.
class StoreError : public std::exception {
 public:
  enum class Kind { keychain, interactionControl, approvalRequired, cancelled };

  static StoreError keychain(int32_t status, std::string statusMessage);
  static StoreError interactionControl();
  static StoreError approvalRequired();
  static StoreError cancelled();

  Kind kind() const { return kind_; }
  int32_t status() const { return status_; }  // with keychain
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  StoreError(Kind kind, int32_t status, std::string text) : kind_(kind), status_(status), text_(std::move(text)) {}
  Kind kind_;
  int32_t status_;
  std::string text_;
};

// The device token in the user's secret store (the Secret Service, or a 0600 file where the session
// has none). The item is named by service "app.quorvin.menubar" and account
// "quorvin-device-token-v4-" + the build fingerprint, so a different build cannot silently read a
// token another build stored; older items and the old user-defaults value are found, reported and
// removed.
//
// Every operation blocks and never touches the network: call it on the thread pool, never on the
// model thread. The program makes one instance (its two locks and the generation are process-wide
// state); lock order is always mutationLock, then interactionLock. The user-defaults store must
// accept calls from the calling thread.
class CredentialStore {
 public:
  static constexpr std::string_view service = "app.quorvin.menubar";
  static constexpr std::string_view accountPrefix = "quorvin-device-token-v4-";
  static constexpr std::array<std::string_view, 3> legacyAccounts = {"quorvin-device-token-v3", "quorvin-device-token-v2",
                                                                     "quorvin-device-token"};
  static constexpr std::string_view legacyDefaultsKey = "device_token";

  // `fingerprint` names this build's account; the program passes buildFingerprint().
  CredentialStore(std::unique_ptr<SecretStore> secrets, UserDefaults& defaults, std::string fingerprint);

  // The store of this session (Secret Service, else the file in dataFolder) for this build.
  static std::unique_ptr<CredentialStore> open(UserDefaults& defaults, const std::filesystem::path& dataFolder);

  // The release key's fingerprint (below) when the build has a release public key built in
  // (QUORVIN_RELEASE_PUBLIC_KEY); otherwise SHA-256 of the running executable, first 12 bytes
  // as 24 lower-case hex digits, and when that cannot be read 32 random hex digits (so such a
  // build finds no token after a restart). Computed once per process.
  static const std::string& buildFingerprint();
  // The build identity of a release: SHA-256 of the requirement text
  // `identifier "app.quorvin.menubar" and release key "<hex>"`, first 12 bytes as hex.
  static std::string releaseKeyFingerprint(std::string_view releaseKeyHex);

  const std::string& account() const { return account_; }
  const SecretStore& secrets() const { return *secrets_; }

  // Looks for the token without ever prompting; takes no lock.
  TokenProbe probeDeviceToken();
  // Looks for the token and may prompt to unlock. The caller holds interactionLock().
  TokenProbe locateDeviceToken();
  // Stores the token under this build's account, then removes the legacy user-defaults value.
  // The caller holds mutationLock() and has just checked the generation; throws StoreError.
  void saveDeviceTokenUnlocked(std::string_view token);
  // The checked save: under mutationLock(), throws cancelled without writing when the generation
  // moved past `expectedGeneration` (a disconnect or revocation overtook the pairing).
  void saveDeviceToken(std::string_view token, int64_t expectedGeneration);
  // Removes every item of the service and the legacy user-defaults value; takes both locks. Without
  // allowInteraction nothing in this process may prompt while it runs. Throws StoreError.
  void deleteDeviceTokens(bool allowInteraction);

  std::mutex& mutationLock() { return mutationLock_; }
  std::mutex& interactionLock() { return interactionLock_; }
  // Under mutationLock().
  int64_t mutationGenerationUnlocked() const { return mutationGeneration_; }
  void raiseMutationGenerationUnlocked() { ++mutationGeneration_; }
  // Take mutationLock() themselves.
  int64_t mutationGeneration();
  int64_t raiseMutationGeneration();  // returns the new value

  // The process-wide switch that allows prompts (on unless a deletion without interaction runs).
  bool interactionAllowed() const { return interactionAllowed_.load(); }

 private:
  enum class LegacyPresence { present, absent, failed };
  TokenProbe fromDefaults();
  std::pair<LegacyPresence, std::string> legacyCredentialPresence();
  TokenProbe mapRead(const SecretStore::Read& read, bool scanLegacy);

  std::unique_ptr<SecretStore> secrets_;
  UserDefaults& defaults_;
  std::string account_;
  std::mutex mutationLock_;
  std::mutex interactionLock_;
  int64_t mutationGeneration_ = 0;
  std::atomic<bool> interactionAllowed_{true};
};

}  // namespace quorvin
