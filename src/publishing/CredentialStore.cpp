#include "publishing/CredentialStore.h"

#include <cctype>

#include "wire/Crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <fstream>
#include <random>

namespace quorvin {

namespace {

using Status = SecretOutcome::Status;

std::string statusMessage(const SecretOutcome& outcome) {
  return outcome.message.empty() ? "status " + std::to_string(outcome.code) : outcome.message;
}

std::string readMessage(const SecretOutcome& outcome) {
  return "Could not read this computer's pairing token from keyring (" + statusMessage(outcome) + ").";
}

constexpr const char* kEmptyToken = "The saved pairing token is empty or unreadable.";
constexpr const char* kUnreadableMetadata = "Keyring returned unreadable pairing metadata.";

bool needsUser(Status status) {
  return status == Status::interactionNotAllowed || status == Status::authFailed || status == Status::userCanceled;
}

std::optional<std::string> decodeToken(const std::string& bytes) {
  if (bytes.empty()) return std::nullopt;
  UErrorCode error = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<int32_t>(bytes.size()), &error);
  if (error == U_INVALID_CHAR_FOUND || error == U_ILLEGAL_ARGUMENT_ERROR) return std::nullopt;
  return bytes;
}

std::string lowerHex(const unsigned char* bytes, size_t count) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

std::optional<std::string> executableFingerprint() {
  std::ifstream in("/proc/self/exe", std::ios::binary);
  if (!in) return std::nullopt;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return std::nullopt;
  }
  char buffer[64 * 1024];
  bool ok = true;
  while (ok && in) {
    in.read(buffer, sizeof buffer);
    if (in.gcount() > 0) ok = EVP_DigestUpdate(context, buffer, static_cast<size_t>(in.gcount())) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && in.eof() && EVP_DigestFinal_ex(context, digest, &length) == 1 && length >= 12;
  EVP_MD_CTX_free(context);
  if (!ok) return std::nullopt;
  return lowerHex(digest, 12);
}

std::string randomFingerprint() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  // A version 4 UUID without its dashes.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  return lowerHex(bytes, sizeof bytes);
}

}  // namespace

StoreError StoreError::keychain(int32_t status, std::string message) {
  return StoreError(Kind::keychain, status, "Could not secure this computer's pairing token in keyring (" + message + ").");
}

StoreError StoreError::interactionControl() {
  return StoreError(Kind::interactionControl, 0, "Could not safely control keyring authorization prompts.");
}

StoreError StoreError::approvalRequired() {
  return StoreError(Kind::approvalRequired, 0, "Approve keyring access to finish removing the legacy pairing token.");
}

StoreError StoreError::cancelled() {
  return StoreError(Kind::cancelled, 0, "The credential operation was canceled.");
}

CredentialStore::CredentialStore(std::unique_ptr<SecretStore> secrets, UserDefaults& defaults, std::string fingerprint)
    : secrets_(std::move(secrets)), defaults_(defaults), account_(std::string(accountPrefix) + fingerprint) {}

std::unique_ptr<CredentialStore> CredentialStore::open(UserDefaults& defaults, const std::filesystem::path& dataFolder) {
  return std::make_unique<CredentialStore>(openSecretStore(dataFolder), defaults, buildFingerprint());
}

#ifndef QUORVIN_RELEASE_PUBLIC_KEY
#define QUORVIN_RELEASE_PUBLIC_KEY ""
#endif

std::string CredentialStore::releaseKeyFingerprint(std::string_view releaseKeyHex) {
  std::string requirement = "identifier \"";
  requirement += service;
  requirement += "\" and release key \"";
  for (char c : releaseKeyHex) requirement += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  requirement += "\"";
  return crypto::sha256Hex(requirement).substr(0, 24);
}

const std::string& CredentialStore::buildFingerprint() {
  // The release key names the build: stable across updates, so an update never forces a new
  // pairing. A build without one (a developer build) falls back to its executable's hash.
  static const std::string fingerprint = [] {
    constexpr std::string_view releaseKey = QUORVIN_RELEASE_PUBLIC_KEY;
    if (!releaseKey.empty()) return releaseKeyFingerprint(releaseKey);
    return executableFingerprint().value_or(randomFingerprint());
  }();
  return fingerprint;
}

TokenProbe CredentialStore::fromDefaults() {
  std::optional<std::string> value = defaults_.string(legacyDefaultsKey);
  if (value && !value->empty()) return TokenProbe::available({*value, TokenSource::legacyDefaults});
  return TokenProbe::missing();
}

