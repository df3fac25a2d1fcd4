#include "support/LoopbackHttpServer.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <strings.h>

#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "support/TestCertificates.h"

namespace quorvin::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::optional<std::string> TestHttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
  }
  return std::nullopt;
}

struct LoopbackHttpServer::Impl {
  // The context outlives the io_context, whose destruction frees the sessions' streams.
  std::optional<asio::ssl::context> ssl;
  asio::io_context ioc;
  tcp::acceptor acceptor{ioc};
  uint16_t port = 0;
  std::thread thread;
  mutable std::mutex mutex;
  std::map<std::pair<std::string, std::string>, TestRouteHandler> routes;
  std::vector<TestHttpRequest> requests;

  TestHttpReply handle(const TestHttpRequest& request) {
    TestRouteHandler handler;
    {
      std::lock_guard lock(mutex);
      requests.push_back(request);
      auto it = routes.find({request.method, request.path});
      if (it == routes.end()) it = routes.find({"*", request.path});
      if (it == routes.end()) return TestHttpReply{404, {}, "not found"};
      handler = it->second;
    }
    try {
      return handler(request);
    } catch (const std::exception& e) {
      return TestHttpReply{500, {}, e.what()};
    }
  }
};

namespace {

template <typename Stream>
asio::awaitable<void> serve(LoopbackHttpServer::Impl* impl, Stream& stream) {
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    auto [readError, readBytes] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
    (void)readBytes;
    if (readError) co_return;
    const auto& req = parser.get();

    TestHttpRequest recorded;
    recorded.method = std::string(req.method_string());
    recorded.target = std::string(req.target());
    recorded.path = recorded.target.substr(0, recorded.target.find('?'));
    for (const auto& field : req) {
      recorded.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    recorded.body = req.body();
    TestHttpReply reply = impl->handle(recorded);

    if (reply.delay.count() > 0) {
      asio::steady_timer timer(co_await asio::this_coro::executor, reply.delay);
      auto [waitError] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
      (void)waitError;
    }

    http::response<http::string_body> res;
    res.version(req.version());
    res.result(static_cast<unsigned>(reply.status));
    for (const auto& [name, value] : reply.headers) res.insert(name, value);
    res.body() = std::move(reply.body);
    res.keep_alive(req.keep_alive());
    if (reply.chunked) {
      res.chunked(true);
    } else {
      res.prepare_payload();
    }
    auto [writeError, written] = co_await http::async_write(stream, res, asio::as_tuple(asio::use_awaitable));
    (void)written;
    if (writeError || !res.keep_alive()) co_return;
  }
}

asio::awaitable<void> session(LoopbackHttpServer::Impl* impl, tcp::socket socket) {
  if (impl->ssl) {
    asio::ssl::stream<tcp::socket> stream(std::move(socket), *impl->ssl);
    auto [handshakeError] =
        co_await stream.async_handshake(asio::ssl::stream_base::server, asio::as_tuple(asio::use_awaitable));
    if (handshakeError) co_return;
    co_await serve(impl, stream);
    boost::system::error_code ignored;
    stream.lowest_layer().close(ignored);
  } else {
    co_await serve(impl, socket);
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }
}

asio::awaitable<void> acceptLoop(LoopbackHttpServer::Impl* impl) {
  for (;;) {
    auto [error, socket] = co_await impl->acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
    if (error) {
      if (error == asio::error::operation_aborted) co_return;
      continue;
    }
    asio::co_spawn(impl->ioc, session(impl, std::move(socket)), asio::detached);
  }
}

void start(LoopbackHttpServer::Impl& impl) {
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl.acceptor.open(endpoint.protocol());
  impl.acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl.acceptor.bind(endpoint);
  impl.acceptor.listen();
  impl.port = impl.acceptor.local_endpoint().port();
  asio::co_spawn(impl.ioc, acceptLoop(&impl), asio::detached);
  impl.thread = std::thread([&impl] { impl.ioc.run(); });
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer() : impl_(std::make_shared<Impl>()) { start(*impl_); }

LoopbackHttpServer::LoopbackHttpServer(const TestCertificates& tls) : impl_(std::make_shared<Impl>()) {
  impl_->ssl.emplace(asio::ssl::context::tls_server);
  impl_->ssl->use_certificate_chain_file(tls.certFile().string());
  impl_->ssl->use_private_key_file(tls.keyFile().string(), asio::ssl::context::pem);
  start(*impl_);
}

LoopbackHttpServer::~LoopbackHttpServer() {
  impl_->ioc.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

void LoopbackHttpServer::route(std::string method, std::string path, TestRouteHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->routes[{std::move(method), std::move(path)}] = std::move(handler);
}

uint16_t LoopbackHttpServer::port() const { return impl_->port; }

bool LoopbackHttpServer::tls() const { return impl_->ssl.has_value(); }

std::string LoopbackHttpServer::baseUrl() const {
  return std::string(tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
}

std::vector<TestHttpRequest> LoopbackHttpServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void LoopbackHttpServer::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

}  // namespace quorvin::test
