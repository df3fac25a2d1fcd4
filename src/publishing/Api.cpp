#include "publishing/Api.h"

#include <unicode/utf8.h>

#include <boost/url/url.hpp>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/TextCut.h"
#include "core/Utf8Text.h"
#include "wire/NameCharacters.h"

namespace quorvin::API {

namespace {

constexpr std::chrono::milliseconds pairTimeout{15'000};
constexpr std::chrono::milliseconds ingestTimeout{5'000};
constexpr std::chrono::milliseconds candleTimeout{5'000};

boost::asio::awaitable<std::string> fetch(HttpClient& http, HttpRequest request) {
  HttpResult result = co_await http.send(std::move(request));
  co_return checkedBody(result);
}

}  // namespace

const std::string& checkedBody(const HttpResult& result) {
  if (result.failure || !result.response) {
    throw TransportError(result.failure.value_or(HttpFailure{}));
  }
  const long status = result.response->status;
  if (status < 200 || status > 299) throw ServiceError::httpStatus(status);
  return result.response->body;
}

std::optional<Approved> pollDecision(const PollRaw& poll) {
  if (poll.status == "approved" && poll.token && poll.login) return Approved{*poll.token, *poll.login};
  if (poll.status == "expired") throw ServiceError(410, "pairing expired");
  return std::nullopt;
}

namespace {

int64_t wireCount(int64_t n) { return std::clamp<int64_t>(n, 0, kMaxWireCount); }
std::optional<int64_t> wireCount(const std::optional<int64_t>& n) {
  if (!n) return std::nullopt;
  return wireCount(*n);
}
double wireCost(double c) { return std::isfinite(c) && c > 0 ? std::min(c, kMaxWireCost) : 0; }
std::optional<double> wireCost(const std::optional<double>& c) {
  if (!c) return std::nullopt;
  return wireCost(*c);
}

Totals wireTotals(Totals t) {
  t.total = wireCount(t.total);
  t.cost = wireCost(t.cost);
  t.input = wireCount(t.input);
  t.output = wireCount(t.output);
  t.cacheRead = wireCount(t.cacheRead);
  t.cacheWrite = wireCount(t.cacheWrite);
  t.liveTotal = wireCount(t.liveTotal);
  t.liveCost = wireCost(t.liveCost);
  for (auto& m : t.models) {
    m.name = wireName(m.name);
    m.input = wireCount(m.input);
    m.output = wireCount(m.output);
    m.cacheRead = wireCount(m.cacheRead);
    m.cacheWrite = wireCount(m.cacheWrite);
    m.cost = wireCost(m.cost);
  }
  for (auto& a : t.agents) {
    a.name = wireName(a.name);
    a.tokens = wireCount(a.tokens);
    a.cost = wireCost(a.cost);
  }
  if (t.optimizer) {
    auto& o = *t.optimizer;
    o.commands = wireCount(o.commands);
    o.originalTokens = wireCount(o.originalTokens);
    o.outputTokens = wireCount(o.outputTokens);
    o.savedTokens = wireCount(o.savedTokens);
  }
  return t;
}

}  // namespace

std::string wireName(std::string_view name) {
  // Every character the service would refuse becomes a space: one such character in a
  // model name would otherwise have every upload refused.
  const std::string repaired = repairedUtf8(name);
  std::string clean;
  clean.reserve(repaired.size());
  const auto* s = reinterpret_cast<const uint8_t*>(repaired.data());
  const auto length = static_cast<int32_t>(std::min<size_t>(repaired.size(), INT32_MAX));
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c >= 0 && wire::isInvisibleInName(static_cast<char32_t>(c))) {
      clean += ' ';
    } else {
      clean.append(repaired, size_t(start), size_t(i - start));
    }
  }
  clean = prefixOfCharacters(clean, kMaxWireNameCharacters);
  if (clean.size() > kMaxWireNameBytes) {
    // Only a name of long combining sequences gets here: cut it at a character start.
    size_t end = kMaxWireNameBytes;
    while (end > 0 && (static_cast<unsigned char>(clean[end]) & 0xC0) == 0x80) --end;
    clean.resize(end);
  }
  return clean;
}

IngestUpload ingestUpload(std::string login, std::string plan, Totals totals, const Publisher& publisher) {
  IngestUpload upload;
  upload.handle = std::move(login);
  upload.source = "ccusage-mac";
  upload.publisherId = publisher.publisherId;
  upload.appVersion = publisher.appVersion.empty() ? "unknown" : publisher.appVersion;
  upload.plan = std::move(plan);
  upload.totals = wireTotals(std::move(totals));
  return upload;
}

boost::asio::awaitable<Pair> createPair(HttpClient& http, std::string api, std::string enrolSecret) {
  HttpRequest request;
  request.url = api + "/api/connect/pair?protocol=2";
  if (!enrolSecret.empty()) request.headers.emplace_back("X-Quorvin-Enrol-Secret", std::move(enrolSecret));
  request.timeout = pairTimeout;
  const std::string body = co_await fetch(http, std::move(request));
  auto pair = decodePair(body);
  if (!pair) throw DecodeError("The pair code answer could not be read.");
  co_return *pair;
}

boost::asio::awaitable<std::optional<Approved>> pollPair(HttpClient& http, std::string api, std::string code,
                                                         std::string deviceSecret) {
  HttpRequest request;
  // The code goes in verbatim: the service made it and it is URL-safe.
  request.url = api + "/api/connect/pair?code=" + code;
  request.headers.emplace_back("X-Quorvin-Device-Secret", std::move(deviceSecret));
  request.timeout = pairTimeout;
  const std::string body = co_await fetch(http, std::move(request));
  auto poll = decodePollRaw(body);
  if (!poll) throw DecodeError("The pairing answer could not be read.");
  co_return pollDecision(*poll);
}

boost::asio::awaitable<std::optional<AcceptedTotals>> ingest(HttpClient& http, std::string api, std::string token,
                                                             std::string login, std::string plan, Totals totals,
                                                             Publisher publisher) {
  HttpRequest request;
  request.method = "POST";
  request.url = api + "/api/ingest";
  request.headers.emplace_back("Authorization", "Bearer " + token);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = encode(ingestUpload(std::move(login), std::move(plan), std::move(totals), publisher));
  request.timeout = ingestTimeout;
  const std::string body = co_await fetch(http, std::move(request));
  auto response = decodeIngestResponse(body);
  if (!response) co_return std::nullopt;
  co_return response->accepted;
}

boost::asio::awaitable<LiveCandleFrame> liveCandles(HttpClient& http, std::string api, std::string login,
                                                    int64_t target) {
  boost::urls::url url(api + "/api/usage/candles");
  url.params().append({"handle", login});
  url.params().append({"target", std::to_string(target)});
  HttpRequest request;
  request.url = std::string(url.buffer());
  // Always the service's current picture, never a cached one.
  request.headers.emplace_back("Cache-Control", "no-cache");
  request.timeout = candleTimeout;
  const std::string body = co_await fetch(http, std::move(request));
  auto frame = decodeLiveCandleFrame(body);
  if (!frame) throw DecodeError("The live candle answer could not be read.");
  co_return *frame;
}

bool isAuthorizationRevocation(const std::exception& error) noexcept {
  const auto* service = dynamic_cast<const ServiceError*>(&error);
  return service != nullptr && (service->code() == 401 || service->code() == 410);
}

bool isAuthorizationRevocation(const std::exception_ptr& error) noexcept {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return isAuthorizationRevocation(e);
  } catch (...) {
    return false;
  }
}

}  // namespace quorvin::API
