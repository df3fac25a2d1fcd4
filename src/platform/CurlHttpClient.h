#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/HttpClient.h"

namespace quorvin {

// HttpClient over libcurl. One curl multi handle runs on a thread of its own, so transfers never
// block the model thread or a pool thread; each completion is posted to the awaiting coroutine's
// executor. Per request: the request's time-out bounds the whole transfer, redirects are not
// followed, only http and https are allowed, and a response (headers and body) larger than the
// request's bound is cut off as tooLarge. No cookie engine, no cache; proxies come from the
// environment (http_proxy, https_proxy, no_proxy) as curl reads them.
//
// The object must outlive every send it started; destroying it ends the outstanding transfers
// with Kind::cancelled.
class CurlHttpClient final : public HttpClient {
 public:
  struct Options {
    // Trust this CA bundle (PEM) instead of the system's, for a self-hosted service or a test
    // server on loopback. Unset: the environment variable QUORVIN_CA_FILE when set and non-empty,
    // else the system store.
    std::optional<std::filesystem::path> caFile;
    std::string userAgent = "Quorvin";
  };

  CurlHttpClient();
  explicit CurlHttpClient(Options options);
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  boost::asio::awaitable<HttpResult> send(HttpRequest request) override;

  struct Engine;  // implementation detail

 private:
  std::shared_ptr<Engine> engine_;
};

}  // namespace quorvin
