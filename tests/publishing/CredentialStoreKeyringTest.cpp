// Runs under tests/support/with-keyring: a private D-Bus session with its own gnome-keyring.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "platform/Runtime.h"
#include "platform/VirtualClock.h"
#include "publishing/AsyncCredentialStore.h"
#include "publishing/CredentialStore.h"
#include "platform/MemoryUserDefaults.h"
#include "support/PrivateKeyring.h"

namespace quorvin {
namespace {

using Kind = TokenProbe::Kind;
const std::string kService(CredentialStore::service);
const std::string kFingerprint = "0123456789abcdef01234567";
const std::string kAccount = std::string(CredentialStore::accountPrefix) + kFingerprint;

// Counts Unlock calls to the Secret Service (the only way to a prompt) as a bus monitor sees them.
// Without a display a prompt fails at once, so the outcome alone cannot show that none was tried.
class UnlockCounter {
 public:
  UnlockCounter() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    connection_ = g_dbus_connection_new_for_address_sync(
        address, static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (connection_ == nullptr) throw std::runtime_error(error->message);
    g_dbus_connection_add_filter(connection_, &UnlockCounter::filter, this, nullptr);
    const gchar* rules[] = {"type='method_call',interface='org.freedesktop.Secret.Service',member='Unlock'",
                            "type='method_call',interface='org.freedesktop.DBus.Peer',member='Ping'", nullptr};
    GVariant* reply = g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
                                                  g_variant_new("(^asu)", rules, 0u), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (reply == nullptr) throw std::runtime_error(error->message);
    g_variant_unref(reply);
  }
  ~UnlockCounter() {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }

  // Unlock calls so far. A ping on the connection libsecret uses orders everything it sent before.
  int unlocks() {
    int marker = ++marker_;
    GDBusConnection* shared = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(shared, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                  "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply != nullptr) g_variant_unref(reply);
    g_object_unref(shared);
    while (pings_.load() < marker) std::this_thread::yield();
    return unlocks_.load();
  }

 private:
  static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer self) {
    auto* counter = static_cast<UnlockCounter*>(self);
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
      return message;  // the reply to BecomeMonitor, and the like
    }
    // Monitored copies: count them and keep them from being dispatched.
    if (g_strcmp0(g_dbus_message_get_member(message), "Unlock") == 0) ++counter->unlocks_;
    if (g_strcmp0(g_dbus_message_get_member(message), "Ping") == 0) ++counter->pings_;
    g_object_unref(message);
    return nullptr;
  }

  GDBusConnection* connection_ = nullptr;
  std::atomic<int> unlocks_{0};
  std::atomic<int> pings_{0};
  int marker_ = 0;
};

class CredentialStoreKeyringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* mode = std::getenv("QUORVIN_TEST_PRIVATE_KEYRING");
    // Never against the user's own keyring: deletion removes every item of the service.
    if (mode == nullptr || std::string(mode) != "keyring") GTEST_SKIP() << "run through CTest (with-keyring)";
    secrets = makeSecretServiceStore().release();
    store = std::make_unique<CredentialStore>(std::unique_ptr<SecretStore>(secrets), defaults, kFingerprint);
  }

  std::vector<std::optional<std::string>> accounts() { return secrets->list(kService).accounts; }

  MemoryUserDefaults defaults;
  SecretStore* secrets = nullptr;  // owned by store
  std::unique_ptr<CredentialStore> store;
};

TEST_F(CredentialStoreKeyringTest, SessionOffersTheSecretService) {
  EXPECT_TRUE(secretServiceAvailable());
  auto opened = CredentialStore::open(defaults, "/nonexistent");
  EXPECT_EQ(opened->secrets().name(), "Secret Service");
  const std::string& fingerprint = CredentialStore::buildFingerprint();
  EXPECT_EQ(fingerprint.size(), 24u);
  EXPECT_EQ(fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(opened->account(), "quorvin-device-token-v4-" + fingerprint);
}

TEST_F(CredentialStoreKeyringTest, SavedTokenIsFoundAndReplacedInPlace) {
  defaults.setString("device_token", "old-defaults-token");
  store->saveDeviceToken("token-1", store->mutationGeneration());
  EXPECT_FALSE(defaults.contains("device_token"));  // migrated away after the write
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"token-1", TokenSource::current}));
  {
    std::lock_guard lock(store->interactionLock());
    EXPECT_EQ(store->locateDeviceToken(), TokenProbe::available({"token-1", TokenSource::current}));
  }

  store->saveDeviceToken("token-2 \xc3\xa9", store->mutationGeneration());
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"token-2 \xc3\xa9", TokenSource::current}));
  EXPECT_EQ(accounts(), (std::vector<std::optional<std::string>>{kAccount}));  // updated, not added twice
}

