// Status mapping for answers a real keyring cannot be made to give on demand (authentication
// failures, bus errors, unreadable metadata); the keyring and file tests cover the rest.
#include <gtest/gtest.h>

#include <deque>

#include "publishing/CredentialStore.h"
#include "platform/MemoryUserDefaults.h"

namespace quorvin {
namespace {

using Status = SecretOutcome::Status;

// Answers from a script; records the prompt permission of every call.
class ScriptedSecretStore final : public SecretStore {
 public:
  explicit ScriptedSecretStore(const CredentialStore* const* owner) : owner_(owner) {}

  Read readAnswer;
  Listing listAnswer;
  std::deque<SecretOutcome> writeAnswers;  // update, then add
  SecretOutcome removeAnswer;
  std::vector<std::string> calls;
  std::vector<bool> switchDuringRemove;

  Read read(const std::string&, const std::string&, bool allow) override {
    calls.push_back(allow ? "read+prompt" : "read");
    return readAnswer;
  }
  Listing list(const std::string&) override {
    calls.push_back("list");
    return listAnswer;
  }
  SecretOutcome update(const std::string&, const std::string&, const std::string&, bool) override {
    calls.push_back("update");
    return next();
  }
  SecretOutcome add(const std::string&, const std::string&, const std::string&, bool) override {
    calls.push_back("add");
    return next();
  }
  SecretOutcome removeAll(const std::string&, bool allow) override {
    calls.push_back(allow ? "remove+prompt" : "remove");
    switchDuringRemove.push_back((*owner_)->interactionAllowed());
    return removeAnswer;
  }
  std::string name() const override { return "scripted"; }

 private:
  SecretOutcome next() {
    SecretOutcome outcome = writeAnswers.empty() ? SecretOutcome::success() : writeAnswers.front();
    if (!writeAnswers.empty()) writeAnswers.pop_front();
    return outcome;
  }
  const CredentialStore* const* owner_;
};

class CredentialStoreStatusTest : public ::testing::Test {
 protected:
  CredentialStoreStatusTest() {
    auto scripted = std::make_unique<ScriptedSecretStore>(&ownerView);
    secrets = scripted.get();
    store = std::make_unique<CredentialStore>(std::move(scripted), defaults, "0123456789abcdef01234567");
    ownerView = store.get();
  }

  MemoryUserDefaults defaults;
  const CredentialStore* ownerView = nullptr;
  ScriptedSecretStore* secrets = nullptr;
  std::unique_ptr<CredentialStore> store;
};

TEST_F(CredentialStoreStatusTest, ReadAnswersMapToProbes) {
  secrets->readAnswer.outcome = {Status::authFailed, SecretOutcome::authFailedCode, "denied"};
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::approvalRequired());
  secrets->readAnswer.outcome = SecretOutcome::userCanceled("dismissed");
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::approvalRequired());

  secrets->readAnswer.outcome = SecretOutcome::failed(5, "Remote peer disconnected");
  EXPECT_EQ(store->probeDeviceToken(),
            TokenProbe::failed("Could not read this computer's pairing token from keyring (Remote peer disconnected)."));
  secrets->readAnswer.outcome = SecretOutcome::failed(-3, "");  // a code without the host's text
  EXPECT_EQ(store->probeDeviceToken(),
            TokenProbe::failed("Could not read this computer's pairing token from keyring (status -3)."));

  // The probe never asks for prompts; locate does, and skips the legacy scan.
  secrets->readAnswer.outcome = SecretOutcome::notFound();
  secrets->listAnswer.outcome = SecretOutcome::success();
  secrets->listAnswer.accounts = {std::string("quorvin-device-token-v2")};
  secrets->calls.clear();
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::legacyPairingRequired());
  EXPECT_EQ(store->locateDeviceToken(), TokenProbe::missing());
  EXPECT_EQ(secrets->calls, (std::vector<std::string>{"read", "list", "read+prompt"}));
}

