#include <gtest/gtest.h>

#include <boost/json/parse.hpp>

#include "ServiceOnLoopback.h"
#include "publishing/Api.h"
#include "publishing/OracleClient.h"
#include "publishing/OracleKeyFile.h"

namespace quorvin::server {
namespace {

using namespace std::chrono_literals;

class OracleChain : public ServiceOnLoopback {
 protected:
  void SetUp() override {
    ServiceOnLoopback::SetUp();
    startServer("alice");
    auto pair = await(API::createPair(*http_, api_));
    token_ = await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret))->token;
  }
  int64_t nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now().time_since_epoch()).count();
  }
  // Commits, expecting `error` (an OracleError text) or success.
  std::string commitError(OracleClient& client, const std::string& login = "alice") {
    try {
      await(client.commit(api_, token_, login, 100, 1.0));
      return {};
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  std::string token_;
};

TEST_F(OracleChain, CommitsLinkHeadsThatAnyoneCanRecompute) {
  OracleClient client(*http_, clock_, dir_ / "machine-a");
  auto first = await(client.commit(api_, token_, "Alice", 1200, 1.23456));
  EXPECT_EQ(first.seq, 0);
  oracle::Tick tick{"alice", 0, nowMs(), "", "1.2346", 1200};
  EXPECT_EQ(first.head, oracle::chainHead("", oracle::canonicalBytes(tick)));

  clock_.advance(300s);
  auto second = await(client.commit(api_, token_, "alice", 2400, 5));
  EXPECT_EQ(second.seq, 1);
  oracle::Tick next{"alice", 1, nowMs(), first.head, "5", 2400};
  EXPECT_EQ(second.head, oracle::chainHead(first.head, oracle::canonicalBytes(next)));

  auto head = oracle::decodeHeadResponse(request("GET", "/api/oracle/alice").body);
  ASSERT_TRUE(head && head->head);
  EXPECT_EQ(head->head->head, second.head);
  EXPECT_EQ(head->head->metrics->tokensTotal, 2400);
  EXPECT_EQ(head->head->pubkey, client.cachedHead()->pubkey);
}

TEST_F(OracleChain, RecoversOnceFromAMovedChain) {
  OracleClient a(*http_, clock_, dir_ / "machine-a");
  OracleClient sameKey(*http_, clock_, dir_ / "machine-a");
  EXPECT_EQ(await(a.commit(api_, token_, "alice", 1, 0.1)).seq, 0);
  // Another client with the same key moves the chain on; `a` still thinks seq 0 is the head.
  EXPECT_EQ(await(sameKey.commit(api_, token_, "alice", 2, 0.2)).seq, 1);
  auto recovered = await(a.commit(api_, token_, "alice", 3, 0.3));
  EXPECT_EQ(recovered.seq, 2);
}

TEST_F(OracleChain, RefusesOtherKeysForgeriesAndBadHandles) {
  OracleClient owner(*http_, clock_, dir_ / "machine-a");
  ASSERT_EQ(commitError(owner), "");

  OracleClient stranger(*http_, clock_, dir_ / "machine-b");
  EXPECT_EQ(commitError(stranger), "This profile's oracle is signed by another device");
  EXPECT_EQ(commitError(stranger, "bad_handle"), "Invalid Quorvin handle");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "machine-c"));
  OracleClient untouched(*http_, clock_, dir_ / "machine-c");
  EXPECT_EQ(commitError(untouched, std::string(40, 'a')), "Invalid Quorvin handle");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "machine-c")) << "no key is made for an invalid handle";

  // Hand-made commits: a signature over other figures, a stale seq, another key.
  const auto seed = loadOrCreateOracleKey(dir_ / "machine-a");
  const std::string pub = crypto::hex(*crypto::ed25519PublicKey(seed));
  const auto head = *owner.cachedHead();
  oracle::Tick tick{"alice", 1, nowMs(), head.head, "1", 100};
  const auto sign = [&](const oracle::Tick& t) { return crypto::hex(*crypto::ed25519Sign(seed, oracle::canonicalBytes(t))); };
  const std::vector<std::pair<std::string, std::string>> auth = {{"Authorization", "Bearer " + token_},
                                                                 {"Content-Type", "application/json"}};
  auto forged = tick;
  forged.tokensTotal = 1'000'000;
  auto answer = request("POST", "/api/oracle/commit", oracle::commitBody(forged, pub, sign(tick)), auth);
  EXPECT_EQ(answer.status, 400);
  EXPECT_EQ(oracle::decodeCommitmentResponse(answer.body)->error, "signature does not verify");

  auto stale = tick;
  stale.seq = 0;
  EXPECT_EQ(request("POST", "/api/oracle/commit", oracle::commitBody(stale, pub, sign(stale)), auth).status, 422);
  auto wrongPrev = tick;
  wrongPrev.prev = std::string(64, '0');
  EXPECT_EQ(request("POST", "/api/oracle/commit", oracle::commitBody(wrongPrev, pub, sign(wrongPrev)), auth).status,
            422);
  EXPECT_EQ(request("POST", "/api/oracle/commit", "{\"tick\":", auth).status, 400);
  EXPECT_EQ(request("POST", "/api/oracle/commit", oracle::commitBody(tick, pub, sign(tick)),
                    {{"Authorization", "Bearer nope"}})
                .status,
            401);
  EXPECT_EQ(request("POST", "/api/oracle/commit", oracle::commitBody(tick, pub, sign(tick)), auth).status, 200);

  try {
    OracleClient revokedClient(*http_, clock_, dir_ / "machine-a");
    await(revokedClient.commit(api_, "unknown-token", "alice", 1, 1));
    ADD_FAILURE();
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.code(), 401);
    EXPECT_TRUE(API::isAuthorizationRevocation(e));
  }
}

}  // namespace
}  // namespace quorvin::server
