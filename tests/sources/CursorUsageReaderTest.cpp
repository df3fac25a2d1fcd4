#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <thread>

#include "platform/CurlHttpClient.h"
#include "platform/Runtime.h"
#include "platform/VirtualClock.h"
#include "sources/Ccusage.h"
#include "sources/CursorTestAccount.h"
#include "sources/CursorUsageReader.h"
#include "support/Coroutines.h"
#include "support/TempFolder.h"
#include "usage/LiveUsageOracle.h"
#include "support/LoopbackHttpServer.h"
#include "platform/MemoryUserDefaults.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using Reading = CursorUsageReader::Reading;

constexpr std::string_view kHeader =
    "Date,Kind,Model,Max Mode,Input (w/ Cache Write),Input (w/o Cache Write),Cache Read,Output Tokens,Total "
    "Tokens,Cost\n";

std::string exportOf(std::initializer_list<std::pair<std::string, int64_t>> dayInputs) {
  std::string csv(kHeader);
  for (const auto& [day, input] : dayInputs) {
    csv += day + "T12:00:00.000Z,Included,gpt-5,No," + std::to_string(input) + "," + std::to_string(input) +
           ",0,0," + std::to_string(input) + ",$" + std::to_string(input / 1000) + ".00\n";
  }
  return csv;
}

class CursorUsageReaderTest : public ::testing::Test {
 protected:
  CursorUsageReaderTest() {
    defaults_.setBoolean(CursorUsageReader::kEnabledKey, true);
    signIn("github|1");
    serve(exportOf({{"2025-10-01", 1000}}));
  }

  ~CursorUsageReaderTest() override {
    reader_.reset();
    drain(200ms);
  }

  void signIn(const std::string& subject) {
    test::writeCursorStateDatabase(files().stateDatabase, test::jwt("{\"sub\":\"" + subject + "\"}"));
  }

  void serve(std::string csv, int status = 200, std::chrono::milliseconds delay = 0ms) {
    server_.route("GET", "/api/dashboard/export-usage-events-csv", [=](const test::TestHttpRequest&) {
      test::TestHttpReply reply{status, {}, csv};
      reply.delay = delay;
      return reply;
    });
  }

  CursorCredentials::Locations files() const { return CursorCredentials::Locations::forHome(home_.path(), home_.path() / ".config"); }
  std::filesystem::path ledgerFile() const { return home_.path() / ".local/share/quorvin/cursor-usage-v1.json"; }

  CursorUsageReader& reader() {
    if (!reader_) {
      reader_ = std::make_unique<CursorUsageReader>(
          CursorUsageReader::Config{ledgerFile(), files(), server_.baseUrl()}, clock_, defaults_, http_,
          runtime_.pool());
    }
    return *reader_;
  }

  // Runs one call of the reader on the model thread to its end (downloads run in real time).
  template <class T>
  T await(boost::asio::awaitable<T> operation) {
    return test::awaitOnModel(runtime_, std::move(operation));
  }
  void drain(std::chrono::milliseconds forAbout) {
    auto& model = runtime_.modelContext();
    auto guard = boost::asio::make_work_guard(model);
    model.restart();
    model.run_for(forAbout);
  }

  Reading refreshed() { return await(reader().refreshedReading(clock_.now())); }
  Reading pulse(bool refreshIfDue = true) { return await(reader().reading(refreshIfDue, clock_.now())); }
  size_t downloads() const { return server_.requests().size(); }

  test::TempFolder home_;
  MemoryUserDefaults defaults_;
  test::TestCertificates certificates_;
  test::LoopbackHttpServer server_{certificates_};
  CurlHttpClient http_{CurlHttpClient::Options{.caFile = certificates_.caFile()}};
  VirtualClock clock_;
  Runtime runtime_{2};
  std::unique_ptr<CursorUsageReader> reader_;
};

