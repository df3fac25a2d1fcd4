#include "platform/CurlHttpClient.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "platform/Runtime.h"
#include "platform/VirtualClock.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestCertificates.h"

namespace quorvin {
namespace {

namespace asio = boost::asio;
using test::LoopbackHttpServer;
using test::TestCertificates;
using test::TestHttpReply;
using test::TestHttpRequest;
using Kind = HttpFailure::Kind;

// Runs one send on a fresh io_context. run() returning only after the result arrived also shows
// that a transfer in flight keeps the caller's io_context busy.
HttpResult sendAndWait(HttpClient& client, HttpRequest request) {
  asio::io_context ioc;
  std::optional<HttpResult> out;
  asio::co_spawn(ioc, client.send(std::move(request)), [&out](std::exception_ptr error, HttpResult result) {
    if (error) std::rethrow_exception(error);
    out = std::move(result);
  });
  ioc.run();
  if (!out) throw std::runtime_error("send never completed");
  return std::move(*out);
}

CurlHttpClient::Options trusting(const TestCertificates& certs) {
  CurlHttpClient::Options options;
  options.caFile = certs.caFile();
  return options;
}

class CurlHttpClientTest : public ::testing::Test {
 protected:
  TestCertificates certs;
  LoopbackHttpServer server{certs};
  CurlHttpClient client{trusting(certs)};
};

TEST_F(CurlHttpClientTest, GetAndPostCarryHeadersAndBodies) {
  server.route("GET", "/hello", [](const TestHttpRequest& request) {
    return TestHttpReply{200, {{"X-Echo", request.header("x-test").value_or("none")}}, "hi " + request.target};
  });
  server.route("POST", "/api/ingest", [](const TestHttpRequest& request) {
    return TestHttpReply{201, {{"Content-Type", "application/json"}}, "{\"got\":" + request.body + "}"};
  });

  HttpResult get = sendAndWait(client, {.url = server.url("/hello?a=1"), .headers = {{"X-Test", "value 1"}}});
  ASSERT_TRUE(get.ok()) << get.failure->message;
  EXPECT_EQ(get.response->status, 200);
  EXPECT_EQ(get.response->body, "hi /hello?a=1");
  EXPECT_EQ(get.response->header("x-echo"), "value 1");
  EXPECT_EQ(get.response->header("X-ECHO"), "value 1");
  EXPECT_EQ(get.response->header("X-Missing"), std::nullopt);

  std::string body = "{\"tokens\":" + std::string(200'000, '7') + "}";  // large enough to need several writes
  HttpResult post = sendAndWait(client, {.method = "POST",
                                         .url = server.url("/api/ingest"),
                                         .headers = {{"Authorization", "Bearer abc"}, {"Content-Type", "application/json"}},
                                         .body = body});
  ASSERT_TRUE(post.ok()) << post.failure->message;
  EXPECT_EQ(post.response->status, 201);
  EXPECT_EQ(post.response->body, "{\"got\":" + body + "}");
  EXPECT_EQ(post.response->header("content-type"), "application/json");

  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(seen[1].body, body);
  EXPECT_EQ(seen[1].header("Authorization"), "Bearer abc");
  EXPECT_EQ(seen[1].header("Expect"), std::nullopt);
}

// Statuses and redirects are results, never followed; cookies are neither stored nor sent back.
TEST_F(CurlHttpClientTest, EveryAnswerIsTheResultAsSent) {
  server.route("DELETE", "/thing", [](const TestHttpRequest&) { return TestHttpReply{410, {}, "gone"}; });
  server.route("GET", "/old", [this](const TestHttpRequest&) {
    return TestHttpReply{302, {{"Location", server.url("/new")}, {"Set-Cookie", "session=secret; Path=/"}}, ""};
  });
  server.route("GET", "/new", [](const TestHttpRequest&) { return TestHttpReply{200, {}, "followed"}; });

  HttpResult gone = sendAndWait(client, {.method = "DELETE", .url = server.url("/thing")});
  ASSERT_TRUE(gone.ok());
  EXPECT_EQ(gone.response->status, 410);
  EXPECT_EQ(gone.response->body, "gone");
  EXPECT_EQ(sendAndWait(client, {.url = server.url("/unrouted")}).response->status, 404);

  HttpResult moved = sendAndWait(client, {.url = server.url("/old")});
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(moved.response->status, 302);
  EXPECT_EQ(moved.response->header("Location"), server.url("/new"));
  ASSERT_TRUE(sendAndWait(client, {.url = server.url("/new")}).ok());
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].path, "/old");
  EXPECT_EQ(seen[3].header("Cookie"), std::nullopt);
}

TEST_F(CurlHttpClientTest, SlowResponseTimesOut) {
  server.route("GET", "/slow", [](const TestHttpRequest&) {
    return TestHttpReply{.status = 200, .body = "late", .delay = std::chrono::seconds(30)};
  });
  HttpResult result = sendAndWait(client, {.url = server.url("/slow"), .timeout = std::chrono::milliseconds(200)});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure->kind, Kind::timedOut);
}

