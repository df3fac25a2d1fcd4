#include <gtest/gtest.h>

#include "platform/CurlHttpClient.h"
#include "publishing/Api.h"
#include "publishing/OracleClient.h"
#include "server/WallClock.h"
#include "support/Coroutines.h"
#include "support/ProgramRun.h"
#include "support/ServerProcess.h"

namespace quorvin::server {
namespace {

using test::runToEnd;

// The operator's remedies, run as the README shows them while the service answers, and the
// configurations the program refuses before it listens anywhere.
class OperatorCommands : public ::testing::Test {
 protected:
  test::ProgramRun run(const std::string& arguments) {
    return test::runProgram(std::string(QUORVIN_BINARY_DIR) + "/server/quorvin-server --data '" +
                            (folder_ / "data").string() + "' " + arguments);
  }
  // The secret printed on the line after "... (shown once):".
  static std::string secretIn(const std::string& output) {
    const auto at = output.find("(shown once):\n");
    if (at == std::string::npos) return {};
    const auto start = at + 14;
    return output.substr(start, output.find('\n', start) - start);
  }
  int signIn(const std::string& url, const std::string& secret) {
    HttpRequest r;
    r.method = "POST";
    r.url = url + "/connect";
    r.body = "handle=alice&secret=" + secret;
    r.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    auto result = runToEnd(io_, http_.send(std::move(r)));
    return result.response ? result.response->status : 0;
  }

  test::TempFolder folder_{"quorvin-operator"};
  boost::asio::io_context io_;
  CurlHttpClient http_;
};

TEST_F(OperatorCommands, RefusesToListenWhereStrangersCouldPairOrFollowLocalLinks) {
  ASSERT_EQ(run("account add alice").status, 0);
  EXPECT_EQ(run("account add ALICE").status, 1) << "a handle is taken once";
  const auto open = run("--listen 0.0.0.0:0 --public-url https://q.example --auto-approve alice");
  EXPECT_EQ(open.status, 2);
  EXPECT_NE(open.output.find("--enrol-secret-file"), std::string::npos) << open.output;
  const auto local = run("--listen 0.0.0.0:0");
  EXPECT_EQ(local.status, 2);
  EXPECT_NE(local.output.find("--public-url"), std::string::npos) << local.output;
  test::writeFile(folder_ / "enrol", "short\n");
  EXPECT_EQ(run("--auto-approve alice --enrol-secret-file '" + (folder_ / "enrol").string() + "'").status, 2)
      << "a guessable enrolment secret";
  EXPECT_EQ(run("--auto-approve bob").status, 2) << "no such account";
}

TEST_F(OperatorCommands, ListRevokeRotateAndResetWhileTheServiceRuns) {
  const std::string firstSecret = secretIn(run("account add alice").output);
  ASSERT_EQ(firstSecret.size(), 48u);
  test::ServerProcess server(folder_.path(), {"--data", (folder_ / "data").string(), "--auto-approve", "alice"});
  ASSERT_NE(server.port(), 0);
  auto pair = runToEnd(io_, API::createPair(http_, server.url()));
  const std::string token = runToEnd(io_, API::pollPair(http_, server.url(), pair.code, pair.deviceSecret))->token;
  API::Totals totals;
  totals.total = 10;
  ASSERT_TRUE(runToEnd(io_, API::ingest(http_, server.url(), token, "alice", "", totals, {"laptop", "1"})));

  const auto listed = run("device list alice");
  EXPECT_EQ(listed.status, 0);
  EXPECT_TRUE(listed.output.starts_with("ID\tPAIRED\tLAST UPLOAD\tDISCONNECTED\n1\t")) << listed.output;
  EXPECT_TRUE(listed.output.ends_with("Z\t-\n")) << "uploaded, still connected: " << listed.output;
  EXPECT_EQ(run("device list nobody").status, 1);

  // A key that is not the owner's got bound first; the reset lets the owner's key start over.
  WallClock clock;
  OracleClient stranger(http_, clock, folder_ / "stranger-key");
  OracleClient owner(http_, clock, folder_ / "owner-key");
  ASSERT_NO_THROW(runToEnd(io_, stranger.commit(server.url(), token, "alice", 10, 0.1)));
  EXPECT_THROW(runToEnd(io_, owner.commit(server.url(), token, "alice", 10, 0.1)), std::exception);
  EXPECT_EQ(run("chain reset alice").status, 0);
  // The app keeps the head it learned until it starts again.
  OracleClient restarted(http_, clock, folder_ / "owner-key");
  EXPECT_EQ(runToEnd(io_, restarted.commit(server.url(), token, "alice", 10, 0.1)).seq, 0);

  EXPECT_EQ(run("device revoke alice 1").status, 0);
  EXPECT_EQ(run("device revoke alice 1").status, 1) << "already disconnected";
  try {
    runToEnd(io_, API::ingest(http_, server.url(), token, "alice", "", totals, {"laptop", "1"}));
    ADD_FAILURE() << "a revoked machine uploaded";
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.code(), 410);
  }
  EXPECT_FALSE(run("device list alice").output.ends_with("\t-\n"));

  const std::string secondSecret = secretIn(run("account rotate-secret alice").output);
  ASSERT_EQ(secondSecret.size(), 48u);
  EXPECT_EQ(signIn(server.url(), firstSecret), 403);
  EXPECT_EQ(signIn(server.url(), secondSecret), 200);
}

}  // namespace
}  // namespace quorvin::server
