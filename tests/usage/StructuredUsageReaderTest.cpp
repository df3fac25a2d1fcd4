#include "usage/StructuredUsageReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "usage/SqliteWriter.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using test::SqliteWriter;
using test::TempFolder;

const WallTime kStart{std::chrono::seconds(1'800'000'000)};

std::string openCodeData(long long input, long long output, const char* model = "claude-sonnet-4-5") {
  return R"({"modelID":")" + std::string(model) + R"(","tokens":{"input":)" + std::to_string(input) +
         R"(,"output":)" + std::to_string(output) + R"(,"reasoning":0,"cache":{"read":0,"write":0}}})";
}

class OpenCodeStore {
 public:
  explicit OpenCodeStore(const std::filesystem::path& path) : writer_(path.string()) {
    writer_.exec("CREATE TABLE IF NOT EXISTS message (id TEXT PRIMARY KEY, session_id TEXT, time_created INTEGER, "
                 "time_updated INTEGER, data TEXT)");
  }
  void put(const std::string& id, long long input, long long output) {
    ++clock_;
    writer_.run("INSERT INTO message (id, session_id, time_created, time_updated, data) VALUES (?, 's', ?, ?, ?) "
                "ON CONFLICT(id) DO UPDATE SET time_updated = excluded.time_updated, data = excluded.data",
                id, clock_, clock_, openCodeData(input, output));
  }
  SqliteWriter& writer() { return writer_; }

 private:
  SqliteWriter writer_;
  long long clock_ = 1'700'000'000'000;
};

int64_t sourceTotal(const StructuredUsageReader& reader, const std::string& source) {
  auto found = reader.snapshot().bySource.find(source);
  return found == reader.snapshot().bySource.end() ? 0 : found->second.total();
}

TEST(StructuredUsageReader, OpenCodeCountsOnlyGrowthAfterStartAndStreamingMessagesByDelta) {
  TempFolder home;
  std::filesystem::create_directories(home / ".local/share/opencode");
  OpenCodeStore store(home / ".local/share/opencode/opencode.db");
  store.put("before", 800, 200);

  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);
  EXPECT_EQ(reader.snapshot().counters.total(), 0);

  store.put("before", 1000, 300);  // the message that was streaming at start grows by 300
  store.put("new", 700, 300);      // first seen as new: counts in full
  reader.refreshOpenCode(home.path(), kStart + 1s);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 300 + 1000);

  store.put("new", 1000, 500);  // streams on: only the 500 of growth
  reader.refreshOpenCode(home.path(), kStart + 2s);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 1800);

  reader.refreshOpenCode(home.path(), kStart + 3s);  // nothing changed: nothing counted
  EXPECT_EQ(sourceTotal(reader, "opencode"), 1800);
  EXPECT_EQ(reader.snapshot().models, std::set<std::string>{"claude-sonnet-4-5"});
  // 1800 tokens of Sonnet: (800 * 3 + 1000 * 15) / 1e6 in the split used above.
  EXPECT_GT(reader.snapshot().costBySource.at("opencode"), 0.0);
}

TEST(StructuredUsageReader, OpenCodeRowsCommittedWhileReadingAreCountedExactlyOnce) {
  TempFolder home;
  std::filesystem::create_directories(home / ".local/share/opencode");
  auto path = home / ".local/share/opencode/opencode-main.db";
  { OpenCodeStore setup(path); }

  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);

  // An open write transaction is invisible to the reader until it commits.
  OpenCodeStore store(path);
  store.writer().exec("BEGIN IMMEDIATE");
  store.put("pending", 10, 10);
  reader.refreshOpenCode(home.path(), kStart + 1s);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 0);
  store.writer().exec("COMMIT");
  reader.refreshOpenCode(home.path(), kStart + 2s);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 20);

  // A writer thread commits messages that grow in two steps while the reader refreshes.
  constexpr int kMessages = 300;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    OpenCodeStore concurrent(path);
    for (int i = 0; i < kMessages; ++i) {
      concurrent.put("m" + std::to_string(i), 100, 0);
      concurrent.put("m" + std::to_string(i), 100, 50);
    }
    done = true;
  });
  WallTime now = kStart + 3s;
  while (!done) {
    reader.refreshOpenCode(home.path(), now);
    now += 100ms;
  }
  writer.join();
  reader.refreshOpenCode(home.path(), now);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 20 + kMessages * 150);
}