TEST_F(CredentialStoreKeyringTest, ItemsOfOtherBuildsOrEditionsRequirePairingAgain) {
  defaults.setString("device_token", "legacy");
  // Neither this build's, a v4 nor a legacy name: ignored.
  ASSERT_TRUE(secrets->add(kService, "someone-else", "x", false).ok());
  ASSERT_TRUE(secrets->add("app.other", "quorvin-device-token-v3", "x", false).ok());
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::available({"legacy", TokenSource::legacyDefaults}));

  for (std::string account : {std::string("quorvin-device-token-v4-ffffffffffffffffffffffff"),
                              std::string("quorvin-device-token-v3"), std::string("quorvin-device-token-v2"),
                              std::string("quorvin-device-token")}) {
    ASSERT_TRUE(secrets->add(kService, account, "old", false).ok());
    EXPECT_EQ(store->probeDeviceToken(), TokenProbe::legacyPairingRequired()) << account;
    // Locate skips the scan: a user-started unlock goes straight to the defaults value.
    {
      std::lock_guard lock(store->interactionLock());
      EXPECT_EQ(store->locateDeviceToken(), TokenProbe::available({"legacy", TokenSource::legacyDefaults}));
    }
    ASSERT_TRUE(secrets->removeAll(kService, false).ok());
    ASSERT_TRUE(secrets->add(kService, "someone-else", "x", false).ok());
  }
}

TEST_F(CredentialStoreKeyringTest, EmptyOrNonUtf8SecretIsUnreadableNotMissing) {
  for (std::string bad : {std::string(), std::string("\xff\xfe token")}) {
    ASSERT_TRUE(secrets->removeAll(kService, false).ok());
    ASSERT_TRUE(secrets->add(kService, kAccount, bad, false).ok());
    EXPECT_EQ(store->probeDeviceToken(), TokenProbe::failed("The saved pairing token is empty or unreadable."));
  }
}

TEST_F(CredentialStoreKeyringTest, LockedKeyringNeedsApprovalAndNeverPrompts) {
  store->saveDeviceToken("secret-token", store->mutationGeneration());
  test::lockDefaultCollection();
  UnlockCounter counter;

  auto started = std::chrono::steady_clock::now();
  TokenProbe probe = store->probeDeviceToken();
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(probe, TokenProbe::approvalRequired());
  std::cout << "probe against a locked keyring: "
            << std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() << " us\n";
  RecordProperty("locked_probe_us",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));

  // A deletion that may not prompt leaves the locked item, says so, and still drops the old value.
  defaults.setString("device_token", "legacy");
  try {
    store->deleteDeviceTokens(false);
    FAIL() << "expected approvalRequired";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::approvalRequired);
    EXPECT_STREQ(error.what(), "Approve keyring access to finish removing the legacy pairing token.");
  }
  EXPECT_FALSE(defaults.contains("device_token"));
  EXPECT_TRUE(store->interactionAllowed());  // restored after the deletion
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::approvalRequired());
  EXPECT_EQ(counter.unlocks(), 0) << "the probe and a no-prompt deletion must never ask to unlock";

  // The unlock prompt cannot show here (no display), which is what a dismissed prompt looks like:
  // locate and a prompting delete need approval, a save fails and leaves everything as it was.
  {
    std::lock_guard lock(store->interactionLock());
    EXPECT_EQ(store->locateDeviceToken(), TokenProbe::approvalRequired());
  }
  EXPECT_EQ(counter.unlocks(), 1);  // locate did ask: the counter sees unlocks
  EXPECT_THROW(store->deleteDeviceTokens(true), StoreError);
  defaults.setString("device_token", "legacy");
  try {
    store->saveDeviceToken("new-token", store->mutationGeneration());
    FAIL() << "expected a keychain error";
  } catch (const StoreError& error) {
    EXPECT_EQ(error.kind(), StoreError::Kind::keychain);
    EXPECT_EQ(error.status(), SecretOutcome::userCanceledCode);
    EXPECT_STREQ(error.what(), "Could not secure this computer's pairing token in keyring (the keyring was not unlocked).");
  }
  EXPECT_EQ(defaults.string("device_token"), "legacy");
}

