#include <gtest/gtest.h>

#include <filesystem>

#include "wire/Crypto.h"
#include "server/storage/AccountStore.h"
#include "server/storage/Database.h"
#include "server/storage/OracleStore.h"
#include "server/storage/UsageStore.h"

namespace quorvin::server {
namespace {

namespace fs = std::filesystem;

class ServerStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quorvin-storage-" + crypto::randomHex(6));
    fs::create_directories(dir_);
    open();
  }
  void TearDown() override {
    db_.reset();
    fs::remove_all(dir_);
  }
  void open() {
    db_.reset();
    db_ = std::make_unique<Database>(dir_ / "db.sqlite3");
  }
  int64_t account(const std::string& handle) {
    AccountStore accounts(*db_);
    EXPECT_TRUE(accounts.addAccount(handle, 1000));
    return accounts.account(handle)->id;
  }
  std::string pairDevice(int64_t accountId, const std::string& code = "AAAA-BBBB") {
    AccountStore accounts(*db_);
    accounts.addPairCode({code, crypto::sha256Hex("s"), 0, 600'000, accountId, {}});
    return *accounts.collectToken(*accounts.pairCode(code), 10);
  }
  static API::IngestUpload upload(const std::string& publisher, int64_t total, double cost) {
    API::IngestUpload u;
    u.handle = "alice";
    u.publisherId = publisher;
    u.totals.total = total;
    u.totals.cost = cost;
    u.totals.input = total;
    u.totals.output = 0;
    u.totals.cacheRead = 0;
    u.totals.cacheWrite = 0;
    return u;
  }

  fs::path dir_;
  std::unique_ptr<Database> db_;
};

TEST_F(ServerStorage, AccountsKeepOnlyHashesAndCheckTheSecret) {
  AccountStore accounts(*db_);
  auto secret = accounts.addAccount("alice", 1);
  ASSERT_TRUE(secret);
  EXPECT_FALSE(accounts.addAccount("alice", 2)) << "a handle is taken once";
  EXPECT_TRUE(accounts.authenticate("alice", *secret));
  EXPECT_FALSE(accounts.authenticate("alice", *secret + "x"));
  EXPECT_FALSE(accounts.authenticate("bob", *secret));
  auto q = db_->query("SELECT secret_hash FROM accounts");
  ASSERT_TRUE(q.step());
  EXPECT_NE(q.text(0), *secret);
}

TEST_F(ServerStorage, PairCodeApprovalCollectionAndRevocation) {
  AccountStore accounts(*db_);
  const int64_t id = account("alice");
  accounts.addPairCode({"CODE-0001", crypto::sha256Hex("secret"), 0, 600'000, {}, {}});
  EXPECT_FALSE(accounts.collectToken(*accounts.pairCode("CODE-0001"), 5)) << "pending codes give no token";
  EXPECT_FALSE(accounts.approvePairCode("CODE-0001", id, 600'000, 600'000)) << "expired codes stay unapproved";
  ASSERT_TRUE(accounts.approvePairCode("CODE-0001", id, 1000, 600'000));
  EXPECT_FALSE(accounts.approvePairCode("CODE-0001", id, 1000, 600'000)) << "approval happens once";

  auto first = accounts.collectToken(*accounts.pairCode("CODE-0001"), 2000);
  ASSERT_TRUE(first);
  // A lost answer: the next poll gets a fresh token for the same device, the old one dies.
  auto second = accounts.collectToken(*accounts.pairCode("CODE-0001"), 3000);
  ASSERT_TRUE(second);
  EXPECT_FALSE(accounts.deviceForToken(*first));
  auto device = accounts.deviceForToken(*second);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->handle, "alice");
  EXPECT_EQ(accounts.devices(id).size(), 1u);

  EXPECT_TRUE(accounts.hasActiveDevice(id));
  EXPECT_TRUE(accounts.revokeDevice(id, device->id, 4000));
  EXPECT_FALSE(accounts.hasActiveDevice(id));
  EXPECT_TRUE(accounts.deviceForToken(*second)->revokedMs) << "a revoked token is still recognised (410)";
  EXPECT_FALSE(accounts.collectToken(*accounts.pairCode("CODE-0001"), 5000)) << "no new token once revoked";
  EXPECT_FALSE(accounts.revokeDevice(account("bob"), device->id, 6000)) << "only the owner revokes";
}

TEST_F(ServerStorage, NewestUploadReplacesAndPublishersAddUp) {
  const int64_t id = account("alice");
  pairDevice(id);
  UsageStore usage(*db_);
  EXPECT_TRUE(usage.record(id, 1, upload("laptop", 1000, 2.5), 10'000).changed);
  EXPECT_TRUE(usage.record(id, 1, upload("desk", 500, 1.0), 11'000).changed);
  EXPECT_FALSE(usage.record(id, 1, upload("desk", 500, 1.0), 12'000).changed) << "a repeat changes nothing";
  // A corrected accounting lowers the laptop's figure, and the lower figure is what counts.
  auto recorded = usage.record(id, 1, upload("laptop", 900, 2.0), 13'000);
  EXPECT_TRUE(recorded.changed);
  EXPECT_EQ(recorded.total, 900);
  auto sum = usage.accountSum(id, 13'000);
  EXPECT_EQ(sum.total, 1400);
  EXPECT_DOUBLE_EQ(sum.cost, 3.0);
  EXPECT_TRUE(sum.kinds);
  EXPECT_EQ(usage.publishers(id).size(), 2u);

  // The history counts growth only: first uploads are baselines, a correction is no flow.
  auto samples = usage.samplesSince(id, 0);
  ASSERT_FALSE(samples.empty());
  EXPECT_EQ(samples.back().total, 0);
  usage.record(id, 1, upload("desk", 800, 1.5), 14'000);
  usage.record(id, 1, upload("laptop", 1000, 2.5), 15'000);
  samples = usage.samplesSince(id, 0);
  EXPECT_EQ(samples.back().total, 400);
  EXPECT_EQ(samples.back().input, 400);
  EXPECT_DOUBLE_EQ(samples.back().cost, 1.0);
  EXPECT_EQ(samples.back().atMs, 15'000);
}

TEST_F(ServerStorage, CommittedDataSurvivesReopening) {
  const int64_t id = account("alice");
  {
    UsageStore usage(*db_);
    usage.record(id, 1, upload("laptop", 42, 0.5), 1000);
  }
  open();
  UsageStore usage(*db_);
  EXPECT_EQ(usage.accountSum(id, 2000).total, 42);
  auto q = db_->query("PRAGMA journal_mode");
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.text(0), "wal");
}

TEST_F(ServerStorage, FailedTransactionLeavesNothingBehind) {
  const int64_t id = account("alice");
  {
    Transaction tx(*db_);
    db_->query("INSERT INTO oracle_keys(account_id, pubkey) VALUES(?, ?)").bind(1, id).bind(2, "k").run();
    // no commit: destroyed as if an exception had been thrown
  }
  OracleStore oracle(*db_);
  EXPECT_FALSE(oracle.boundKey(id));
}

TEST_F(ServerStorage, OracleChainChecksSequenceKeyAndLinksHeads) {
  const int64_t id = account("alice");
  OracleStore oracle(*db_);
  oracle::Tick tick{"alice", 0, 1000, "", "1.5", 10};
  const std::string key(64, 'a');
  oracle::Head head;
  ASSERT_EQ(oracle.append(id, tick, oracle::canonicalBytes(tick), key, "sig", head),
            OracleStore::AppendOutcome::appended);
  EXPECT_EQ(head.head, crypto::sha256Hex(oracle::canonicalBytes(tick)));
  EXPECT_EQ(head.seq, 0);

  oracle::Tick second{"alice", 1, 2000, head.head, "2", 20};
  oracle::Head secondHead;
  EXPECT_EQ(oracle.append(id, second, oracle::canonicalBytes(second), std::string(64, 'b'), "sig", secondHead),
            OracleStore::AppendOutcome::keyMismatch);
  oracle::Tick stale{"alice", 1, 2000, "not-the-head", "2", 20};
  EXPECT_EQ(oracle.append(id, stale, oracle::canonicalBytes(stale), key, "sig", secondHead),
            OracleStore::AppendOutcome::outOfSequence);
  oracle::Tick replay = tick;
  EXPECT_EQ(oracle.append(id, replay, oracle::canonicalBytes(replay), key, "sig", secondHead),
            OracleStore::AppendOutcome::outOfSequence);
  ASSERT_EQ(oracle.append(id, second, oracle::canonicalBytes(second), key, "sig", secondHead),
            OracleStore::AppendOutcome::appended);
  EXPECT_EQ(secondHead.head, crypto::sha256Hex(head.head + oracle::canonicalBytes(second)));
  auto stored = oracle.head(id, "alice");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->seq, 1);
  EXPECT_EQ(stored->head, secondHead.head);
  EXPECT_EQ(stored->metrics->tokensTotal, 20);
}

}  // namespace
}  // namespace quorvin::server
