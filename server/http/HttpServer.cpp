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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>

#include "core/Log.h"
#include "server/http/RequestChecks.h"

namespace quorvin::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;

// What every connection shares: the service, the database thread and the limits.
struct HttpShared {
  Service& service;
  asio::thread_pool& database;
  ConnectionLimits& limits;
  bool tls = false;
};

namespace {

constexpr auto readTimeout = std::chrono::seconds(30);
// Writes wait at most this long for the client to take more bytes: an idle limit, so a large
// download on a slow line is not cut off while it is still moving.
constexpr auto writeTimeout = std::chrono::seconds(30);
constexpr size_t fileChunkBytes = 64 * 1024;


// Runs on the database thread; the caller resumes on its own executor.
awaitable<Response> onDatabase(Service& service, Request request) { co_return service.handle(request); }

std::optional<Request> toRequest(http::request<http::string_body>& message, const std::string& client) {
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
  request.enrolSecret = std::string(message["X-Quorvin-Enrol-Secret"]);
  request.range = std::string(message[http::field::range]);
  request.clientAddress = client;
  request.forwarded = message.count(http::field::forwarded) != 0 || message.count("X-Forwarded-For") != 0 ||
                      message.count("X-Real-IP") != 0;
  request.body = std::move(message.body());
  return request;
}

void setCommonHeaders(http::fields& fields, const Response& response, bool tls) {
  fields.set(http::field::content_type, response.contentType);
  fields.set("X-Content-Type-Options", "nosniff");
  if (tls) fields.set("Strict-Transport-Security", "max-age=31536000");
  bool cacheControl = false;
  for (const auto& [name, value] : response.headers) {
    fields.set(name, value);
    cacheControl = cacheControl || beast::iequals(name, "Cache-Control");
  }
  if (response.contentType.starts_with("text/html")) {
    // Scripts only from the service's own files.
    fields.set("Content-Security-Policy",
               "default-src 'self'; script-src 'self'; style-src 'unsafe-inline'; base-uri 'none'; "
               "form-action 'self'; frame-ancestors 'none'");
    fields.set("Referrer-Policy", "no-referrer");
  }
  // Pages may carry an account secret in a form, and API answers a device secret or token.
  if (!cacheControl && (response.contentType.starts_with("text/html") || response.contentType == "application/json")) {
    fields.set(http::field::cache_control, "no-store");
  }
}

template <class Stream>
awaitable<void> writeFile(Stream& stream, const Response& response, const std::string& rangeHeader, unsigned version,
                          bool keepAlive, bool head, bool tls, beast::error_code& ec) {
  const int fd = ::open(response.file->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    Response missing = Response::text(404, "Not found\n");
    http::response<http::string_body> message{http::status::not_found, version};
    message.keep_alive(keepAlive);
    setCommonHeaders(message, missing, tls);
    message.body() = head ? std::string() : missing.body;
    message.prepare_payload();
    co_await http::async_write(stream, message, asio::redirect_error(use_awaitable, ec));
    co_return;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  const auto size = static_cast<uint64_t>(st.st_size);
  const ByteRange range = parseRange(rangeHeader, size);
  http::response<http::buffer_body> message;
  message.version(version);
  message.keep_alive(keepAlive);
  setCommonHeaders(message, response, tls);
  message.set(http::field::accept_ranges, "bytes");
  uint64_t first = 0, length = size;
  if (range.kind == ByteRange::Kind::unsatisfiable) {
    message.result(http::status::range_not_satisfiable);
    message.set(http::field::content_range, "bytes */" + std::to_string(size));
    length = 0;
  } else if (range.kind == ByteRange::Kind::partial) {
    message.result(http::status::partial_content);
    message.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                std::to_string(range.last) + "/" + std::to_string(size));
    first = range.first;
    length = range.last - range.first + 1;
  } else {
    message.result(http::status::ok);
  }
  message.content_length(length);
  message.body().data = nullptr;
  message.body().more = !head && length > 0;
  http::response_serializer<http::buffer_body> serializer(message);
  beast::get_lowest_layer(stream).expires_after(writeTimeout);
  co_await http::async_write_header(stream, serializer, asio::redirect_error(use_awaitable, ec));
  if (ec || head || length == 0) co_return;
  std::vector<char> chunk(fileChunkBytes);
  uint64_t offset = first, left = length;
  while (left > 0) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    const ssize_t n = ::pread(fd, chunk.data(), want, static_cast<off_t>(offset));
    if (n <= 0) {
      // The file shrank under us: the promised length can no longer be kept.
      ec = asio::error::broken_pipe;
      co_return;
    }
    offset += static_cast<uint64_t>(n);
    left -= static_cast<uint64_t>(n);
    message.body().data = chunk.data();
    message.body().size = static_cast<size_t>(n);
    message.body().more = left > 0;
    beast::get_lowest_layer(stream).expires_after(writeTimeout);
    co_await http::async_write(stream, serializer, asio::redirect_error(use_awaitable, ec));
    if (ec == http::error::need_buffer) ec = {};
    if (ec) co_return;
  }
}

