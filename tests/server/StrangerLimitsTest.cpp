#include <gtest/gtest.h>

#include <filesystem>

#include "platform/VirtualClock.h"
#include "server/Service.h"
#include "server/routes/Routes.h"
#include "support/TempFolder.h"
#include "wire/Crypto.h"
#include "wire/OracleRecords.h"
#include "wire/ServiceRecords.h"

namespace quorvin::server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The service's routes called directly, as the database thread calls them, with requests from
// chosen client addresses and a virtual clock.
class StrangerLimits : public ::testing::Test {
 protected:
  void TearDown() override { service_.reset(); }
  void start(ServerConfig config = {}) {
    config.dataDir = dir_;
    service_ = std::make_unique<Service>(config, clock_);
    aliceSecret_ = *service_->accounts().addAccount("alice", service_->nowMs());
  }
  Response call(const std::string& method, const std::string& target, const std::string& from,
                std::string body = {}, std::string enrol = {}) {
    Request r;
    r.method = method;
    const auto q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) {
      for (const auto& [k, v] : parseForm(target.substr(q + 1))) r.query[k] = v;
    }
    r.clientAddress = from;
    r.body = std::move(body);
    r.enrolSecret = std::move(enrol);
    r.forwarded = forwarded_;
    return service_->handle(r);
  }
  // {code, device secret} of a new pairing.
  std::pair<std::string, std::string> newPair(const std::string& from, const std::string& enrol = {}) {
    auto answer = call("GET", "/api/connect/pair?protocol=2", from, {}, enrol);
    EXPECT_EQ(answer.status, 200u) << answer.body;
    if (answer.status != 200) return {};
    auto pair = API::decodePair(answer.body);
    EXPECT_TRUE(pair);
    return pair ? std::make_pair(pair->code, pair->deviceSecret) : std::pair<std::string, std::string>{};
  }
  Response poll(const std::string& from, const std::string& code, const std::string& secret) {
    Request r;
    r.method = "GET";
    r.path = "/api/connect/pair";
    r.query["code"] = code;
    r.deviceSecret = secret;
    r.clientAddress = from;
    return service_->handle(r);
  }

  test::TempFolder folder_{"quorvin-limits"};
  fs::path dir_ = folder_.path();
  VirtualClock clock_;
  std::unique_ptr<Service> service_;
  std::string aliceSecret_;
  bool forwarded_ = false;
};

TEST_F(StrangerLimits, AutoApprovalNeedsLoopbackOrTheEnrolmentSecret) {
  ServerConfig config;
  config.autoApproveHandle = "alice";
  start(config);
  auto local = newPair("127.0.0.1");
  EXPECT_NE(poll("127.0.0.1", local.first, local.second).body.find("approved"), std::string::npos);
  forwarded_ = true;
  auto proxied = newPair("127.0.0.1");
  EXPECT_NE(poll("127.0.0.1", proxied.first, proxied.second).body.find("pending"), std::string::npos)
      << "a stranger behind a proxy on this computer";
  forwarded_ = false;

  service_.reset();
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  config.listenAddress = "0.0.0.0";
  config.autoApproveHandle = "alice";
  start(config);
  auto [code, secret] = newPair("198.51.100.7");
  EXPECT_NE(poll("198.51.100.7", code, secret).body.find("pending"), std::string::npos)
      << "a stranger reaching a public port is not approved";

  service_.reset();
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  config.enrolSecret = "the-operators-enrol-secret";
  start(config);
  auto wrong = newPair("198.51.100.7", "the-operators-enrol-secreT");
  EXPECT_NE(poll("198.51.100.7", wrong.first, wrong.second).body.find("pending"), std::string::npos);
  auto right = newPair("198.51.100.8", "the-operators-enrol-secret");
  EXPECT_NE(poll("198.51.100.8", right.first, right.second).body.find("approved"), std::string::npos);
}