TEST(StructuredUsageReader, RecreatedOpenCodeDatabaseCountsAgainstMessagesSeenBefore) {
  TempFolder home;
  std::filesystem::create_directories(home / ".local/share/opencode");
  auto path = home / ".local/share/opencode/opencode.db";
  {
    OpenCodeStore store(path);
    for (int i = 0; i < 5; ++i) store.put("m" + std::to_string(i), 100, 0);
  }
  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);

  std::filesystem::remove(path);
  std::filesystem::remove(path.string() + "-wal");
  std::filesystem::remove(path.string() + "-shm");
  {
    OpenCodeStore store(path);
    store.put("m4", 150, 0);  // seen before with 100: counts 50
    store.put("fresh", 10, 0);
  }
  reader.refreshOpenCode(home.path(), kStart + 1s);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 60);
}

TEST(StructuredUsageReader, OpenCodeWithoutUpdateTimeColumnAndOversizedMessages) {
  TempFolder home;
  std::filesystem::create_directories(home / ".local/share/opencode");
  SqliteWriter writer((home / ".local/share/opencode/opencode.db").string());
  writer.exec("CREATE TABLE message (id TEXT, data BLOB)");
  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);

  writer.run("INSERT INTO message (id, data) VALUES (?, ?)", "a", openCodeData(40, 2));
  writer.run("INSERT INTO message (id, data) VALUES (?, ?)", nullptr, openCodeData(1000, 0));  // no id
  std::string huge = openCodeData(5000, 0);
  huge.insert(huge.size() - 1, ",\"pad\":\"" + std::string(1 << 20, 'x') + "\"");
  writer.run("INSERT INTO message (id, data) VALUES (?, ?)", "huge", huge);  // over 1 MiB: not read
  writer.run("INSERT INTO message (id, data) VALUES (?, ?)", "broken", "{not json");
  reader.refreshOpenCode(home.path(), kStart + 1s);
  EXPECT_EQ(sourceTotal(reader, "opencode"), 42);
}

class HermesStore {
 public:
  explicit HermesStore(const std::filesystem::path& path, bool wal = true)
      : writer_((std::filesystem::create_directories(path.parent_path()), path.string()), wal) {
    writer_.exec("CREATE TABLE IF NOT EXISTS sessions (id TEXT PRIMARY KEY, model TEXT, input_tokens INTEGER, "
                 "output_tokens INTEGER, cache_read_tokens INTEGER, cache_write_tokens INTEGER, "
                 "reasoning_tokens INTEGER)");
  }
  void put(const std::string& id, const char* model, long long input, long long output, long long reasoning = 0) {
    if (model) {
      writer_.run("INSERT OR REPLACE INTO sessions VALUES (?, ?, ?, ?, 0, 0, ?)", id, model, input, output, reasoning);
    } else {
      writer_.run("INSERT OR REPLACE INTO sessions VALUES (?, NULL, ?, ?, 0, 0, ?)", id, input, output, reasoning);
    }
  }

  SqliteWriter& writer() { return writer_; }

 private:
  SqliteWriter writer_;
};

TEST(StructuredUsageReader, HermesSessionsCountGrowthAndNeedAModel) {
  TempFolder home;
  HermesStore main(home / ".hermes/state.db");
  main.put("s1", "kimi-k2", 100, 10);
  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);

  main.put("s1", "kimi-k2", 150, 20, 5);  // grows by 50 + 10 + 5
  main.put("anonymous", nullptr, 999, 999);
  main.put("blank", "   ", 999, 999);
  HermesStore profile(home / ".hermes/profiles/work/state.db");  // appears after start: counts in full
  profile.put("p1", "deepseek-chat", 7, 3);
  reader.refreshHermes(home.path(), kStart + 1s);
  EXPECT_EQ(sourceTotal(reader, "hermes"), 65 + 10);
  EXPECT_EQ(reader.snapshot().models, (std::set<std::string>{"deepseek-chat", "kimi-k2"}));
}