template <class Stream>
awaitable<void> write(Stream& stream, const Response& response, unsigned version, bool keepAlive, bool head,
                      bool tls, beast::error_code& ec) {
  beast::get_lowest_layer(stream).expires_after(writeTimeout);
  http::response<http::string_body> message;
  message.version(version);
  message.keep_alive(keepAlive);
  message.result(response.status);
  setCommonHeaders(message, response, tls);
  message.body() = head ? std::string() : response.body;
  message.prepare_payload();
  if (head) message.content_length(response.body.size());
  co_await http::async_write(stream, message, asio::redirect_error(use_awaitable, ec));
}

// The answer to a request the parser could not accept; the connection is closed after it.
std::optional<Response> refusalFor(const beast::error_code& ec) {
  if (ec == http::error::header_limit) return Response::jsonError(431, "request header over 16 KiB");
  if (ec == http::error::body_limit) return Response::jsonError(413, "body over 1 MiB");
  // A client that went away or stopped mid-message hears nothing; malformed HTTP hears 400.
  if (ec.category() != make_error_code(http::error::end_of_stream).category()) return std::nullopt;
  if (ec == http::error::end_of_stream || ec == http::error::partial_message) return std::nullopt;
  return Response::jsonError(400, "malformed HTTP request");
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
awaitable<void> refuse(Stream& stream, beast::flat_buffer& buffer, const Response& response, unsigned version,
                       bool tls) {
  beast::error_code ec;
  co_await write(stream, response, version == 10 ? 10 : 11, false, false, tls, ec);
  if (!ec) co_await drain(stream, buffer);
}

template <class Stream>
awaitable<void> serve(Stream& stream, HttpShared& shared, const std::string& client) {
  beast::flat_buffer buffer;
  beast::error_code ec;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(HttpServer::maxBodyBytes);
    parser.header_limit(16 * 1024);
    beast::get_lowest_layer(stream).expires_after(readTimeout);
    co_await http::async_read_header(stream, buffer, parser, asio::redirect_error(use_awaitable, ec));
    if (ec) {
      // A declared length over the limit is refused as soon as the header is read.
      if (auto refusal = refusalFor(ec)) co_await refuse(stream, buffer, *refusal, parser.get().version(), shared.tls);
      co_return;
    }
    const unsigned version = parser.get().version();
    if (ambiguousFraming(parser.get())) {
      // Named first: GCC 12 mishandles temporaries made inside a co_await expression.
      const auto refusal = Response::jsonError(400, "ambiguous message framing");
      co_await refuse(stream, buffer, refusal, version, shared.tls);
      co_return;
    }
    ConnectionLimits::BodyBytes bodyBytes;
    if (!parser.is_done()) {
      // Room for the whole body is reserved before it is read, so many slow uploads together
      // cannot hold more than the budget.
      const auto declared = parser.content_length();
      bodyBytes = shared.limits.reserveBody(declared ? static_cast<size_t>(*declared) : HttpServer::maxBodyBytes);
      if (!bodyBytes) {
        const auto refusal = Response::jsonError(503, "busy; try again shortly");
        co_await refuse(stream, buffer, refusal, version, shared.tls);
        co_return;
      }
    }
    if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
      http::response<http::empty_body> proceed{http::status::continue_, version};
      co_await http::async_write(stream, proceed, asio::redirect_error(use_awaitable, ec));
      if (ec) co_return;
    }
    if (!parser.is_done()) {
      co_await http::async_read(stream, buffer, parser, asio::redirect_error(use_awaitable, ec));
      if (ec) {
        if (auto refusal = refusalFor(ec)) co_await refuse(stream, buffer, *refusal, version, shared.tls);
        co_return;
      }
    }
    auto message = parser.release();
    const bool keepAlive = message.keep_alive();
    const bool head = message.method() == http::verb::head;
    Response response;
    std::string range;
    if (auto request = toRequest(message, client)) {
      range = request->range;
      if (auto quick = shared.service.handleWithoutDatabase(*request)) {
        response = std::move(*quick);
      } else {
        // Named first: GCC 12 mishandles temporaries made inside a co_await expression.
        auto work = onDatabase(shared.service, std::move(*request));
        response = co_await asio::co_spawn(shared.database, std::move(work), use_awaitable);
      }
    } else {
      response = Response::jsonError(400, "malformed request target");
    }
    bodyBytes.release();
    if (response.file) {
      co_await writeFile(stream, response, range, version, keepAlive, head, shared.tls, ec);
    } else {
      co_await write(stream, response, version, keepAlive, head, shared.tls, ec);
    }
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

// The slot lives in the coroutine frame: the connection counts against its limits until the session ends.
awaitable<void> plainSession(tcp::socket socket, HttpShared& shared, [[maybe_unused]] ConnectionLimits::Slot slot,
                             std::string client) {
  beast::tcp_stream stream(std::move(socket));
  co_await serve(stream, shared, client);
}

awaitable<void> tlsSession(tcp::socket socket, asio::ssl::context& tls, HttpShared& shared,
                           [[maybe_unused]] ConnectionLimits::Slot slot, std::string client) {
  beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), tls);
  beast::get_lowest_layer(stream).expires_after(readTimeout);
  beast::error_code ec;
  co_await stream.async_handshake(asio::ssl::stream_base::server, asio::redirect_error(use_awaitable, ec));
  if (ec) co_return;
  co_await serve(stream, shared, client);
}