TEST_F(CursorUsageReaderTest, FirstFetchAfterLaunchShowsNoLiveUsage) {
  Reading first = refreshed();
  ASSERT_TRUE(first.snapshot);
  EXPECT_EQ(first.snapshot->total, 1000);
  EXPECT_EQ(first.liveTotal, 0);  // months of history are not usage of this session
  EXPECT_TRUE(first.isFresh);
  EXPECT_FALSE(first.warning);

  // A pulse within the cadence does not download again.
  clock_.advance(30s);
  EXPECT_TRUE(pulse().isFresh);
  EXPECT_EQ(downloads(), 1u);

  serve(exportOf({{"2025-10-01", 1000}, {"2025-10-02", 250}}));
  clock_.advance(31s);
  const Reading second = refreshed();
  EXPECT_EQ(second.snapshot->total, 1250);
  EXPECT_EQ(second.liveTotal, 250);
  EXPECT_EQ(second.liveInput, 250);

  // After a restart the same ledger is history again.
  reader_.reset();
  const Reading relaunched = pulse(false);
  EXPECT_EQ(relaunched.snapshot->total, 1250);
  EXPECT_EQ(relaunched.liveTotal, 0);
}

TEST_F(CursorUsageReaderTest, LedgerKeepsLargerBucketsAcrossLaunches) {
  serve(exportOf({{"2025-10-01", 5000}, {"2025-10-02", 700}}));
  EXPECT_EQ(refreshed().snapshot->total, 5700);
  // The vendor's window moved on: the first day is gone and the second reported smaller.
  serve(exportOf({{"2025-10-02", 300}, {"2025-10-03", 100}}));
  clock_.advance(61s);
  const Reading later = refreshed();
  EXPECT_EQ(later.snapshot->total, 5800);
  EXPECT_EQ(later.liveTotal, 100);

  reader_.reset();
  const auto ledger = CursorLedgerFormat::load(ledgerFile(), WallTime{});
  ASSERT_EQ(ledger.accounts.size(), 1u);
  EXPECT_EQ(ledger.accounts.begin()->first, CursorCredentials::accountKey("github|1"));
  EXPECT_EQ(ledger.accounts.begin()->second.buckets.size(), 3u);
  EXPECT_EQ(pulse(false).snapshot->total, 5800);
}

TEST_F(CursorUsageReaderTest, TwoAccountsBothCount) {
  EXPECT_EQ(refreshed().snapshot->total, 1000);
  signIn("google-oauth2|2");
  serve(exportOf({{"2025-10-01", 40}}));
  clock_.advance(61s);
  const Reading both = refreshed();
  EXPECT_EQ(both.snapshot->total, 1040);
  EXPECT_EQ(both.liveTotal, 0);  // the second account's history is history too
  EXPECT_EQ(CursorLedgerFormat::load(ledgerFile(), WallTime{}).accounts.size(), 2u);
}

TEST_F(CursorUsageReaderTest, WarningsAndFreshness) {
  // Disabled: nothing is fetched, nothing is said.
  defaults_.setBoolean(CursorUsageReader::kEnabledKey, false);
  EXPECT_FALSE(pulse().warning);
  EXPECT_FALSE(refreshed().isFresh);
  EXPECT_EQ(downloads(), 0u);

  defaults_.setBoolean(CursorUsageReader::kEnabledKey, true);
  await(reader().preferenceDidChange());
  serve("signed out", 401);
  EXPECT_EQ(refreshed().warning, std::string(CursorUsageReader::kSignInExpired));

  serve(exportOf({{"2025-10-01", 10}}));
  clock_.advance(31s);
  EXPECT_TRUE(refreshed().isFresh);
  clock_.advance(91s);
  EXPECT_EQ(pulse(false).warning, std::string(CursorUsageReader::kStale));

  serve("", 500);
  EXPECT_EQ(refreshed().warning, std::string(CursorUsageReader::kStale));

  // Signed out of the editor (no token in its database): the sign-in warning.
  test::writeCursorStateDatabase(files().stateDatabase, "none");
  clock_.advance(31s);
  EXPECT_EQ(refreshed().warning, std::string(CursorUsageReader::kSignInExpired));
}

