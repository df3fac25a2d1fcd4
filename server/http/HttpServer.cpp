#include "server/http/HttpServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>

#include "core/Log.h"

namespace quorvin::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;

namespace {

constexpr auto readTimeout = std::chrono::seconds(30);
constexpr auto writeTimeout = std::chrono::seconds(30);

// Runs on the database thread; the caller resumes on its own executor.
awaitable<Response> onDatabase(Service& service, Request request) { co_return service.handle(request); }

std::optional<Request> toRequest(http::request<http::string_body>& message) {
  auto target = boost::urls::parse_origin_form(message.target());
  if (!target) return std::nullopt;
  Request request;
  request.method = std::string(message.method_string());
  try {
    request.path = target->path();
    for (auto param : target->params()) request.query[param.key] = param.value;
  } catch (...) {
    return std::nullopt;
  }
  request.authorization = std::string(message[http::field::authorization]);
  request.deviceSecret = std::string(message["X-Quorvin-Device-Secret"]);
  request.contentType = std::string(message[http::field::content_type]);
  request.body = std::move(message.body());
  return request;
}

template <class Stream>
awaitable<void> write(Stream& stream, const Response& response, unsigned version, bool keepAlive, bool head,
                      beast::error_code& ec) {
  auto fill = [&](auto& message) {
    message.version(version);
    message.keep_alive(keepAlive);
    message.result(response.status);
    message.set(http::field::content_type, response.contentType);
    message.set("X-Content-Type-Options", "nosniff");
    if (response.contentType.starts_with("text/html")) {
      message.set("Content-Security-Policy",
                  "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'unsafe-inline'; "
                  "frame-ancestors 'none'");
      message.set("Referrer-Policy", "no-referrer");
    }
    for (const auto& [name, value] : response.headers) message.set(name, value);
  };
  beast::get_lowest_layer(stream).expires_after(writeTimeout);
  if (response.file) {
    http::response<http::file_body> message;
    message.body().open(response.file->c_str(), beast::file_mode::scan, ec);
    if (!ec) {
      fill(message);
      message.prepare_payload();
      if (head) {
        http::response_serializer<http::file_body> serializer(message);
        serializer.split(true);
        co_await http::async_write_header(stream, serializer, asio::redirect_error(use_awaitable, ec));
      } else {
        co_await http::async_write(stream, message, asio::redirect_error(use_awaitable, ec));
      }
      co_return;
    }
    ec = {};
    Response missing = Response::text(404, "Not found\n");
    http::response<http::string_body> message404;
    message404.version(version);
    message404.keep_alive(keepAlive);
    message404.result(404);
    message404.set(http::field::content_type, missing.contentType);
    message404.body() = missing.body;
    message404.prepare_payload();
    co_await http::async_write(stream, message404, asio::redirect_error(use_awaitable, ec));
    co_return;
  }
  http::response<http::string_body> message;
  fill(message);
  message.body() = head ? std::string() : response.body;
  message.prepare_payload();
  if (head) message.content_length(response.body.size());
  co_await http::async_write(stream, message, asio::redirect_error(use_awaitable, ec));
}

// After refusing a body, reads and drops what the client is still sending, so that closing
// does not reset the connection before the client has read the refusal.
template <class Stream>
awaitable<void> drain(Stream& stream, beast::flat_buffer& buffer) {
  beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(5));
  beast::error_code ec;
  size_t dropped = 0;
  while (dropped < 16 * HttpServer::maxBodyBytes) {
    buffer.consume(buffer.size());
    const size_t n = co_await stream.async_read_some(buffer.prepare(64 * 1024), asio::redirect_error(use_awaitable, ec));
    if (ec) break;
    dropped += n;
  }
}