awaitable<void> acceptLoop(tcp::acceptor& acceptor, asio::ssl::context* tls, HttpShared& shared) {
  auto backoff = std::chrono::milliseconds(0);
  asio::steady_timer pause(acceptor.get_executor());
  for (;;) {
    beast::error_code ec;
    tcp::socket socket = co_await acceptor.async_accept(asio::make_strand(acceptor.get_executor()),
                                                        asio::redirect_error(use_awaitable, ec));
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) {
      // Out of descriptors (or memory): retrying at once would spin. Wait, longer each time,
      // and keep serving the connections we have meanwhile.
      backoff = std::min<std::chrono::milliseconds>(std::chrono::seconds(1),
                                                    std::max(std::chrono::milliseconds(10), backoff * 2));
      pause.expires_after(backoff);
      co_await pause.async_wait(asio::redirect_error(use_awaitable, ec));
      continue;
    }
    backoff = std::chrono::milliseconds(0);
    const auto remote = socket.remote_endpoint(ec);
    if (ec) continue;
    std::string client = remote.address().to_string();
    auto slot = shared.limits.open(clientKey(client));
    if (!slot) continue;  // the socket closes here: this client or the server is at its cap
    socket.set_option(tcp::no_delay(true), ec);
    auto executor = socket.get_executor();
    if (tls != nullptr) {
      auto session = tlsSession(std::move(socket), *tls, shared, std::move(slot), std::move(client));
      asio::co_spawn(executor, std::move(session), asio::detached);
    } else {
      auto session = plainSession(std::move(socket), shared, std::move(slot), std::move(client));
      asio::co_spawn(executor, std::move(session), asio::detached);
    }
  }
}

}  // namespace

HttpServer::HttpServer(Service& service)
    : service_(service),
      limits_(ConnectionLimits::Caps{service.config().maxConnections, service.config().maxConnectionsPerAddress,
                                     service.config().maxUnfinishedBodyBytes}) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
  const auto& config = service_.config();
  if (config.tls()) {
    tls_.emplace(asio::ssl::context::tls_server);
    tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
    // TLS 1.2 only with forward-secret AEAD suites; TLS 1.3's suites all are.
    SSL_CTX_set_cipher_list(tls_->native_handle(),
                            "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
                            "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305");
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
  shared_ = std::make_unique<HttpShared>(HttpShared{service_, database_, limits_, tls_.has_value()});
  asio::co_spawn(io_, acceptLoop(*acceptor_, tls_ ? &*tls_ : nullptr, *shared_), asio::detached);
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
