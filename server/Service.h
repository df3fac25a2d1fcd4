#pragma once

#include <string>

#include "core/Clock.h"
#include "server/ServerConfig.h"
#include "server/http/Message.h"
#include "server/logic/PollRateLimiter.h"
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
  PollRateLimiter& pollLimiter() { return pollLimiter_; }

 private:
  Response route(const Request& request);

  ServerConfig config_;
  const Clock& clock_;
  std::string publicUrl_;
  Database db_;
  AccountStore accounts_;
  UsageStore usage_;
  OracleStore oracle_;
  PollRateLimiter pollLimiter_;
};

// Lower-cases and checks a handle as the app does ("^[a-z0-9-]{1,39}$"); empty when invalid.
std::string normalisedHandle(std::string_view text);
// Handles that would shadow a page of the service.
bool isReservedHandle(std::string_view handle);

}  // namespace quorvin::server
