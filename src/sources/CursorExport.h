#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/Clock.h"
#include "platform/BlockingPool.h"
#include "platform/HttpClient.h"
#include "sources/CursorCredentials.h"
#include "sources/CursorLedger.h"

namespace quorvin::CursorExport {

// The editor vendor's dashboard; tests point the reader at a loopback server instead.
inline constexpr std::string_view kVendorBaseUrl = "https://cursor.com";
inline constexpr std::string_view kExportPath = "/api/dashboard/export-usage-events-csv?strategy=tokens";
inline constexpr size_t kMaxExportBytes = 26'214'400;
inline constexpr std::chrono::seconds kTimeout{15};

struct ParsedExport {
  CursorBuckets buckets;
  WallTime fetchedAt;
  bool operator==(const ParsedExport&) const = default;
};

enum class Failure { authentication, unavailable };

struct RefreshResult {
  std::string accountKey;
  std::variant<ParsedExport, Failure> outcome;
};

// Cell conversions of the export.
std::optional<std::string> normalizedDay(std::string_view cell);
int64_t nonnegativeInt(std::string_view cell);
double nonnegativeDouble(std::string_view cell);
std::string sanitizedModel(std::string_view cell);

// Daily per-model buckets of a CSV export; nothing when the header is wrong, a sum
// overflows its bound, or the export holds no usage at all.
std::optional<ParsedExport> parseExport(std::string_view data, WallTime fetchedAt);

// The download request: GET with the session cookie, 15 s, bounded body.
HttpRequest exportRequest(std::string_view baseUrl, const CursorCredentials::Credentials& credentials);

// Downloads and parses the export. The parse runs on the blocking pool; the caller resumes
// on its own executor. Never throws for network or data problems.
boost::asio::awaitable<RefreshResult> fetchExport(HttpClient& http, const Clock& clock, BlockingPool& pool,
                                                  std::string baseUrl, CursorCredentials::Credentials credentials);

}  // namespace quorvin::CursorExport
