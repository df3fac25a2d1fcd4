#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvin::test {

class TestCertificates;

// One request as the server saw it.
struct TestHttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query, as sent ("/api/x?a=1")
  std::string path;    // target without the query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Case-insensitive header lookup.
  std::optional<std::string> header(std::string_view name) const;
};

// What a route answers.
struct TestHttpReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // Content-Length is added
  std::string body;
  // Waits this long (on the server's own timer) before answering: time-out tests.
  std::chrono::milliseconds delay{0};
  // Sends the body with chunked encoding and no Content-Length.
  bool chunked = false;
};

using TestRouteHandler = std::function<TestHttpReply(const TestHttpRequest&)>;

// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for integration tests, on Boost.Beast
// with its own thread. Plain HTTP by default; HTTPS with the server certificate of a
// TestCertificates. Requests go to the handler routed for their method and path (exact match,
// query ignored; method "*" matches any); anything unrouted gets 404. Every request is recorded.
// Handlers run on the server thread: keep them quick, use TestHttpReply::delay to stall.
//
//   TestCertificates certs;
//   LoopbackHttpServer server(certs);
//   server.route("GET", "/hello", [](const TestHttpRequest&) { return TestHttpReply{200, {}, "hi"}; });
//   ... client.send({.url = server.url("/hello")}) ...
//   EXPECT_EQ(server.requests().size(), 1);
class LoopbackHttpServer {
 public:
  LoopbackHttpServer();                                     // plain HTTP
  explicit LoopbackHttpServer(const TestCertificates& tls);  // HTTPS
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // Thread-safe; a later route for the same method and path replaces the earlier one.
  void route(std::string method, std::string path, TestRouteHandler handler);

  uint16_t port() const;
  bool tls() const;
  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT" (use "localhost" yourself if you need a name).
  std::string baseUrl() const;
  std::string url(std::string_view pathAndQuery) const { return baseUrl() + std::string(pathAndQuery); }

  std::vector<TestHttpRequest> requests() const;  // in arrival order
  void clearRequests();

  struct Impl;  // implementation detail

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace quorvin::test
