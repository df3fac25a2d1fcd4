#pragma once

#include <string>

#include "core/Clock.h"
#include "server/ServerConfig.h"
#include "server/http/Message.h"
#include "server/logic/RateLimiter.h"
#include "server/storage/AccountStore.h"
#include "server/storage/Database.h"
#include "server/storage/OracleStore.h"
#include "server/storage/UsageStore.h"

namespace quorvin::server {

// The service's state and its routing. `handle` touches the database and must run on the
// one database thread; `handleWithoutDatabase` answers the static routes from any thread.
class Service {
 public:
  Service(ServerConfig config, const Clock& clock);

  // Answers the routes that need no database (downloads); no value for every other path.
  std::optional<Response> handleWithoutDatabase(const Request& request) const;
  Response handle(const Request& request);

  int64_t nowMs() const;
  const ServerConfig& config() const { return config_; }
  // The origin written into links and the approval URL.
  const std::string& publicUrl() const { return publicUrl_; }
  // Called once the listening port is known (it may have been 0: any free port).
  void setListeningPort(uint16_t port);

  Database& database() { return db_; }
  AccountStore& accounts() { return accounts_; }
  UsageStore& usage() { return usage_; }
  OracleStore& oracle() { return oracle_; }
  // Limits for strangers, all used on the database thread only.
  struct Limiters {
    // Polls of one pair code from one client address: the app polls every 3 seconds.
    RateLimiter polls{{5, 0.5}};
    // New pair codes per client address: a few retries, not a flood.
    RateLimiter pairCodes{{10, 0.1}};
    // Wrong secrets (device secrets of pair codes, account secrets) per client address and
    // per account; only failures spend these.
    RateLimiter failuresByAddress{{10, 0.1}};
    RateLimiter failuresByAccount{{30, 0.1}};
  };
  Limiters& limiters() { return limiters_; }

 private:
  Response route(const Request& request);

  ServerConfig config_;
  const Clock& clock_;
  std::string publicUrl_;
  Database db_;
  AccountStore accounts_;
  UsageStore usage_;
  OracleStore oracle_;
  Limiters limiters_;
};

// The profile's chart, served as a file so pages need no inline script.
inline constexpr std::string_view profileScriptPath = "/assets/profile.js";

// Lower-cases and checks a handle as the app does ("^[a-z0-9-]{1,39}$"); empty when invalid.
std::string normalisedHandle(std::string_view text);
// Handles that would shadow a page of the service.
bool isReservedHandle(std::string_view handle);

}  // namespace quorvin::server
