#include "platform/SecretStore.h"

#include <atomic>

#include "core/Log.h"

namespace quorvin {

SecretOutcome SecretOutcome::notFound() {
  return {Status::notFound, notFoundCode, "The specified item could not be found."};
}

SecretOutcome SecretOutcome::interactionNotAllowed(std::string message) {
  return {Status::interactionNotAllowed, interactionNotAllowedCode, std::move(message)};
}

SecretOutcome SecretOutcome::userCanceled(std::string message) {
  return {Status::userCanceled, userCanceledCode, std::move(message)};
}

SecretOutcome SecretOutcome::failed(int32_t code, std::string message) {
  return {Status::failed, code, std::move(message)};
}

std::unique_ptr<SecretStore> openSecretStore(const std::filesystem::path& dataFolder) {
  if (secretServiceAvailable()) return makeSecretServiceStore();
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    logLine("Quorvin found no Secret Service on the session bus and keeps the pairing token in a private file");
  }
  return makeFileSecretStore(dataFolder / "device-credentials.json");
}

}  // namespace quorvin
