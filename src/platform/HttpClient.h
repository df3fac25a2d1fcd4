#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvin {

struct HttpRequest {
  std::string method = "GET";
  std::string url;  // http or https only
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds timeout{15'000};
  size_t maxResponseBytes = 8 * 1024 * 1024;
};

struct HttpResponse {
  long status = 0;  // a redirect is never followed: a 3xx is the result
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Case-insensitive header lookup.
  std::optional<std::string> header(std::string_view name) const;
};

// A transport failure: no HTTP response (time-out, refused, TLS, body over the bound).
// `cancelled`: the awaiting task was cancelled (its cancellation slot fired) and the transfer stopped.
// `badUrl` also covers a scheme other than http/https and a header with a line break.
struct HttpFailure {
  enum class Kind { timedOut, cannotConnect, tls, tooLarge, badUrl, cancelled, other };
  Kind kind = Kind::other;
  std::string message;  // for the log; never contains request headers or bodies
};

struct HttpResult {
  std::optional<HttpResponse> response;  // set on success
  std::optional<HttpFailure> failure;    // set otherwise
  bool ok() const { return response.has_value(); }
};

// Ephemeral HTTP: no cookies, no cache, redirects refused, proxies from the environment.
// Calls are awaited from the model thread; the transfer runs elsewhere and the awaiting coroutine
// resumes on its own executor. `send` never throws for transport failures (see HttpResult); a
// cancelled awaiting task gets Kind::cancelled. The Linux implementation is CurlHttpClient.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  virtual boost::asio::awaitable<HttpResult> send(HttpRequest request) = 0;
};

}  // namespace quorvin