TEST_F(CredentialStoreStatusTest, LegacyScanAnswersMapToProbes) {
  secrets->readAnswer.outcome = SecretOutcome::notFound();
  defaults.setString("device_token", "legacy");
  const TokenProbe fromDefaults = TokenProbe::available({"legacy", TokenSource::legacyDefaults});

  secrets->listAnswer = {SecretOutcome::interactionNotAllowed("locked"), false, {}};
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::legacyPairingRequired());
  secrets->listAnswer = {SecretOutcome::failed(9, "bus gone"), false, {}};
  EXPECT_EQ(store->probeDeviceToken(),
            TokenProbe::failed("Could not read this computer's pairing token from keyring (bus gone)."));
  secrets->listAnswer = {SecretOutcome::success(), true, {}};
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::failed("Keyring returned unreadable pairing metadata."));
  // This build's own account, items without one and unrelated names do not count.
  secrets->listAnswer = {SecretOutcome::success(), false,
                         {std::nullopt, store->account(), std::string("quorvin-device-token-v5"),
                          std::string("quorvin-device-token-v4")}};
  EXPECT_EQ(store->probeDeviceToken(), fromDefaults);
  secrets->listAnswer = {SecretOutcome::success(), false, {}};
  EXPECT_EQ(store->probeDeviceToken(), fromDefaults);
}

TEST_F(CredentialStoreStatusTest, FailedSaveKeepsTheDefaultsValue) {
  defaults.setString("device_token", "legacy");
  secrets->writeAnswers = {SecretOutcome::notFound(), SecretOutcome::failed(13, "No such interface")};
  try {
    store->saveDeviceToken("t", 0);
    FAIL();
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::keychain);
    EXPECT_EQ(error.status(), 13);
    EXPECT_STREQ(error.what(), "Could not secure this computer's pairing token in keyring (No such interface).");
  }
  EXPECT_EQ(secrets->calls, (std::vector<std::string>{"update", "add"}));
  EXPECT_EQ(defaults.string("device_token"), "legacy");

  // An update that fails for another reason does not fall through to adding a second item.
  secrets->calls.clear();
  secrets->writeAnswers = {SecretOutcome::interactionNotAllowed("locked")};
  EXPECT_THROW(store->saveDeviceToken("t", 0), StoreError);
  EXPECT_EQ(secrets->calls, (std::vector<std::string>{"update"}));
}

TEST_F(CredentialStoreStatusTest, DeleteMapsAnswersAndSwitchesPromptsOffMeanwhile) {
  for (SecretOutcome ok : {SecretOutcome::success(), SecretOutcome::notFound()}) {
    secrets->removeAnswer = ok;
    EXPECT_NO_THROW(store->deleteDeviceTokens(false));
  }
  EXPECT_EQ(secrets->switchDuringRemove, (std::vector<bool>{false, false}));
  EXPECT_TRUE(store->interactionAllowed());

  secrets->removeAnswer = {Status::authFailed, SecretOutcome::authFailedCode, "denied"};
  defaults.setString("device_token", "legacy");
  try {
    store->deleteDeviceTokens(true);
    FAIL();
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::approvalRequired);
  }
  EXPECT_FALSE(defaults.contains("device_token"));
  EXPECT_EQ(secrets->calls.back(), "remove+prompt");
  EXPECT_TRUE(secrets->switchDuringRemove.back());

  secrets->removeAnswer = SecretOutcome::failed(-1, "");
  defaults.setString("device_token", "legacy");
  try {
    store->deleteDeviceTokens(false);
    FAIL();
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::keychain);
    EXPECT_STREQ(error.what(), "Could not secure this computer's pairing token in keyring (status -1).");
  }
  EXPECT_FALSE(defaults.contains("device_token"));
  EXPECT_TRUE(store->interactionAllowed());  // restored on the failing path too
  // Both locks are free again.
  EXPECT_TRUE(store->mutationLock().try_lock());
  store->mutationLock().unlock();
  EXPECT_TRUE(store->interactionLock().try_lock());
  store->interactionLock().unlock();
}

}  // namespace
}  // namespace quorvin