TEST_F(CurlHttpClientTest, ResponseOverTheBoundIsRefused) {
  std::string big(100'000, 'x');
  server.route("GET", "/sized", [&big](const TestHttpRequest&) { return TestHttpReply{200, {}, big}; });
  server.route("GET", "/chunked", [&big](const TestHttpRequest&) {
    return TestHttpReply{.status = 200, .body = big, .chunked = true};
  });
  server.route("GET", "/headers", [](const TestHttpRequest&) {
    return TestHttpReply{200, {{"X-Padding", std::string(8'000, 'h')}}, "small"};
  });

  // Announced by Content-Length, and discovered only while reading a chunked body.
  for (const char* path : {"/sized", "/chunked"}) {
    HttpResult result = sendAndWait(client, {.url = server.url(path), .maxResponseBytes = 50'000});
    ASSERT_FALSE(result.ok()) << path;
    EXPECT_EQ(result.failure->kind, Kind::tooLarge) << path;
  }
  // Headers count against the bound too.
  HttpResult headers = sendAndWait(client, {.url = server.url("/headers"), .maxResponseBytes = 4'000});
  ASSERT_FALSE(headers.ok());
  EXPECT_EQ(headers.failure->kind, Kind::tooLarge);

  HttpResult fits = sendAndWait(client, {.url = server.url("/chunked"), .maxResponseBytes = 200'000});
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(fits.response->body.size(), big.size());
}

TEST_F(CurlHttpClientTest, OnlyTheConfiguredCaIsTrustedForTheTestServer) {
  server.route("GET", "/", [](const TestHttpRequest&) { return TestHttpReply{200, {}, "ok"}; });

  TestCertificates stranger;
  CurlHttpClient wrongCa(trusting(stranger));
  HttpResult refused = sendAndWait(wrongCa, {.url = server.url("/")});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure->kind, Kind::tls);

  CurlHttpClient systemStore(CurlHttpClient::Options{.caFile = "/etc/ssl/certs/ca-certificates.crt"});
  EXPECT_EQ(sendAndWait(systemStore, {.url = server.url("/")}).failure->kind, Kind::tls);

  // The environment variable is the default when the options name no file.
  ::setenv("QUORVIN_CA_FILE", certs.caFile().c_str(), 1);
  CurlHttpClient fromEnvironment;
  ::unsetenv("QUORVIN_CA_FILE");
  HttpResult accepted = sendAndWait(fromEnvironment, {.url = "https://localhost:" + std::to_string(server.port()) + "/"});
  ASSERT_TRUE(accepted.ok()) << accepted.failure->message;
  EXPECT_EQ(accepted.response->body, "ok");
  EXPECT_EQ(server.requests().size(), 1u);  // the refused handshakes never reached the handler
}

TEST_F(CurlHttpClientTest, RequestsThatAreNotPlainHttpAreRefusedBeforeSending) {
  for (std::string url : {"ftp://127.0.0.1:" + std::to_string(server.port()) + "/", std::string("file:///etc/passwd"),
                          std::string("gopher://127.0.0.1/"), std::string("/relative"), std::string("https://"),
                          std::string("not a url")}) {
    HttpResult result = sendAndWait(client, {.url = url});
    ASSERT_FALSE(result.ok()) << url;
    EXPECT_EQ(result.failure->kind, Kind::badUrl) << url;
  }
  // A header or method that would split the request.
  EXPECT_EQ(sendAndWait(client, {.url = server.url("/"), .headers = {{"X-A", "1\r\nX-Injected: 2"}}}).failure->kind,
            Kind::badUrl);
  EXPECT_EQ(sendAndWait(client, {.method = "GET / HTTP/1.1\r\n", .url = server.url("/")}).failure->kind, Kind::badUrl);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(CurlHttpClientTest, CancellingTheAwaitingTaskStopsTheTransfer) {
  server.route("GET", "/slow", [](const TestHttpRequest&) {
    return TestHttpReply{.status = 200, .delay = std::chrono::seconds(30)};
  });
  asio::io_context ioc;
  asio::cancellation_signal signal;
  std::optional<HttpResult> out;
  asio::co_spawn(ioc, client.send({.url = server.url("/slow"), .timeout = std::chrono::seconds(60)}),
                 asio::bind_cancellation_slot(signal.slot(), [&out](std::exception_ptr error, HttpResult result) {
                   if (error) std::rethrow_exception(error);
                   out = std::move(result);
                 }));
  // Cancel once the server has the request, so the transfer is really in flight.
  asio::steady_timer waiter(ioc);
  std::function<void()> check = [&] {
    if (!server.requests().empty()) {
      signal.emit(asio::cancellation_type::terminal);
      return;
    }
    waiter.expires_after(std::chrono::milliseconds(5));
    waiter.async_wait([&](boost::system::error_code) { check(); });
  };
  check();
  ioc.run();
  ASSERT_TRUE(out.has_value());
  ASSERT_FALSE(out->ok());
  EXPECT_EQ(out->failure->kind, Kind::cancelled);
}

TEST(CurlHttpClientPlainTest, PlainHttpAndRefusedConnections) {
  CurlHttpClient client;
  uint16_t closedPort;
  {
    LoopbackHttpServer server;
    server.route("GET", "/", [](const TestHttpRequest&) { return TestHttpReply{200, {}, "plain"}; });
    HttpResult result = sendAndWait(client, {.url = server.url("/")});
    ASSERT_TRUE(result.ok()) << result.failure->message;
    EXPECT_EQ(result.response->body, "plain");
    closedPort = server.port();
  }
  HttpResult refused = sendAndWait(client, {.url = "http://127.0.0.1:" + std::to_string(closedPort) + "/"});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure->kind, Kind::cannotConnect);
}

TEST(CurlHttpClientPlainTest, DestroyingTheClientEndsTransfersInFlight) {
  TestCertificates certs;
  LoopbackHttpServer server(certs);
  server.route("GET", "/slow", [](const TestHttpRequest&) {
    return TestHttpReply{.status = 200, .delay = std::chrono::seconds(30)};
  });
  asio::io_context ioc;
  std::optional<HttpResult> out;
  {
    CurlHttpClient client(trusting(certs));
    asio::co_spawn(ioc, client.send({.url = server.url("/slow")}), [&out](std::exception_ptr, HttpResult result) {
      out = std::move(result);
    });
    while (server.requests().empty()) ioc.run_for(std::chrono::milliseconds(5));
  }
  ioc.run();
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->failure->kind, Kind::cancelled);
}

asio::awaitable<void> fetchAndNote(HttpClient& client, HttpRequest request, const Clock& clock,
                                   std::optional<WallTime>& answeredAt) {
  HttpResult result = co_await client.send(std::move(request));
  EXPECT_TRUE(result.ok());
  answeredAt = clock.now();
}

asio::awaitable<void> sleepAndNote(RuntimeClock& clock, bool& woke) {
  co_await clock.sleep(std::chrono::seconds(10));
  woke = true;
}

// A request in flight counts as pending work: virtual time must not jump past a sleep while the
// answer is still on its way, or tests of retry loops would see time-outs that never happened.
TEST(CurlHttpClientRuntimeTest, VirtualTimeWaitsForTransfersInFlight) {
  TestCertificates certs;
  LoopbackHttpServer server(certs);
  server.route("GET", "/slow", [](const TestHttpRequest&) {
    return TestHttpReply{.status = 200, .delay = std::chrono::milliseconds(200)};
  });
  Runtime runtime(1);
  VirtualClock clock;
  const WallTime start = clock.now();
  CurlHttpClient::Options options = trusting(certs);
  options.pending = &runtime.pending();
  CurlHttpClient client(options);

  std::optional<WallTime> answeredAt;
  bool woke = false;
  asio::co_spawn(runtime.model(), fetchAndNote(client, {.url = server.url("/slow")}, clock, answeredAt),
                 asio::detached);
  asio::co_spawn(runtime.model(), sleepAndNote(clock, woke), asio::detached);
  ASSERT_TRUE(clock.run(runtime, [&] { return answeredAt.has_value() && woke; }));
  EXPECT_EQ(*answeredAt, start);
  EXPECT_EQ(clock.now(), start + std::chrono::seconds(10));
}

}  // namespace
}  // namespace quorvin