TEST_F(StrangerLimits, PairCodesArePerAddressAndForeignCodesKeepNoState) {
  start();
  int created = 0;
  for (int i = 0; i < 30; ++i) created += call("GET", "/api/connect/pair?protocol=2", "203.0.113.1").status == 200;
  EXPECT_EQ(created, 10);
  EXPECT_EQ(call("GET", "/api/connect/pair?protocol=2", "203.0.113.2").status, 200u) << "others still pair";
  clock_.advance(10s);
  EXPECT_EQ(call("GET", "/api/connect/pair?protocol=2", "203.0.113.1").status, 200u);

  // 15,500-character codes from one client: refused before any table grows.
  const size_t before = service_->limiters().polls.tracked();
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(poll("203.0.113.9", std::string(15'500, 'A') + std::to_string(i), "x").status, 404u);
  }
  EXPECT_EQ(service_->limiters().polls.tracked(), before);
  EXPECT_EQ(service_->limiters().failuresByAddress.tracked(), 0u);
}

TEST_F(StrangerLimits, GuessesAreLimitedAndStrangersCannotSpendTheAppsPolls) {
  start();
  auto [code, secret] = newPair("192.0.2.10");
  // A stranger who knows the code: wrong secrets look like unknown codes, and soon stop.
  EXPECT_EQ(poll("198.51.100.1", code, "guess").status, poll("198.51.100.1", "ZZZZ-2222", "guess").status);
  int refused = 0;
  for (int i = 0; i < 30; ++i) refused += poll("198.51.100.1", code, "guess").status == 429;
  EXPECT_GT(refused, 15);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(poll("192.0.2.10", code, secret).status, 200u) << "the app's own polls are untouched";
    clock_.advance(3s);
  }

  // Wrong account secrets: limited per address, then per account across addresses.
  const std::string wrong = "handle=alice&secret=nope";
  int forbidden = 0, limited = 0;
  for (int i = 0; i < 20; ++i) {
    const auto status = call("POST", "/connect", "198.51.100.2", wrong).status;
    forbidden += status == 403;
    limited += status == 429;
  }
  EXPECT_EQ(forbidden, 10);
  EXPECT_EQ(limited, 10);
  EXPECT_EQ(call("POST", "/connect", "198.51.100.2", "handle=alice&secret=" + aliceSecret_).status, 429u)
      << "past the budget the secret is not even checked";
  EXPECT_EQ(call("POST", "/connect", "192.0.2.10", "handle=alice&secret=" + aliceSecret_).status, 200u);
  for (int a = 0; a < 40; ++a) call("POST", "/pair/" + code, "203.0.113." + std::to_string(a), wrong);
  EXPECT_EQ(call("POST", "/connect", "192.0.2.99", "handle=alice&secret=" + aliceSecret_).status, 429u)
      << "an account under attack from many addresses is locked for a while";
  clock_.advance(10min);
  EXPECT_EQ(call("POST", "/connect", "192.0.2.99", "handle=alice&secret=" + aliceSecret_).status, 200u);
}

TEST_F(StrangerLimits, CheckpointsOnlyMoveForward) {
  start();
  service_->accounts().addPairCode({"AAAA-BBBB", crypto::sha256Hex("s"), 0, service_->nowMs() + 600'000,
                                    service_->accounts().account("alice")->id, {}});
  const std::string token = *service_->accounts().collectToken(*service_->accounts().pairCode("AAAA-BBBB"), 1);
  const auto seed = crypto::ed25519GenerateSeed();
  const std::string key = crypto::hex(*crypto::ed25519PublicKey(seed));
  const int64_t now = service_->nowMs();
  std::string prev;
  auto commit = [&](int64_t seq, int64_t ts, int64_t tokens) {
    oracle::Tick tick{"alice", seq, ts, prev, "1", tokens};
    Request r;
    r.method = "POST";
    r.path = "/api/oracle/commit";
    r.authorization = "Bearer " + token;
    r.body = oracle::commitBody(tick, key, crypto::hex(*crypto::ed25519Sign(seed, oracle::canonicalBytes(tick))));
    auto response = service_->handle(r);
    if (response.status == 200) prev = service_->oracle().head(service_->accounts().account("alice")->id, "alice")->head;
    return response.status;
  };
  EXPECT_EQ(commit(0, now, 1000), 200u);
  EXPECT_EQ(commit(1, now - 1, 1001), 400u) << "time going backwards";
  EXPECT_EQ(commit(1, now + 1000, 999), 400u) << "a total going down";
  EXPECT_EQ(commit(1, now + 3600'000, 1001), 400u) << "a time an hour ahead of ours";
  EXPECT_EQ(commit(1, now + 1000, (1LL << 53) + 1), 400u) << "a total above the ingest limit";
  EXPECT_EQ(commit(1, now + 60'000, 1000), 200u) << "no growth is plausible";
}

}  // namespace
}  // namespace quorvin::server
