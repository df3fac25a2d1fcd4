#include <gtest/gtest.h>

#include "wire/Crypto.h"
#include "server/storage/AccountStore.h"
#include "server/storage/Database.h"
#include "server/storage/OracleStore.h"
#include "server/storage/UsageStore.h"
#include "support/TempFolder.h"

namespace quorvin::server {
namespace {

class ServerStorage : public ::testing::Test {
 protected:
  void SetUp() override { db_ = std::make_unique<Database>(dir_ / "db.sqlite3"); }
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

  test::TempFolder dir_{"quorvin-storage"};
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

TEST_F(ServerStorage, ReuploadWithSameTotalsButOtherDetailsUpdatesTheProfile) {
  const int64_t id = account("alice");
  UsageStore usage(*db_);
  auto first = upload("laptop", 1000, 2.5);
  first.appVersion = "1.0";
  first.plan = "pro";
  first.totals.models = {{"claude-sonnet", 1000, 0, 0, 0, 2.5}};
  ASSERT_TRUE(usage.record(id, 1, first, 1000).changed);

  auto models = first;
  models.totals.models = {{"claude-sonnet", 600, 0, 0, 0, 1.5}, {"gpt-5", 400, 0, 0, 0, 1.0}};
  auto plan = models;
  plan.plan = "max";
  auto version = plan;
  version.appVersion = "1.1";
  for (const auto* next : {&models, &plan, &version}) {
    EXPECT_TRUE(usage.record(id, 1, *next, 2000).changed);
    auto stored = usage.publishers(id);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].totals.models, next->totals.models);
    EXPECT_EQ(stored[0].plan, next->plan);
    EXPECT_EQ(stored[0].appVersion, next->appVersion);
  }
}

TEST_F(ServerStorage, PublishersAreCappedPerDeviceAndPerAccount) {
  const int64_t id = account("alice");
  UsageStore usage(*db_);
  for (int i = 0; i < UsageStore::maxPublishersPerDevice; ++i) {
    ASSERT_TRUE(usage.mayRecord(id, 1, "p" + std::to_string(i)));
    usage.record(id, 1, upload("p" + std::to_string(i), 1LL << 53, 1), 1000 + i);
  }
  EXPECT_FALSE(usage.mayRecord(id, 1, "one-more")) << "a device inventing publishers is stopped";
  EXPECT_TRUE(usage.mayRecord(id, 1, "p0")) << "known publishers keep uploading";
  int device = 2;
  for (int i = UsageStore::maxPublishersPerDevice; i < UsageStore::maxPublishersPerAccount; ++i) {
    if (!usage.mayRecord(id, device, "p" + std::to_string(i))) ++device;
    ASSERT_TRUE(usage.mayRecord(id, device, "p" + std::to_string(i)));
    usage.record(id, device, upload("p" + std::to_string(i), 1LL << 53, 1), 2000 + i);
  }
  EXPECT_FALSE(usage.mayRecord(id, 99, "new-device-new-publisher"));
  // 64 publishers at 2^53 each: the sum stays positive and exact.
  EXPECT_EQ(usage.accountSum(id, 9000).total, 64 * (1LL << 53));
}

// The profile reads model rows kept on ingest, never every publisher's breakdown: a re-upload
// replaces its publisher's rows, publishers add up, and sums saturate instead of wrapping.
TEST_F(ServerStorage, ProfileSummaryIsKeptOnIngestAndSaturates) {
  using Model = UsageStore::ProfileSummary::Model;
  const int64_t id = account("alice");
  UsageStore usage(*db_);
  auto laptop = upload("laptop", 100, 1.0);
  laptop.totals.models = {{"opus", 10, 20, 0, 0, 0.5}, {"sonnet", 1, 0, 0, 0, 0.25}};
  auto desk = upload("desk", 50, 0.5);
  desk.totals.models = {{"opus", 5, 0, 0, 0, 0.25}, {"opus", 5, 0, 0, 0, 0.25}};
  usage.record(id, 1, laptop, 1000);
  usage.record(id, 1, desk, 2000);
  laptop.totals.models = {{"opus", 40, 0, 0, 0, 1.0}};  // the laptop no longer uses sonnet
  usage.record(id, 1, laptop, 3000);
  auto summary = usage.profileSummary(id);
  EXPECT_EQ(summary.total, 150);
  EXPECT_EQ(summary.machines, 2);
  EXPECT_EQ(summary.models, (std::vector<Model>{{"opus", 50, 1.5}}));

  // A database from before model rows were kept gets them from the stored breakdowns, once.
  db_->exec("DELETE FROM publisher_models");
  usage.fillModelRows();
  EXPECT_EQ(usage.profileSummary(id).models, summary.models);
  db_->exec("DELETE FROM publisher_models");
  usage.fillModelRows();
  EXPECT_TRUE(usage.profileSummary(id).models.empty());

  // From before the publisher caps: 1,030 publishers at 2^53 and two model rows near 2^63.
  for (int i = 0; i < 1030; ++i) {
    db_->query("INSERT INTO publisher_totals(account_id, publisher_id, total, cost, detail, updated_ms) "
               "VALUES(?, ?, ?, 0, '{}', 0)")
        .bind(1, id)
        .bind(2, "old-" + std::to_string(i))
        .bind(3, int64_t{1} << 53)
        .run();
  }
  for (const char* publisher : {"old-0", "old-1"}) {
    db_->query("INSERT INTO publisher_models VALUES(?, ?, 'opus', ?, 0)").bind(1, id).bind(2, publisher).bind(3, INT64_MAX - 1).run();
  }
  summary = usage.profileSummary(id);
  EXPECT_EQ(summary.total, INT64_MAX);
  EXPECT_EQ(summary.models.at(0).tokens, INT64_MAX);
}

TEST_F(ServerStorage, LapsedPairCodesAreForgottenAfterAnHourAndCounted) {
  AccountStore accounts(*db_);
  const int64_t hour = 3600 * 1000LL;
  accounts.addPairCode({"AAAA-0001", "h", 0, 600'000, {}, {}});
  accounts.addPairCode({"AAAA-0002", "h", 0, 2 * hour, {}, {}});
  EXPECT_EQ(accounts.pairCodeCount(), 2);
  accounts.prunePairCodes(600'000 + hour - 1);
  EXPECT_TRUE(accounts.pairCode("AAAA-0001")) << "a lapsed code still answers 'expired' for an hour";
  accounts.prunePairCodes(600'000 + hour + 1);
  EXPECT_TRUE(accounts.pairCode("AAAA-0001")) << "pruning runs at most once a minute";
  accounts.prunePairCodes(600'000 + hour + 60'000);
  EXPECT_FALSE(accounts.pairCode("AAAA-0001"));
  EXPECT_TRUE(accounts.pairCode("AAAA-0002"));
  EXPECT_EQ(accounts.pairCodeCount(), 1);
  auto plan = db_->query("EXPLAIN QUERY PLAN DELETE FROM pair_codes WHERE expires_ms < 5");
  ASSERT_TRUE(plan.step());
  EXPECT_NE(plan.text(3).find("pair_codes_by_expiry"), std::string::npos) << plan.text(3);
}

// The service's own receipt time is kept beside the time the machine signed.
TEST_F(ServerStorage, CheckpointsRecordWhenTheyArrived) {
  OracleStore oracle(*db_);
  oracle::Tick tick{"alice", 0, 1000, "", "1", 10};
  oracle::Head head;
  ASSERT_EQ(oracle.append(account("alice"), tick, oracle::canonicalBytes(tick), std::string(64, 'e'), "sig", 5, head),
            OracleStore::AppendOutcome::appended);
  auto received = db_->query("SELECT received_ms FROM oracle_ticks");
  ASSERT_TRUE(received.step());
  EXPECT_EQ(received.int64(0), 5);
}

}  // namespace
}  // namespace quorvin::server
