#pragma once

#include <boost/asio/awaitable.hpp>
#include <exception>
#include <optional>
#include <string>

#include "platform/HttpClient.h"
#include "wire/IngestBody.h"
#include "publishing/ServiceError.h"
#include "wire/ServiceRecords.h"
#include "wire/UsageTotals.h"

namespace quorvin::API {

// Every exchange with the service except the checkpoint chain. Each call makes one request
// and either returns the decoded record or throws ServiceError (non-2xx), TransportError
// or DecodeError. `api` is the base URL without a trailing slash.

// Who is uploading; the same for every upload of a process.
struct Publisher {
  std::string publisherId;  // publisherID (see PublisherId.h)
  std::string appVersion;   // the short version, "unknown" when there is none
};

// `enrolSecret`: the service operator's enrolment secret, when they handed one out; a
// service that knows it approves the pairing at once.
boost::asio::awaitable<Pair> createPair(HttpClient& http, std::string api, std::string enrolSecret = {});

// No value while the code is pending; throws ServiceError(410, "pairing expired") once it lapsed.
boost::asio::awaitable<std::optional<Approved>> pollPair(HttpClient& http, std::string api, std::string code,
                                                         std::string deviceSecret);

// No value when the answer does not decode (the upload still counts as sent).
boost::asio::awaitable<std::optional<AcceptedTotals>> ingest(HttpClient& http, std::string api, std::string token,
                                                             std::string login, std::string plan, Totals totals,
                                                             Publisher publisher);

boost::asio::awaitable<LiveCandleFrame> liveCandles(HttpClient& http, std::string api, std::string login,
                                                    int64_t target);

// True when the service no longer accepts the device credential (401 or 410).
bool isAuthorizationRevocation(const std::exception& error) noexcept;
bool isAuthorizationRevocation(const std::exception_ptr& error) noexcept;

// The pieces below are the calls' pure halves, exposed for tests and the fuzzers.

// 200..299 passes and gives the body; anything else throws ServiceError::httpStatus.
const std::string& checkedBody(const HttpResult& result);
// The pairing poll decision over a decoded poll answer.
std::optional<Approved> pollDecision(const PollRaw& poll);
// The upload of `totals`, made acceptable to the service's plausibility check: a negative
// or non-finite figure counts as 0, figures past the service's bounds stop at them, and
// names lose control characters and stop at kMaxWireNameCharacters (at most
// kMaxWireNameBytes bytes). One bad figure must not make the service refuse every upload.
IngestUpload ingestUpload(std::string login, std::string plan, Totals totals, const Publisher& publisher);

// What the service accepts; it checks the same bounds (the longest name any source makes
// is a Cursor model name of 160 characters).
inline constexpr int64_t kMaxWireCount = int64_t{1} << 53;
inline constexpr double kMaxWireCost = 1e12;
inline constexpr size_t kMaxWireNameCharacters = 160;
inline constexpr size_t kMaxWireNameBytes = 640;
std::string wireName(std::string_view name);

}  // namespace quorvin::API
