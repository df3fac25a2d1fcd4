#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <fstream>

#include "publishing/Api.h"
#include "server/logic/CandleBuilder.h"
#include "ServiceOnLoopback.h"

namespace quorvin::server {
namespace {

using namespace std::chrono_literals;

class PairingAndIngest : public ServiceOnLoopback {
 protected:
  std::string pairAutomatically() {
    auto pair = await(API::createPair(*http_, api_));
    auto approved = await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret));
    EXPECT_TRUE(approved);
    return approved ? approved->token : std::string();
  }
  API::Totals totals(int64_t total) {
    API::Totals t;
    t.total = total;
    t.cost = static_cast<double>(total) / 1000.0;
    return t;
  }
  // The service error a call ends in (0 when it succeeds); revocations must read as such.
  template <class T>
  long failure(boost::asio::awaitable<T> call, bool revocation = false) {
    try {
      await(std::move(call));
      return 0;
    } catch (const ServiceError& e) {
      EXPECT_EQ(API::isAuthorizationRevocation(e), revocation) << e.code();
      return e.code();
    }
  }
  const API::Publisher publisher{"0b0c6a43-4d0f-4f5e-9a35-5f3f7b4f2a10", "0.1.0"};
};

TEST_F(PairingAndIngest, ApprovalPageThenPoll) {
  startServer();
  auto pair = await(API::createPair(*http_, api_));
  EXPECT_EQ(pair.verifyUrl, api_ + "/pair/" + pair.code);
  EXPECT_EQ(request("GET", "/api/connect/pair?protocol=2").header("Cache-Control"), "no-store")
      << "the answer carries a device secret";
  EXPECT_FALSE(await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret))) << "pending";
  EXPECT_EQ(failure(API::pollPair(*http_, api_, pair.code, "not-the-secret")), 404)
      << "a wrong secret is answered like an unknown code";

  auto page = request("GET", "/pair/" + pair.code);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find(pair.code), std::string::npos);
  const std::vector<std::pair<std::string, std::string>> form = {
      {"Content-Type", "application/x-www-form-urlencoded"}};
  EXPECT_EQ(request("POST", "/pair/" + pair.code, "handle=alice&secret=wrong", form).status, 403);
  EXPECT_FALSE(await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret)));
  EXPECT_EQ(request("POST", "/pair/" + pair.code, "handle=Alice&secret=" + aliceSecret_, form).status, 200);

  auto approved = await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret));
  ASSERT_TRUE(approved);
  EXPECT_EQ(approved->login, "alice");
  EXPECT_EQ(approved->token.size(), 64u);
  // Only the hash of the token is stored.
  auto db = inspect();
  auto q = db->query("SELECT token_hash FROM devices");
  ASSERT_TRUE(q.step());
  EXPECT_EQ(q.text(0), crypto::sha256Hex(approved->token));
}

