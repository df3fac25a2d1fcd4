#include "server/Service.h"

#include <algorithm>
#include <chrono>

#include "core/Log.h"
#include "wire/OracleRecords.h"
#include "server/routes/Routes.h"

namespace quorvin::server {

std::string normalisedHandle(std::string_view text) {
  std::string handle(text);
  std::transform(handle.begin(), handle.end(), handle.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return oracle::isValidHandle(handle) ? handle : std::string();
}

bool isReservedHandle(std::string_view handle) {
  static constexpr std::string_view reserved[] = {"api",   "connect", "download", "downloads", "pair",
                                                  "static", "assets", "admin",    "login",     "logout",
                                                  "health", "account"};
  return std::find(std::begin(reserved), std::end(reserved), handle) != std::end(reserved);
}

namespace {

std::string derivePublicUrl(const ServerConfig& config, uint16_t port) {
  if (!config.publicUrl.empty()) {
    std::string url = config.publicUrl;
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
  }
  std::string host = config.listenAddress;
  if (host == "0.0.0.0" || host == "::") host = "localhost";
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(config.tls() ? "https://" : "http://") + host + ":" + std::to_string(port);
}

}  // namespace

Service::Service(ServerConfig config, const Clock& clock)
    : config_(std::move(config)),
      clock_(clock),
      publicUrl_(derivePublicUrl(config_, config_.port)),
      db_(config_.dataDir / "quorvin-server.sqlite3"),
      accounts_(db_),
      usage_(db_),
      oracle_(db_) {
  usage_.fillModelRows();
}

void Service::setListeningPort(uint16_t port) { publicUrl_ = derivePublicUrl(config_, port); }

int64_t Service::nowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now().time_since_epoch()).count();
}

std::optional<Response> Service::handleWithoutDatabase(const Request& request) const {
  if (request.path.starts_with("/downloads/")) return routes::download(*this, request);
  if (request.path == profileScriptPath && (request.method == "GET" || request.method == "HEAD")) {
    return routes::profileScript(*this, request);
  }
  return std::nullopt;
}

Response Service::handle(const Request& request) {
  try {
    return route(request);
  } catch (const std::exception& e) {
    // The message comes from SQLite or the allocator, never from request data.
    logLine(std::string("Quorvin server request failed: ") + e.what());
    return Response::jsonError(500, "internal error");
  }
}

Response Service::route(const Request& r) {
  const std::string& p = r.path;
  const bool get = r.method == "GET" || r.method == "HEAD";
  const bool post = r.method == "POST";
  if (p == "/api/connect/pair" && get) return routes::pair(*this, r);
  if (p == "/api/ingest" && post) return routes::ingest(*this, r);
  if (p == "/api/usage/candles" && get) return routes::candles(*this, r);
  if (p == "/api/oracle/commit" && post) return routes::oracleCommit(*this, r);
  if (p.starts_with("/api/oracle/") && get) return routes::oracleHead(*this, r, p.substr(12));
  if (p.starts_with("/api/")) return Response::jsonError(404, "no such endpoint");
  if (p.starts_with("/pair/") && (get || post)) return routes::approvalPage(*this, r, p.substr(6));
  if (p == "/connect" && (get || post)) return routes::connectPage(*this, r);
  if (p == "/connect/revoke" && post) return routes::revokeDevice(*this, r);
  if (p == "/download" && get) return routes::downloadPage(*this, r);
  if (p == "/" && get) return routes::homePage(*this, r);
  if (get && p.size() > 1 && p.find('/', 1) == std::string::npos) return routes::profilePage(*this, r, p.substr(1));
  return routes::notFound(r);
}

}  // namespace quorvin::server
