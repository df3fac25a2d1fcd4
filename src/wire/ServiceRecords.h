#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvin::API {

// Records the service answers with. The app decodes them, the bundled server encodes them;
// both sides use these functions so the two can never disagree on a key.
// Decoders ignore unknown keys and give no value for a missing required key or a wrong type.

struct Pair {
  std::string code;
  std::string deviceSecret;
  std::string verifyUrl;
  bool operator==(const Pair&) const = default;
};

struct PollRaw {
  std::string status;
  std::optional<std::string> token;
  std::optional<std::string> login;
  bool operator==(const PollRaw&) const = default;
};

// What a successful poll yields.
struct Approved {
  std::string token;
  std::string login;
  bool operator==(const Approved&) const = default;
};

// What the service has recorded for this publisher.
struct AcceptedTotals {
  std::optional<int64_t> total;
  std::optional<double> cost;       // "cost_usd_total"
  std::optional<double> listValue;  // "list_value_usd_total"
  bool operator==(const AcceptedTotals&) const = default;
};

struct IngestResponse {
  std::optional<AcceptedTotals> accepted;
  bool operator==(const IngestResponse&) const = default;
};

struct LiveCandle {
  double at = 0;  // bucket start, milliseconds since 1970
  bool observed = false;
  bool flowObserved = false;
  std::optional<bool> provisional;
  double open = 0;
  double close = 0;
  double high = 0;
  double low = 0;
  double vol = 0;
  double fresh = 0;
  double output = 0;
  double cacheRead = 0;
  double cacheWrite = 0;
  std::optional<double> reusePct;
  bool operator==(const LiveCandle&) const = default;
};

struct LiveCandleFrame {
  bool connected = false;
  std::optional<std::string> state;
  std::optional<bool> stale;
  std::optional<double> tokenRate;
  std::optional<double> costRate;
  std::optional<double> bucketMs;
  std::vector<LiveCandle> candles;
  bool operator==(const LiveCandleFrame&) const = default;
};

std::optional<Pair> decodePair(std::string_view body) noexcept;
std::optional<PollRaw> decodePollRaw(std::string_view body) noexcept;
std::optional<IngestResponse> decodeIngestResponse(std::string_view body) noexcept;
std::optional<LiveCandleFrame> decodeLiveCandleFrame(std::string_view body) noexcept;

std::string encode(const Pair& pair);
std::string encode(const PollRaw& poll);
std::string encode(const IngestResponse& response);
std::string encode(const LiveCandleFrame& frame);

}  // namespace quorvin::API
