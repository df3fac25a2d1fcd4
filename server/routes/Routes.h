#pragma once

#include <string>
#include <string_view>

#include "server/http/Message.h"

namespace quorvin::server {
class Service;
}

namespace quorvin::server::routes {

// API (JSON)
Response pair(Service& service, const Request& request);
Response ingest(Service& service, const Request& request);
Response candles(Service& service, const Request& request);
Response oracleHead(Service& service, const Request& request, const std::string& handle);
Response oracleCommit(Service& service, const Request& request);
Response download(const Service& service, const Request& request);

// Pages (HTML)
Response approvalPage(Service& service, const Request& request, const std::string& code);
Response connectPage(Service& service, const Request& request);
Response revokeDevice(Service& service, const Request& request);
Response profilePage(Service& service, const Request& request, const std::string& handle);
Response downloadPage(Service& service, const Request& request);
Response homePage(Service& service, const Request& request);
Response profileScript(const Service& service, const Request& request);
Response notFound(const Request& request);

// Whether the text has the form of a code the service issues ("ABCD-EF23").
bool wellFormedPairCode(std::string_view code);

// Pair codes live this long before approval, and as long again for collection after it.
inline constexpr int64_t pairCodeLifetimeMs = 10 * 60 * 1000;

}  // namespace quorvin::server::routes
