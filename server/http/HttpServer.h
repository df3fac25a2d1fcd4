#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "server/Service.h"
#include "server/http/ConnectionLimits.h"

namespace quorvin::server {

struct HttpShared;

// HTTP/1.1 (plain or TLS) in front of a Service. Connections are served by coroutines on
// `ioThreads` threads; every database route hops to one database thread, so SQLite is only
// ever used from there and a slow query never holds up accepting or TLS.
class HttpServer {
 public:
  static constexpr size_t maxBodyBytes = 1 << 20;

  explicit HttpServer(Service& service);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and starts serving on background threads; throws when the address is unusable
  // or the certificate does not load.
  void start();
  uint16_t port() const { return port_; }
  const ConnectionLimits& limits() const { return limits_; }
  // Stops accepting and serving and joins every thread. Committed data is already durable.
  void stop();
  // Blocks until SIGTERM or SIGINT, then stops.
  void runUntilSignal();

 private:
  Service& service_;
  ConnectionLimits limits_;
  std::unique_ptr<HttpShared> shared_;
  // Order matters for destruction: the TLS context outlives the sessions left in io_, and the
  // database pool's leftover handlers (holding work on io_) go before io_.
  std::optional<boost::asio::ssl::context> tls_;
  boost::asio::io_context io_;
  boost::asio::thread_pool database_{1};
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  std::vector<std::thread> threads_;
  uint16_t port_ = 0;
  bool stopped_ = false;
};

}  // namespace quorvin::server
