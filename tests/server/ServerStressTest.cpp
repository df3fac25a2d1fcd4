#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <filesystem>
#include <thread>

#include "server/Service.h"
#include "server/WallClock.h"
#include "server/http/HttpServer.h"
#include "support/TempFolder.h"

namespace quorvin::server {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Several connection threads under keep-alive traffic from several clients at once, on
// loopback and bounded in count: the shape of traffic that once corrupted the heap. Run under
// ThreadSanitizer by scripts/server-stress.
TEST(ServerStress, ManyKeepAliveClientsOnSeveralThreads) {
  test::TempFolder dir("quorvin-stress");
  std::filesystem::create_directories(dir / "data");
  test::writeFile(dir / "downloads" / "app.bin", std::string(200'000, 'q'));
  WallClock clock;
  ServerConfig config;
  config.dataDir = dir / "data";
  config.port = 0;
  config.ioThreads = 4;
  config.downloadsDir = dir / "downloads";
  config.maxConnectionsPerAddress = 64;
  Service service(config, clock);
  ASSERT_TRUE(service.accounts().addAccount("alice", service.nowMs()));
  HttpServer server(service);
  server.start();

  constexpr int clients = 6;
  constexpr int requestsEach = 150;
  const char* targets[] = {"/downloads/app.bin", "/api/usage/candles?handle=alice&target=45", "/",
                           "/api/connect/pair?protocol=2", "/alice", "/assets/profile.js"};
  std::atomic<int> answered{0}, broken{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      asio::io_context io;
      beast::tcp_stream stream(io);
      beast::error_code ec;
      stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server.port()), ec);
      if (ec) {
        ++broken;
        return;
      }
      beast::flat_buffer buffer;
      for (int i = 0; i < requestsEach; ++i) {
        http::request<http::empty_body> request{http::verb::get, targets[(c + i) % std::size(targets)], 11};
        request.set(http::field::host, "127.0.0.1");
        request.keep_alive(true);
        stream.expires_after(std::chrono::seconds(30));
        http::write(stream, request, ec);
        http::response<http::string_body> response;
        if (!ec) http::read(stream, buffer, response, ec);
        if (ec || response.result_int() >= 500) {
          ++broken;
          return;
        }
        ++answered;
      }
    });
  }
  for (auto& t : threads) t.join();
  server.stop();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(answered.load(), clients * requestsEach);
}

}  // namespace
}  // namespace quorvin::server
