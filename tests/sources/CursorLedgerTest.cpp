#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "sources/CursorLedger.h"
#include "sources/ReferenceTime.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

namespace L = CursorLedgerFormat;

CursorUsageBucket bucket(std::string day, std::string model, int64_t input, int64_t output, double cost) {
  return CursorUsageBucket{.day = std::move(day), .model = std::move(model), .input = input, .output = output,
                           .cacheRead = 0, .cacheWrite = 0, .cost = cost};
}

CursorBuckets keyed(std::initializer_list<CursorUsageBucket> list) {
  CursorBuckets out;
  for (const auto& b : list) out.emplace(L::bucketKey(b.day, b.model), b);
  return out;
}

WallTime at(int64_t unixSeconds) { return WallTime(std::chrono::seconds(unixSeconds)); }

TEST(CursorLedgerMerge, BucketsNeverShrink) {
  const auto first = keyed({bucket("2025-11-01", "gpt-5", 100, 50, 1.0)});
  auto account = L::merged({}, first, at(1000), at(1001));
  EXPECT_EQ(account.fetchedAt, at(1000));
  EXPECT_EQ(account.updatedAt, at(1001));

  // The vendor later reports the day smaller: counters and cost stay.
  account = L::merged(account, keyed({bucket("2025-11-01", "GPT-5", 10, 5, 0.1)}), at(900), at(1100));
  const auto& kept = account.buckets.begin()->second;
  EXPECT_EQ(kept.input, 100);
  EXPECT_EQ(kept.output, 50);
  EXPECT_EQ(kept.cost, 1.0);
  EXPECT_EQ(account.fetchedAt, at(1000));  // an older export does not move the fetch time back

  // Same size with a higher cost keeps the counters, takes the cost; larger replaces both.
  account = L::merged(account, keyed({bucket("2025-11-01", "gpt-5", 140, 10, 2.0)}), at(1200), at(1200));
  EXPECT_EQ(account.buckets.begin()->second.input, 100);
  EXPECT_EQ(account.buckets.begin()->second.cost, 2.0);
  account = L::merged(account, keyed({bucket("2025-11-01", "gpt-5", 300, 0, 1.5)}), at(1300), at(1300));
  EXPECT_EQ(account.buckets.begin()->second.input, 300);
  EXPECT_EQ(account.buckets.begin()->second.output, 0);
  EXPECT_EQ(account.buckets.begin()->second.cost, 2.0);
  EXPECT_EQ(account.fetchedAt, at(1300));
}

TEST(CursorLedgerSnapshot, SumsModelsAcrossAccounts) {
  CursorLedger ledger;
  ledger.accounts["a"].buckets = keyed({bucket("2025-11-01", "Sonnet", 10, 0, 1), bucket("2025-11-02", "gpt-5", 1, 1, 0.5)});
  ledger.accounts["b"].buckets = keyed({bucket("2025-11-01", "sonnet", 5, 5, 2)});
  std::vector<const CursorUsageBucket*> all;
  for (const auto& [key, account] : ledger.accounts) {
    for (const auto& [k, b] : account.buckets) all.push_back(&b);
  }
  const auto snapshot = L::makeSnapshot(all, at(5));
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->total, 22);
  EXPECT_DOUBLE_EQ(snapshot->cost, 3.5);
  ASSERT_EQ(snapshot->models.size(), 2u);
  EXPECT_EQ(snapshot->models[0].name, "Sonnet");
  EXPECT_EQ(snapshot->models[0].input, 15);
  EXPECT_EQ(snapshot->models[1].name, "gpt-5");

  EXPECT_FALSE(L::makeSnapshot(CursorBuckets{}, at(5)));
  EXPECT_FALSE(L::makeSnapshot(keyed({bucket("2025-11-01", "m", 0, 0, 1)}), at(5)));
  EXPECT_FALSE(L::makeSnapshot(keyed({bucket("2025-11-01", "m", 5'000'000'000'000'000, 0, 0),
                                      bucket("2025-11-02", "m", 5'000'000'000'000'000, 0, 0)}),
                               at(5)));
}

TEST(CursorLedgerFile, RoundTripWithSortedKeysAndOwnerOnlyModes) {
  test::TempFolder dir;
  const auto file = dir.path() / "data" / "cursor-usage-v1.json";
  CursorLedger ledger;
  auto& account = ledger.accounts[std::string(64, 'a')];
  account.buckets = keyed({bucket("2025-11-02", "Zeta", 7, 8, 0.25), bucket("2025-11-01", "alpha", 1, 2, 0.5)});
  account.fetchedAt = ReferenceTime::time(786'000'000.5).value();
  account.updatedAt = ReferenceTime::distantPast();
  ASSERT_TRUE(L::save(file, ledger));

  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  const std::string text = test::readFile(file);
  EXPECT_LT(text.find("\"accounts\""), text.find("\"version\""));
  EXPECT_LT(text.find("2025-11-01\\u001falpha"), text.find("2025-11-02\\u001fzeta"));
  EXPECT_LT(text.find("\"buckets\""), text.find("\"fetchedAt\""));
  EXPECT_LT(text.find("\"cacheRead\""), text.find("\"cost\""));
  EXPECT_NE(text.find("7.860000005E8"), std::string::npos) << text;  // reference-date seconds
  EXPECT_EQ(L::load(file, at(0)), ledger);
}

TEST(CursorLedgerFile, OneInvalidEntryOrOversizeLoadsEmptyAndIsSetAside) {
  test::TempFolder dir;
  const auto file = dir.path() / "cursor-usage-v1.json";
  const std::string good = R"({"version":1,"accounts":{"k":{"fetchedAt":1,"updatedAt":2,"buckets":{)"
                           R"("2025-11-01\u001fm":{"day":"2025-11-01","model":"M","input":1,"output":2,)"
                           R"("cacheRead":3,"cacheWrite":4,"cost":0.5}}}}})";
  test::writeFile(file, good);
  ASSERT_EQ(L::load(file, at(0)).accounts.size(), 1u);
  auto replaced = [&](std::string_view from, std::string_view to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  int seconds = 0;
  for (const std::string& bad : {replaced("0.5", "2000000000"), replaced("\"input\":1", "\"input\":-1"),
                                 replaced("\"version\":1", "\"version\":2"), replaced("\\u001fm", "\\u001fM"),
                                 replaced("\"k\"", "\"\""), replaced("\"fetchedAt\":1", "\"fetchedAt\":\"1\""),
                                 replaced("\"cacheWrite\":4", "\"cacheWrite\":8999999999999999"),
                                 good.substr(0, good.size() - 3), std::string("[]")}) {
    test::writeFile(file, bad);
    ++seconds;
    EXPECT_TRUE(L::load(file, at(1'767'225'600 + seconds)).accounts.empty()) << bad;
    // Kept aside: the next save would otherwise write over the history it may still hold.
    char aside[64];
    std::snprintf(aside, sizeof aside, "cursor-usage-v1.json.corrupt-20260101T0000%02dZ", seconds);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(test::readFile(dir.path() / aside), bad);
  }

  // A file over 50 MiB is not even read.
  std::string huge = good;
  huge.insert(huge.size() - 1, std::string(L::kMaxFileBytes, ' '));
  test::writeFile(file, huge);
  EXPECT_TRUE(L::load(file, at(0)).accounts.empty());
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "cursor-usage-v1.json.corrupt-19700101T000000Z"), huge.size());
}

}  // namespace
}  // namespace quorvin