TEST(StructuredUsageReader, DroidFilesOldCountGrowthAndNewCountInFull) {
  TempFolder home;
  auto old = home / ".factory/sessions/a/old.settings.json";
  test::writeFile(old, R"({"model":"gpt-5-codex","tokenUsage":{"inputTokens":100,"outputTokens":50}})");
  test::setModified(old, 1'700'000'000);
  test::writeFile(home / ".factory/sessions/.hidden/x.settings.json",
                  R"({"tokenUsage":{"inputTokens":100}})");
  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);

  test::writeFile(old, R"({"model":"gpt-5-codex","tokenUsage":{"inputTokens":130,"outputTokens":60}})");
  test::setModified(old, 1'700'000'100);
  auto fresh = home / ".factory/sessions/b/new.settings.json";
  test::writeFile(fresh, R"({"model":"custom:Claude Sonnet 4.5 [beta]","tokenUsage":{"inputTokens":1,)"
                         R"("outputTokens":2,"thinkingTokens":3,"cacheReadTokens":4,"cacheCreationTokens":5,)"
                         R"("totalTokens":20}})");
  reader.refreshDroid(home.path());
  EXPECT_EQ(sourceTotal(reader, "droid"), 40 + 20);
  EXPECT_EQ(reader.snapshot().models, (std::set<std::string>{"claude-sonnet-4-5", "gpt-5-codex"}));

  // An unchanged modification time is not read again, even if the content changed.
  test::writeFile(fresh, R"({"tokenUsage":{"inputTokens":1000}})");
  test::setModified(fresh, 1'700'000'000);
  reader.refreshDroid(home.path());
  EXPECT_EQ(sourceTotal(reader, "droid"), 60);
}

TEST(StructuredUsageReader, StoresUnreadableAtStartTakeTheirBaselineAtTheirFirstRead) {
  TempFolder home;
  HermesStore hermes(home / ".hermes/state.db", false);
  hermes.put("s", "kimi-k2", 1'000'000, 0);
  // An exclusive writer holds the database through the first snapshot and commits after.
  hermes.writer().exec("BEGIN EXCLUSIVE");
  hermes.put("s", "kimi-k2", 1'000'000, 1);
  // A Droid session file caught half-written, and a whole one that has no usage yet.
  auto half = home / ".factory/sessions/a/half.settings.json";
  auto empty = home / ".factory/sessions/a/empty.settings.json";
  test::writeFile(half, R"({"model":"gpt-5","tokenUsage":{"inputTokens":2000)");
  test::writeFile(empty, R"({"model":"gpt-5","tokenUsage":{}})");
  for (const auto& path : {half, empty}) test::setModified(path, 1'700'000'000);
  StructuredUsageReader reader;
  reader.initialize(home.path(), kStart);

  hermes.writer().exec("COMMIT");
  reader.refreshHermes(home.path(), kStart + 1s);
  EXPECT_EQ(sourceTotal(reader, "hermes"), 0);
  hermes.put("s", "kimi-k2", 1'000'000, 11);
  reader.refreshHermes(home.path(), kStart + 2s);
  EXPECT_EQ(sourceTotal(reader, "hermes"), 10);

  test::writeFile(half, R"({"model":"gpt-5","tokenUsage":{"inputTokens":2000000}})");
  test::writeFile(empty, R"({"model":"gpt-5","tokenUsage":{"inputTokens":500}})");
  for (const auto& path : {half, empty}) test::setModified(path, 1'700'000'100);
  reader.refreshDroid(home.path());
  EXPECT_EQ(sourceTotal(reader, "droid"), 500);
  test::writeFile(half, R"({"model":"gpt-5","tokenUsage":{"inputTokens":2000030}})");
  test::setModified(half, 1'700'000'200);
  reader.refreshDroid(home.path());
  EXPECT_EQ(sourceTotal(reader, "droid"), 530);
}

}  // namespace
}  // namespace quorvin
