// The manager's credential unlock against a locked keyring (a private gnome-keyring, locked
// the way a screen lock leaves it), on a virtual clock. Runs under tests/support/with-keyring.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <cstdlib>

#include "platform/CurlHttpClient.h"
#include "platform/MemoryUserDefaults.h"
#include "platform/Runtime.h"
#include "platform/SecretStore.h"
#include "platform/VirtualClock.h"
#include "publishing/ConnectionManager.h"
#include "publishing/CredentialStore.h"
#include "publishing/ScriptedUsageFeed.h"
#include "support/LoopbackHttpServer.h"
#include "support/PrivateKeyring.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;

constexpr const char* kOpenToRetry = "Open Quorvin in the tray and choose Retry keyring to resume streaming.";
constexpr const char* kWaiting = "Waiting for the system keyring approval.";
constexpr const char* kStillOpen = "The keyring prompt is still open. Approve or dismiss it to continue.";
constexpr const char* kDeclined = "Keyring approval is required to resume streaming.";
constexpr const char* kNotApproved = "Keyring access was not approved. Retry it, or pair this computer again.";

class ConnectionManagerKeyringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* mode = std::getenv("QUORVIN_TEST_PRIVATE_KEYRING");
    if (mode == nullptr || std::string(mode) != "keyring") GTEST_SKIP() << "run through CTest (with-keyring)";
    store_ = std::make_unique<CredentialStore>(makeSecretServiceStore(), defaults_, "0123456789abcdef01234567");
    credentials_ = std::make_unique<AsyncCredentialStore>(*store_, runtime_.pool());
    server_.route("*", "/api/ingest", [this](const test::TestHttpRequest&) {
      ++ingests_;
      return test::TestHttpReply{200, {}, "{}"};
    });
    // Paired earlier; the screen lock has locked the keyring since.
    store_->saveDeviceToken("device-token", store_->mutationGeneration());
    defaults_.setString("login", "alice");
    test::lockDefaultCollection();

    ConnectionManager::Services services{runtime_, clock_, http_, defaults_, *credentials_, feed_,
                                         nullptr, nullptr, server_.baseUrl(), API::Publisher{"p", "1"}};
    manager_ = std::make_unique<ConnectionManager>(std::move(services), PairingDependencies{}, true);
    ConnectionManager::Callbacks callbacks;
    callbacks.needsAttention = [this] { ++attention_; };
    callbacks.requestCredentialApproval = [this](CredentialApprovalPurpose) -> boost::asio::awaitable<bool> {
      co_return approve_;
    };
    manager_->setCallbacks(std::move(callbacks));
  }
  void TearDown() override {
    if (!manager_) return;
    post([this] { manager_->cancelAll(); });
    clock_.run(runtime_, [this] { return manager_->allTasksEnded(); });
  }

  template <class F>
  void post(F f) {
    boost::asio::post(runtime_.model(), std::move(f));
  }
  bool drive(const std::function<bool()>& done) { return clock_.run(runtime_, done); }
  const ConnectionState& state() { return manager_->state(); }
  bool unlockEnded() { return !state().isUnlockingCredential && !state().isProbingCredential; }

  test::TestCertificates certs_;
  test::LoopbackHttpServer server_{certs_};
  Runtime runtime_{2};
  VirtualClock clock_;
  MemoryUserDefaults defaults_;
  CurlHttpClient http_{CurlHttpClient::Options{.caFile = certs_.caFile(), .pending = &runtime_.pending()}};
  std::unique_ptr<CredentialStore> store_;
  std::unique_ptr<AsyncCredentialStore> credentials_;
  test::ScriptedUsageFeed feed_{clock_};
  std::unique_ptr<ConnectionManager> manager_;
  std::atomic<int> ingests_{0};
  int attention_ = 0;
  bool approve_ = true;
};

TEST_F(ConnectionManagerKeyringTest, LaunchNeverPromptsAndAUserRetryRemindsAfter45Seconds) {
  // At launch: no prompt, a way to retry, one request for attention, nothing published.
  post([this] { manager_->start(); });
  ASSERT_TRUE(drive([this] { return state().lastError.has_value() && unlockEnded(); }));
  EXPECT_EQ(state().lastError, kOpenToRetry);
  EXPECT_EQ(attention_, 1);
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::disconnected));
  EXPECT_EQ(state().login, "alice");
  EXPECT_FALSE(manager_->deviceToken());

  // The user retries but declines the prompt.
  approve_ = false;
  post([this] { manager_->retryCredentialUnlock(true); });
  ASSERT_TRUE(drive([this] { return state().lastError == kDeclined; }));
  EXPECT_TRUE(unlockEnded());

  // The user retries and allows the prompt; it stays open (the store's interaction lock is
  // held as a prompt would hold it). After 45 s the reminder shows, and the unlock keeps waiting.
  approve_ = true;
  {
    std::unique_lock prompt(store_->interactionLock());
    post([this] { manager_->retryCredentialUnlock(true); });
    ASSERT_TRUE(drive([this] { return state().lastError == kWaiting && clock_.sleepers() > 0; }));
    // (The prompt's work is in flight, so the model is polled by hand rather than driven.)
    clock_.advance(44s);
    runtime_.modelContext().restart();
    runtime_.modelContext().poll();
    EXPECT_EQ(state().lastError, kWaiting);
    clock_.advance(1s);
    ASSERT_TRUE(drive([this] { return state().lastError == kStillOpen; }));
    EXPECT_TRUE(state().isUnlockingCredential);
  }
  // Without a display the prompt ends unapproved.
  ASSERT_TRUE(drive([this] { return unlockEnded(); }));
  EXPECT_EQ(state().lastError, kNotApproved);
  EXPECT_TRUE(state().status.is(ConnectionStatus::Kind::disconnected));
  EXPECT_EQ(ingests_.load(), 0);
  // The token is still there for a later, approved unlock.
  EXPECT_EQ(store_->probeDeviceToken(), TokenProbe::approvalRequired());
}

}  // namespace
}  // namespace quorvin
