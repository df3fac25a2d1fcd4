#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvin {

// What a secret store answered. The codes are the keychain's, so callers can map them the way
// they always have; `failed` carries the host's own code and text.
struct SecretOutcome {
  enum class Status { success, notFound, interactionNotAllowed, authFailed, userCanceled, failed };
  static constexpr int32_t notFoundCode = -25300;
  static constexpr int32_t interactionNotAllowedCode = -25308;
  static constexpr int32_t authFailedCode = -25293;
  static constexpr int32_t userCanceledCode = -128;

  Status status = Status::success;
  int32_t code = 0;     // 0 on success
  std::string message;  // the host's text for the code; empty on success

  bool ok() const { return status == Status::success; }
  static SecretOutcome success() { return {}; }
  static SecretOutcome notFound();
  static SecretOutcome interactionNotAllowed(std::string message);
  static SecretOutcome userCanceled(std::string message);
  static SecretOutcome failed(int32_t code, std::string message);
};

// Per-user secret items named by the attributes `service` and `account`. Every call blocks (it may
// talk to D-Bus or the disk): run it off the model thread. `allowInteraction` false guarantees that
// no prompt is shown: an item that cannot be released without one answers interactionNotAllowed.
// With it true the store may unlock, which may prompt; a prompt the user dismissed answers
// userCanceled. Implementations are safe to call from several threads.
class SecretStore {
 public:
  virtual ~SecretStore() = default;

  struct Read {
    SecretOutcome outcome;
    std::string secret;  // the item's bytes on success (may be empty or not UTF-8)
  };
  struct Listing {
    SecretOutcome outcome;
    bool unreadable = false;  // the store answered with something it could not interpret
    std::vector<std::optional<std::string>> accounts;  // one per item; nullopt: no account attribute
  };

  // The secret of the item with exactly this service and account.
  virtual Read read(const std::string& service, const std::string& account, bool allowInteraction) = 0;
  // The accounts of every item of the service, without secrets and without ever prompting.
  virtual Listing list(const std::string& service) = 0;
  // Replaces the secret of the existing item (notFound when there is none); keeps its attributes.
  virtual SecretOutcome update(const std::string& service, const std::string& account, const std::string& secret,
                               bool allowInteraction) = 0;
  // Adds a new item.
  virtual SecretOutcome add(const std::string& service, const std::string& account, const std::string& secret,
                            bool allowInteraction) = 0;
  // Removes every item of the service, whatever its account. Items it may not touch without a
  // prompt stay and make the answer interactionNotAllowed (or userCanceled after a dismissed one).
  virtual SecretOutcome removeAll(const std::string& service, bool allowInteraction) = 0;

  // "Secret Service" or "file", for the log.
  virtual std::string name() const = 0;
};

// The Secret Service (GNOME Keyring, KWallet) over libsecret, items in the default collection.
std::unique_ptr<SecretStore> makeSecretServiceStore();

// Items in one JSON file, mode 0600, written atomically; for sessions with no Secret Service.
std::unique_ptr<SecretStore> makeFileSecretStore(std::filesystem::path file);

// Whether the session bus has a Secret Service, running or activatable. False without a bus.
bool secretServiceAvailable();

// The Secret Service when the session bus offers one, else the file store
// `dataFolder`/device-credentials.json; the second case is said once in the log.
std::unique_ptr<SecretStore> openSecretStore(const std::filesystem::path& dataFolder);

}  // namespace quorvin