template <class Stream>
awaitable<void> serve(Stream& stream, Service& service, asio::thread_pool& database) {
  beast::flat_buffer buffer;
  beast::error_code ec;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(HttpServer::maxBodyBytes);
    parser.header_limit(16 * 1024);
    beast::get_lowest_layer(stream).expires_after(readTimeout);
    co_await http::async_read_header(stream, buffer, parser, asio::redirect_error(use_awaitable, ec));
    // A declared length over the limit is refused as soon as the header is read.
    if (ec == http::error::body_limit) {
      co_await write(stream, Response::jsonError(413, "body over 1 MiB"), parser.get().version(), false, false, ec);
      if (!ec) co_await drain(stream, buffer);
      co_return;
    }
    if (ec) co_return;
    const unsigned version = parser.get().version();
    if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
      http::response<http::empty_body> proceed{http::status::continue_, version};
      co_await http::async_write(stream, proceed, asio::redirect_error(use_awaitable, ec));
      if (ec) co_return;
    }
    if (!parser.is_done()) {
      co_await http::async_read(stream, buffer, parser, asio::redirect_error(use_awaitable, ec));
      if (ec == http::error::body_limit) {
        co_await write(stream, Response::jsonError(413, "body over 1 MiB"), version, false, false, ec);
        if (!ec) co_await drain(stream, buffer);
        co_return;
      }
      if (ec) co_return;
    }
    auto message = parser.release();
    const bool keepAlive = message.keep_alive();
    const bool head = message.method() == http::verb::head;
    Response response;
    if (auto request = toRequest(message)) {
      if (auto quick = service.handleWithoutDatabase(*request)) {
        response = std::move(*quick);
      } else {
        // Named first: GCC 12 mishandles temporaries made inside a co_await expression.
        auto work = onDatabase(service, std::move(*request));
        response = co_await asio::co_spawn(database, std::move(work), use_awaitable);
      }
    } else {
      response = Response::jsonError(400, "malformed request target");
    }
    co_await write(stream, response, version, keepAlive, head, ec);
    if (ec || !keepAlive) break;
  }
  beast::error_code ignored;
  if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  } else {
    beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(5));
    co_await stream.async_shutdown(asio::redirect_error(use_awaitable, ignored));
  }
}

awaitable<void> plainSession(tcp::socket socket, Service& service, asio::thread_pool& database) {
  beast::tcp_stream stream(std::move(socket));
  co_await serve(stream, service, database);
}

awaitable<void> tlsSession(tcp::socket socket, asio::ssl::context& tls, Service& service,
                           asio::thread_pool& database) {
  beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), tls);
  beast::get_lowest_layer(stream).expires_after(readTimeout);
  beast::error_code ec;
  co_await stream.async_handshake(asio::ssl::stream_base::server, asio::redirect_error(use_awaitable, ec));
  if (ec) co_return;
  co_await serve(stream, service, database);
}

awaitable<void> acceptLoop(tcp::acceptor& acceptor, asio::ssl::context* tls, Service& service,
                           asio::thread_pool& database) {
  for (;;) {
    beast::error_code ec;
    tcp::socket socket = co_await acceptor.async_accept(asio::make_strand(acceptor.get_executor()),
                                                        asio::redirect_error(use_awaitable, ec));
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) continue;  // for example EMFILE: keep serving the connections we have
    socket.set_option(tcp::no_delay(true), ec);
    auto executor = socket.get_executor();
    if (tls != nullptr) {
      asio::co_spawn(executor, tlsSession(std::move(socket), *tls, service, database), asio::detached);
    } else {
      asio::co_spawn(executor, plainSession(std::move(socket), service, database), asio::detached);
    }
  }
}

}  // namespace

HttpServer::HttpServer(Service& service) : service_(service) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
  const auto& config = service_.config();
  if (config.tls()) {
    tls_.emplace(asio::ssl::context::tls_server);
    tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
    tls_->use_certificate_chain_file(config.tlsCert->string());
    tls_->use_private_key_file(config.tlsKey.value_or(*config.tlsCert).string(), asio::ssl::context::pem);
  }
  const tcp::endpoint endpoint(asio::ip::make_address(config.listenAddress), config.port);
  acceptor_.emplace(io_);
  acceptor_->open(endpoint.protocol());
  acceptor_->set_option(tcp::acceptor::reuse_address(true));
  acceptor_->bind(endpoint);
  acceptor_->listen(asio::socket_base::max_listen_connections);
  port_ = acceptor_->local_endpoint().port();
  service_.setListeningPort(port_);
  asio::co_spawn(io_, acceptLoop(*acceptor_, tls_ ? &*tls_ : nullptr, service_, database_), asio::detached);
  const unsigned threads = std::max(1u, config.ioThreads);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
}

void HttpServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (acceptor_) {
    asio::post(io_, [this] {
      beast::error_code ignored;
      acceptor_->close(ignored);
    });
  }
  io_.stop();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
  // A request already on the database thread finishes its transaction; queued ones are dropped.
  database_.stop();
  database_.join();
}

void HttpServer::runUntilSignal() {
  asio::io_context signals;
  asio::signal_set set(signals, SIGTERM, SIGINT);
  set.async_wait([](const beast::error_code&, int) {});
  signals.run();
  logLine("Quorvin server stopping");
  stop();
}

}  // namespace quorvin::server