TEST_F(PairingAndIngest, AutoApprovalAndExpiryAfterTenMinutes) {
  startServer("alice");
  EXPECT_FALSE(pairAutomatically().empty()) << "approved without anyone signing in";

  stopServer();
  startServer();
  auto pair = await(API::createPair(*http_, api_));
  clock_.advance(9min + 59s);
  EXPECT_FALSE(await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret)));
  clock_.advance(1s);
  try {
    await(API::pollPair(*http_, api_, pair.code, pair.deviceSecret));
    ADD_FAILURE() << "an expired code must throw";
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.code(), 410);
    EXPECT_STREQ(e.what(), "pairing expired");
  }
  // Live, lapsed and never-issued codes all get the same sign-in form.
  auto lapsed = request("GET", "/pair/" + pair.code);
  auto unknown = request("GET", "/pair/ZZZZ-2222");
  EXPECT_EQ(lapsed.status, 200);
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(lapsed.body.size(), unknown.body.size());
  EXPECT_EQ(request("GET", "/pair/" + std::string(15'500, 'A')).status, 404);
}

// The client's enrolment secret reaches the service (wrong secrets are the routes' concern).
TEST_F(PairingAndIngest, EnrolmentSecretDecidesAutomaticApproval) {
  startServer("alice", std::nullopt, "enrol-secret-0123456789");
  auto stranger = await(API::createPair(*http_, api_));
  EXPECT_FALSE(await(API::pollPair(*http_, api_, stranger.code, stranger.deviceSecret)));
  auto own = await(API::createPair(*http_, api_, "enrol-secret-0123456789"));
  auto approved = await(API::pollPair(*http_, api_, own.code, own.deviceSecret));
  ASSERT_TRUE(approved);
  EXPECT_EQ(approved->login, "alice");
}

TEST_F(PairingAndIngest, IngestRevocationAndCandles) {
  startServer("alice");
  const std::string token = pairAutomatically();

  auto accepted = await(API::ingest(*http_, api_, token, "alice", "pro", totals(1000), publisher));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->total, 1000);
  EXPECT_EQ(accepted->cost, 1.0);
  EXPECT_EQ(accepted->listValue, 1.0);
  {
    auto db = inspect();
    auto q = db->query("SELECT detail FROM publisher_totals");
    ASSERT_TRUE(q.step());
    EXPECT_EQ(q.text(0).find("by_model"), std::string::npos) << "empty breakdowns were not sent";
    EXPECT_EQ(q.text(0).find("apps_used"), std::string::npos);
  }
  // A second machine of the same account, then growth on the first over two minutes.
  auto other = publisher;
  other.publisherId = "8f9e5a10-0000-4000-8000-000000000001";
  await(API::ingest(*http_, api_, token, "alice", "pro", totals(500), other));
  for (int i = 1; i <= 8; ++i) {
    clock_.advance(15s);
    await(API::ingest(*http_, api_, token, "alice", "pro", totals(1000 + 150 * i), publisher));
  }
  auto frame = await(API::liveCandles(*http_, api_, "alice", 45));
  EXPECT_TRUE(frame.connected);
  EXPECT_EQ(frame.candles.size(), 45u);
  EXPECT_EQ(frame.bucketMs, 60000.0);
  EXPECT_EQ(frame.state, "live");
  double vol = 0;
  for (const auto& c : frame.candles) vol += c.vol;
  EXPECT_EQ(vol, 8 * 150.0);
  EXPECT_EQ(frame.candles.back().provisional, true);
  EXPECT_DOUBLE_EQ(*frame.tokenRate, 600.0) << "150 tokens every 15 s";

  EXPECT_EQ(failure(API::ingest(*http_, api_, "0000", "alice", "pro", totals(1), publisher), true), 401);
  EXPECT_EQ(failure(API::ingest(*http_, api_, token, "bob", "pro", totals(1), publisher)), 403)
      << "a device publishes only to its own handle";

  // Disconnect the machine on the data settings page.
  const std::vector<std::pair<std::string, std::string>> form = {
      {"Content-Type", "application/x-www-form-urlencoded"}};
  auto devices = request("POST", "/connect", "handle=alice&secret=" + aliceSecret_, form);
  EXPECT_EQ(devices.status, 200);
  EXPECT_NE(devices.body.find("#1"), std::string::npos);
  EXPECT_EQ(request("POST", "/connect/revoke", "handle=alice&secret=" + aliceSecret_ + "&device=1", form).status, 200);
  EXPECT_EQ(failure(API::ingest(*http_, api_, token, "alice", "pro", totals(5000), publisher), true), 410);
  EXPECT_FALSE(await(API::liveCandles(*http_, api_, "alice", 45)).connected);
  EXPECT_EQ(failure(API::liveCandles(*http_, api_, "nobody", 45)), 404);
}

TEST_F(PairingAndIngest, BadInputIsRefusedAndPagesEscape) {
  startServer("alice");
  const std::string token = pairAutomatically();
  const std::vector<std::pair<std::string, std::string>> auth = {{"Authorization", "Bearer " + token},
                                                                 {"Content-Type", "application/json"}};
  EXPECT_EQ(request("POST", "/api/ingest", "{\"handle\":", auth).status, 400);
  EXPECT_EQ(request("POST", "/api/ingest", std::string(1024 * 1024 + 1, ' '), auth).status, 413);
  EXPECT_EQ(request("POST", "/api/ingest",
                    R"({"handle":"alice","publisher_id":"p","tokens":{"total":-5,"cost_usd_total":0}})", auth)
                .status,
            422);
  EXPECT_EQ(request("GET", "/api/usage/candles?handle=no_such&target=45").status, 400);

  API::Totals t;
  t.total = 10;
  t.models = {{"<script>alert(1)</script>", 1, 2, 3, 4, 0.5}};
  ASSERT_TRUE(await(API::ingest(*http_, api_, token, "alice", "", t, {"p", "1"})));
  auto profile = request("GET", "/Alice");
  EXPECT_EQ(profile.status, 200);
  EXPECT_NE(profile.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(profile.body.find("<script>alert"), std::string::npos);
  EXPECT_EQ(request("GET", "/nobody").status, 404);
  // Pages run no inline script, are kept by no cache and are pinned to HTTPS.
  EXPECT_EQ(profile.body.find("<script>"), std::string::npos);
  EXPECT_NE(profile.body.find("<script src=\"/assets/profile.js\"></script>"), std::string::npos);
  const auto policy = profile.header("Content-Security-Policy").value_or("");
  EXPECT_NE(policy.find("script-src 'self';"), std::string::npos) << policy;
  EXPECT_EQ(profile.header("Cache-Control"), "no-store");
  EXPECT_EQ(profile.header("Strict-Transport-Security"), "max-age=31536000");
  auto script = request("GET", "/assets/profile.js");
  EXPECT_EQ(script.status, 200);
  EXPECT_NE(script.body.find("/api/usage/candles"), std::string::npos);
  const std::vector<std::pair<std::string, std::string>> form = {
      {"Content-Type", "application/x-www-form-urlencoded"}};
  EXPECT_EQ(request("POST", "/connect", "handle=alice&secret=" + aliceSecret_, form).header("Cache-Control"),
            "no-store")
      << "the page carries the secret in its forms";
}

// TLS 1.2 clients get forward secrecy or no connection at all.
TEST_F(PairingAndIngest, OnlyForwardSecretCiphersAreOffered) {
  startServer();
  auto handshake = [this](const char* ciphers) {
    boost::asio::ssl::context context(boost::asio::ssl::context::tls_client);
    SSL_CTX_set_max_proto_version(context.native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context.native_handle(), ciphers);
    boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream(io_, context);
    stream.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), server_->port()});
    boost::system::error_code ec;
    stream.handshake(boost::asio::ssl::stream_base::client, ec);
    return !ec;
  };
  EXPECT_FALSE(handshake("AES128-SHA"));
  EXPECT_FALSE(handshake("AES256-GCM-SHA384")) << "no key exchange with forward secrecy";
  EXPECT_TRUE(handshake("ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256"));
}