TEST_F(CredentialStoreKeyringTest, LockedItemOfAnotherBuildStillCountsAsPresent) {
  ASSERT_TRUE(secrets->add(kService, "quorvin-device-token-v2", "old", false).ok());
  test::lockDefaultCollection();
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::legacyPairingRequired());
}

TEST_F(CredentialStoreKeyringTest, DeleteRemovesEveryItemOfTheServiceOnly) {
  store->saveDeviceToken("current", store->mutationGeneration());
  for (const char* account :
       {"quorvin-device-token-v4-ffffffffffffffffffffffff", "quorvin-device-token-v3", "quorvin-device-token", "other"}) {
    ASSERT_TRUE(secrets->add(kService, account, "x", false).ok());
  }
  ASSERT_TRUE(secrets->add("app.other", kAccount, "keep me", false).ok());
  defaults.setString("device_token", "legacy");

  store->deleteDeviceTokens(false);
  EXPECT_EQ(secrets->list(kService).outcome.status, SecretOutcome::Status::notFound);
  EXPECT_FALSE(defaults.contains("device_token"));
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::missing());
  SecretStore::Read other = secrets->read("app.other", kAccount, false);
  EXPECT_TRUE(other.outcome.ok());
  EXPECT_EQ(other.secret, "keep me");

  // Nothing left to delete is success, with prompts allowed or not, and still clears the value.
  defaults.setString("device_token", "legacy");
  store->deleteDeviceTokens(true);
  EXPECT_FALSE(defaults.contains("device_token"));
  store->deleteDeviceTokens(false);
}

// A session whose keyring has no default collection (the alias unset): adding must go through the
// service's own store call, which has to ask the user to create one; here the prompt cannot show.
TEST_F(CredentialStoreKeyringTest, WithoutADefaultKeyringTheSaveNeedsTheUser) {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(secret_service_set_alias_sync(service, SECRET_COLLECTION_DEFAULT, nullptr, nullptr, &error))
      << error->message;
  g_object_unref(service);

  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::missing());
  EXPECT_EQ(secrets->add(kService, kAccount, "t", false).status, SecretOutcome::Status::interactionNotAllowed);
  try {
    store->saveDeviceToken("token", store->mutationGeneration());
    FAIL() << "expected a keychain error";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.kind(), StoreError::Kind::keychain);
  }
  EXPECT_EQ(store->probeDeviceToken(), TokenProbe::missing());
}

// A pairing as the model thread runs it: the disconnect that overtakes it wins, a fresh attempt saves.
boost::asio::awaitable<void> pairingOnTheModelThread(AsyncCredentialStore& async, std::vector<std::string>& seen) {
  int64_t started = co_await async.mutationGeneration();
  co_await async.raiseMutationGeneration();  // the user disconnected meanwhile
  try {
    co_await async.save("late-token", started);
    seen.push_back("saved");
  } catch (const StoreError& error) {
    seen.push_back(error.what());
  }
  TokenProbe afterCancel = co_await async.probe();
  seen.push_back(afterCancel == TokenProbe::missing() ? "missing" : "unexpected");
  int64_t current = co_await async.mutationGeneration();
  co_await async.save("fresh-token", current);
  TokenProbe located = co_await async.locate();
  seen.push_back(located.token ? located.token->value : "none");
  co_await async.deleteAll(false);
  TokenProbe afterDelete = co_await async.probe();
  seen.push_back(afterDelete == TokenProbe::missing() ? "missing" : "unexpected");
}

TEST_F(CredentialStoreKeyringTest, ModelThreadUsesTheStoreThroughThePool) {
  Runtime runtime(2);
  VirtualClock clock;
  AsyncCredentialStore async(*store, runtime.pool());
  std::vector<std::string> seen;
  bool done = false;
  boost::asio::co_spawn(runtime.model(), pairingOnTheModelThread(async, seen),
                        [&done](std::exception_ptr error) {
                          if (error) std::rethrow_exception(error);
                          done = true;
                        });
  ASSERT_TRUE(clock.run(runtime, [&done] { return done; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"The credential operation was canceled.", "missing", "fresh-token",
                                            "missing"}));
}

}  // namespace
}  // namespace quorvin
