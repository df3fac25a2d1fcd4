#include <gtest/gtest.h>

#include "platform/CurlHttpClient.h"
#include "publishing/Api.h"
#include "server/storage/AccountStore.h"
#include "server/storage/Database.h"
#include "server/storage/UsageStore.h"
#include "support/Coroutines.h"
#include "support/ServerProcess.h"

namespace quorvin::server {
namespace {

using test::runToEnd;
using test::ServerProcess;

// The real binary, killed without warning between uploads: every answered upload is on disk.
TEST(ServerProcessTest, KillNineLosesNothingAnsweredAndTermStopsCleanly) {
  test::TempFolder folder("quorvin-kill");
  const auto dir = folder.path();
  std::filesystem::create_directories(dir / "data");
  const std::vector<std::string> arguments = {"--data", (dir / "data").string(), "--auto-approve", "alice"};
  {
    Database db(dir / "data" / "quorvin-server.sqlite3");
    AccountStore(db).addAccount("alice", 0);
  }
  boost::asio::io_context io;
  CurlHttpClient http;
  std::string token;
  int64_t lastAnswered = 0;
  {
    ServerProcess server(dir, arguments);
    ASSERT_NE(server.port(), 0);
    auto pair = runToEnd(io, API::createPair(http, server.url()));
    token = runToEnd(io, API::pollPair(http, server.url(), pair.code, pair.deviceSecret))->token;
    for (int64_t total = 1; total <= 200; ++total) {
      API::Totals t;
      t.total = total;
      if (runToEnd(io, API::ingest(http, server.url(), token, "alice", "", t, {"laptop", "1"}))) lastAnswered = total;
    }
    server.kill(SIGKILL);
  }
  ASSERT_EQ(lastAnswered, 200);
  {
    Database db(dir / "data" / "quorvin-server.sqlite3");
    auto q = db.query("PRAGMA integrity_check");
    ASSERT_TRUE(q.step());
    EXPECT_EQ(q.text(0), "ok");
  }
  ServerProcess restarted(dir, arguments);
  API::Totals same;
  same.total = 200;
  auto accepted = runToEnd(io, API::ingest(http, restarted.url(), token, "alice", "", same, {"laptop", "1"}));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->total, 200);
  {
    Database db(dir / "data" / "quorvin-server.sqlite3");
    EXPECT_EQ(UsageStore(db).accountSum(1, 0).total, 200);
  }
  const int status = restarted.kill(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quorvin::server