TEST_F(CursorUsageReaderTest, DisablingDuringDownloadDropsItsResult) {
  serve(exportOf({{"2025-10-01", 1000}}), 200, 400ms);
  pulse();  // starts the download
  while (downloads() == 0) std::this_thread::sleep_for(5ms);
  defaults_.setBoolean(CursorUsageReader::kEnabledKey, false);
  await(reader().preferenceDidChange());
  drain(800ms);  // the answer has arrived by now, and is dropped
  EXPECT_FALSE(pulse().snapshot);
  EXPECT_FALSE(std::filesystem::exists(ledgerFile()));

  // A preference change that leaves the feature on lets the download finish, and still
  // drops what it brings.
  defaults_.setBoolean(CursorUsageReader::kEnabledKey, true);
  await(reader().preferenceDidChange());
  pulse();
  while (downloads() < 2) std::this_thread::sleep_for(5ms);
  await(reader().preferenceDidChange());
  drain(800ms);
  EXPECT_FALSE(pulse(false).snapshot);
  EXPECT_FALSE(std::filesystem::exists(ledgerFile()));

  // A clear during a download drops it too, and forgets everything.
  defaults_.setBoolean(CursorUsageReader::kEnabledKey, true);
  await(reader().preferenceDidChange());
  serve(exportOf({{"2025-10-01", 1000}}));
  EXPECT_TRUE(refreshed().snapshot);
  serve(exportOf({{"2025-10-01", 2000}}), 200, 400ms);
  clock_.advance(61s);
  pulse();
  await(reader().clearLedger());
  drain(800ms);
  EXPECT_FALSE(pulse(false).snapshot);
  EXPECT_FALSE(std::filesystem::exists(ledgerFile()));
}

TEST_F(CursorUsageReaderTest, CorruptLedgerLoadsEmptyAndIsReplaced) {
  test::writeFile(ledgerFile(), "{\"version\":1,\"accounts\":{\"k\":7}}");
  EXPECT_FALSE(pulse(false).snapshot);
  int setAside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ledgerFile().parent_path())) {
    if (entry.path().filename().string().starts_with("cursor-usage-v1.json.corrupt-")) {
      EXPECT_EQ(test::readFile(entry.path()), "{\"version\":1,\"accounts\":{\"k\":7}}");
      ++setAside;
    }
  }
  EXPECT_EQ(setAside, 1);
  EXPECT_EQ(refreshed().snapshot->total, 1000);
  EXPECT_EQ(CursorLedgerFormat::load(ledgerFile(), WallTime{}).accounts.size(), 1u);
}

TEST_F(CursorUsageReaderTest, PulseFoldsCursorIntoTheLiveSnapshot) {
  LiveUsageOracle oracle(home_.path(), clock_.now(), clock_, LiveUsageOracle::Environment{},
                         LiveUsageOracleOptions{.watchChanges = false});
  auto strand = runtime_.pool().makeStrand();
  auto pulseNow = [&] { return await(Ccusage::readPulse(&oracle, strand, &reader(), clock_)); };

  EXPECT_TRUE(pulseNow());  // the oracle's inventory; the Cursor download starts
  EXPECT_EQ(refreshed().liveTotal, 0);
  // A Claude session that starts after launch counts from its first line.
  test::writeFile(home_.path() / ".claude/projects/-w/s.jsonl",
                  R"({"type":"assistant","timestamp":"2026-01-01T00:04:00.000Z","requestId":"r1","message":)"
                  R"({"id":"m1","model":"claude-sonnet-4-5","usage":{"input_tokens":100,"output_tokens":20}}})"
                  "\n");
  clock_.advance(301s);  // the periodic inventory finds the new file
  serve(exportOf({{"2025-10-01", 1000}, {"2025-10-02", 7}}));
  EXPECT_EQ(refreshed().liveTotal, 7);

  const auto pulse = pulseNow();
  ASSERT_TRUE(pulse);
  EXPECT_EQ(pulse->sources, (std::vector<std::string>{"claude", "cursor"}));
  EXPECT_EQ(pulse->sourceTotals.at("claude"), 120);
  EXPECT_EQ(pulse->sourceTotals.at("cursor"), 7);
  EXPECT_EQ(pulse->total, 127);
  EXPECT_EQ(pulse->counters, (UsageCounters{107, 20, 0, 0}));
  EXPECT_FALSE(pulse->providerWarning);
}

}  // namespace
}  // namespace quorvin