TEST_F(PairingAndIngest, DownloadsAreServedByteForByte) {
  const auto downloads = dir_ / "downloads";
  std::filesystem::create_directories(downloads);
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7 % 256);
  std::ofstream(downloads / "quorvin-mac.dmg", std::ios::binary) << bytes;
  std::ofstream(downloads / "quorvin-mac.manifest.json") << R"({"appVersion":"1.4.2"})";
  std::filesystem::create_symlink("/etc/passwd", downloads / "link");
  startServer(std::nullopt, downloads);

  auto file = request("GET", "/downloads/quorvin-mac.dmg");
  EXPECT_EQ(file.status, 200);
  EXPECT_TRUE(file.body == bytes);
  EXPECT_EQ(file.header("Accept-Ranges"), "bytes");
  // An interrupted download resumes where it stopped.
  auto rest = request("GET", "/downloads/quorvin-mac.dmg", {}, {{"Range", "bytes=65536-"}});
  EXPECT_EQ(rest.status, 206);
  EXPECT_TRUE(rest.body == bytes.substr(65536));
  EXPECT_EQ(rest.header("Content-Range"), "bytes 65536-69999/70000");
  auto middle = request("GET", "/downloads/quorvin-mac.dmg", {}, {{"Range", "bytes=10-19"}});
  EXPECT_EQ(middle.status, 206);
  EXPECT_EQ(middle.body, bytes.substr(10, 10));
  EXPECT_EQ(request("GET", "/downloads/quorvin-mac.dmg", {}, {{"Range", "bytes=70000-"}}).status, 416);
  EXPECT_EQ(request("GET", "/downloads/quorvin-mac.manifest.json").body, R"({"appVersion":"1.4.2"})");
  EXPECT_EQ(request("GET", "/downloads/link").status, 404);
  EXPECT_EQ(request("GET", "/downloads/..%2Fdata%2Fquorvin-server.sqlite3").status, 404);
  EXPECT_EQ(request("GET", "/downloads/missing").status, 404);
  auto page = request("GET", "/download");
  EXPECT_NE(page.body.find("1.4.2"), std::string::npos);
  EXPECT_NE(page.body.find("/downloads/quorvin-mac.dmg"), std::string::npos);
}

}  // namespace
}  // namespace quorvin::server
