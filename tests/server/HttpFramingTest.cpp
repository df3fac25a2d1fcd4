#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <sys/socket.h>

#include <filesystem>
#include <thread>

#include "server/Service.h"
#include "server/WallClock.h"
#include "server/http/HttpServer.h"
#include "support/TempFolder.h"

namespace quorvin::server {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Raw bytes against the service over plain HTTP on loopback, for what no well-behaved client
// sends.
class HttpFraming : public ::testing::Test {
 protected:
  void TearDown() override {
    server_.reset();
    service_.reset();
  }
  void start(size_t perAddress = 64, size_t bodyBytes = 64u << 20) {
    ServerConfig config;
    config.dataDir = dir_.path();
    config.port = 0;
    config.ioThreads = 2;
    config.maxConnectionsPerAddress = perAddress;
    config.maxUnfinishedBodyBytes = bodyBytes;
    service_ = std::make_unique<Service>(config, clock_);
    server_ = std::make_unique<HttpServer>(*service_);
    server_->start();
  }
  tcp::socket connect() {
    tcp::socket socket(io_);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
    // A bound on every read: after a refusal the server keeps reading (so the client sees the
    // answer before the close), and two quiet seconds mean it has said all it will.
    timeval timeout{2, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return socket;
  }
  // Sends the bytes and reads until the server closes or falls quiet: every answer it gave.
  std::string exchange(const std::string& bytes) {
    auto socket = connect();
    asio::write(socket, asio::buffer(bytes));
    return readAll(socket);
  }
  static std::string readAll(tcp::socket& socket) {
    // Plain recv: Asio's blocking read would wait out the time-out and poll again.
    std::string out;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(socket.native_handle(), chunk, sizeof chunk, 0);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
    return out;
  }
  static size_t answers(const std::string& text) {
    size_t count = 0;
    for (size_t at = text.find("HTTP/1.1 "); at != std::string::npos; at = text.find("HTTP/1.1 ", at + 1)) ++count;
    return count;
  }

  test::TempFolder dir_{"quorvin-framing"};
  WallClock clock_;
  asio::io_context io_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<HttpServer> server_;
};

TEST_F(HttpFraming, OddTransferEncodingsAreRefusedNotSmuggled) {
  start();
  const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
  for (const char* encoding : {"xchunked", "gzip", "chunked, identity", "identity"}) {
    const std::string reply = exchange("POST /api/ingest HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: " +
                                       std::string(encoding) + "\r\nContent-Length: " +
                                       std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled);
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 400")) << encoding << ": " << reply.substr(0, 40);
    EXPECT_EQ(answers(reply), 1u) << encoding << ": the body was served as a second request";
  }
  const std::string withoutLength =
      exchange("POST /api/ingest HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: xchunked\r\n\r\n" + smuggled);
  EXPECT_TRUE(withoutLength.starts_with("HTTP/1.1 400")) << withoutLength.substr(0, 40);
  EXPECT_EQ(answers(withoutLength), 1u);
}

TEST_F(HttpFraming, MalformedRequestsHearWhyBeforeTheConnectionCloses) {
  start();
  const std::pair<std::string, const char*> cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(17 * 1024, 'a') + "\r\n\r\n", "431"},
      {"POST /api/ingest HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", "400"},
      {"POST /api/ingest HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", "400"},
      {"GET / HTTP/1.1\nHost: x\n\n", "400"},
      {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "400"},
      {"\x16\x03\x01\x02" "junk that is not HTTP\r\n\r\n", "400"},
  };
  for (const auto& [bytes, status] : cases) {
    const std::string reply = exchange(bytes);
    EXPECT_TRUE(reply.starts_with(std::string("HTTP/1.1 ") + status)) << bytes.substr(0, 30) << " -> "
                                                                      << reply.substr(0, 40);
  }
  // And a good request on a fresh connection is still served.
  EXPECT_TRUE(exchange("GET /nobody HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").starts_with("HTTP/1.1 404"));
}

TEST_F(HttpFraming, OneAddressGetsItsShareOfConnectionsAndBodyBytes) {
  start(4, 1536 * 1024);
  std::vector<tcp::socket> held;
  for (int i = 0; i < 4; ++i) held.push_back(connect());
  auto refused = connect();
  EXPECT_EQ(readAll(refused), "") << "the fifth connection is closed without a word";
  held.pop_back();
  // The slot comes back once the server has seen the close.
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    served = exchange("GET /nobody HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").starts_with("HTTP/1.1 404");
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(served);
  held.clear();

  // Two unfinished 1 MiB bodies do not fit a 1.5 MiB budget: the second hears 503.
  const std::string header = "POST /api/ingest HTTP/1.1\r\nHost: x\r\nContent-Length: 1048576\r\n\r\n";
  auto first = connect();
  asio::write(first, asio::buffer(header + std::string(1000, ' ')));
  // Probing before the server has read the first header would let the probe take the budget
  // instead, and each probe then waits out the body time-out.
  for (int attempt = 0; attempt < 250 && server_->limits().unfinishedBodyBytes() == 0; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GT(server_->limits().unfinishedBodyBytes(), 0u);
  std::string second;
  for (int attempt = 0; attempt < 50 && !second.starts_with("HTTP/1.1 503"); ++attempt) {
    second = exchange(header + std::string(1000, ' '));
    if (!second.starts_with("HTTP/1.1 503")) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(second.starts_with("HTTP/1.1 503")) << second.substr(0, 40);
}

}  // namespace
}  // namespace quorvin::server