std::pair<CredentialStore::LegacyPresence, std::string> CredentialStore::legacyCredentialPresence() {
  SecretStore::Listing listing = secrets_->list(std::string(service));
  const SecretOutcome& outcome = listing.outcome;
  if (needsUser(outcome.status)) return {LegacyPresence::present, {}};
  if (outcome.status == Status::notFound) return {LegacyPresence::absent, {}};
  if (!outcome.ok()) return {LegacyPresence::failed, readMessage(outcome)};
  if (listing.unreadable) return {LegacyPresence::failed, kUnreadableMetadata};
  for (const std::optional<std::string>& account : listing.accounts) {
    if (!account || *account == account_) continue;
    if (account->starts_with(accountPrefix)) return {LegacyPresence::present, {}};
    for (std::string_view legacy : legacyAccounts) {
      if (*account == legacy) return {LegacyPresence::present, {}};
    }
  }
  return {LegacyPresence::absent, {}};
}

TokenProbe CredentialStore::mapRead(const SecretStore::Read& read, bool scanLegacy) {
  const SecretOutcome& outcome = read.outcome;
  if (outcome.ok()) {
    std::optional<std::string> token = decodeToken(read.secret);
    if (!token) return TokenProbe::failed(kEmptyToken);
    return TokenProbe::available({std::move(*token), TokenSource::current});
  }
  if (outcome.status == Status::notFound) {
    if (!scanLegacy) return fromDefaults();
    auto [presence, message] = legacyCredentialPresence();
    switch (presence) {
      case LegacyPresence::present:
        return TokenProbe::legacyPairingRequired();
      case LegacyPresence::failed:
        return TokenProbe::failed(std::move(message));
      case LegacyPresence::absent:
        return fromDefaults();
    }
  }
  if (needsUser(outcome.status)) return TokenProbe::approvalRequired();
  return TokenProbe::failed(readMessage(outcome));
}

TokenProbe CredentialStore::probeDeviceToken() {
  return mapRead(secrets_->read(std::string(service), account_, false), true);
}

TokenProbe CredentialStore::locateDeviceToken() {
  return mapRead(secrets_->read(std::string(service), account_, interactionAllowed_.load()), false);
}

void CredentialStore::saveDeviceTokenUnlocked(std::string_view token) {
  const std::string secret(token);
  const bool prompts = interactionAllowed_.load();
  SecretOutcome outcome = secrets_->update(std::string(service), account_, secret, prompts);
  if (outcome.status == Status::notFound) outcome = secrets_->add(std::string(service), account_, secret, prompts);
  if (!outcome.ok()) throw StoreError::keychain(outcome.code, statusMessage(outcome));
  defaults_.remove(legacyDefaultsKey);
}

void CredentialStore::saveDeviceToken(std::string_view token, int64_t expectedGeneration) {
  std::lock_guard lock(mutationLock_);
  if (mutationGeneration_ != expectedGeneration) throw StoreError::cancelled();
  saveDeviceTokenUnlocked(token);
}

void CredentialStore::deleteDeviceTokens(bool allowInteraction) {
  std::lock_guard mutation(mutationLock_);
  // The old defaults value goes on every exit, also when the secret store refuses.
  struct ClearDefaults {
    UserDefaults& defaults;
    ~ClearDefaults() { defaults.remove(legacyDefaultsKey); }
  } clearDefaults{defaults_};

  SecretOutcome outcome;
  {
    std::lock_guard interaction(interactionLock_);
    if (allowInteraction) {
      outcome = secrets_->removeAll(std::string(service), interactionAllowed_.load());
    } else {
      // Prompts are off for the whole process while the deletion runs, then as they were. The
      // switch is this process's own, so setting and restoring it cannot fail (no
      // interactionControl here).
      const bool previous = interactionAllowed_.exchange(false);
      outcome = secrets_->removeAll(std::string(service), false);
      interactionAllowed_.store(previous);
    }
  }
  if (outcome.ok() || outcome.status == Status::notFound) return;
  if (needsUser(outcome.status)) throw StoreError::approvalRequired();
  throw StoreError::keychain(outcome.code, statusMessage(outcome));
}

int64_t CredentialStore::mutationGeneration() {
  std::lock_guard lock(mutationLock_);
  return mutationGeneration_;
}

int64_t CredentialStore::raiseMutationGeneration() {
  std::lock_guard lock(mutationLock_);
  return ++mutationGeneration_;
}

}  // namespace quorvin
