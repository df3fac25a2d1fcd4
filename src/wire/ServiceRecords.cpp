#include "wire/ServiceRecords.h"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "wire/JsonFields.h"

namespace quorvin::API {

namespace json = boost::json;
using namespace json_fields;

namespace {

const json::object* objectOf(const std::optional<json::value>& doc) {
  return doc && doc->is_object() ? &doc->get_object() : nullptr;
}

bool decodeAccepted(const json::object& o, AcceptedTotals& out) {
  return readOptionalInt64(o, "total", out.total) && readOptionalDouble(o, "cost_usd_total", out.cost) &&
         readOptionalDouble(o, "list_value_usd_total", out.listValue);
}

bool decodeCandle(const json::value& v, LiveCandle& c) {
  if (!v.is_object()) return false;
  const auto& o = v.get_object();
  return readDouble(o, "at", c.at) && readBool(o, "observed", c.observed) &&
         readBool(o, "flowObserved", c.flowObserved) && readOptionalBool(o, "provisional", c.provisional) &&
         readDouble(o, "open", c.open) && readDouble(o, "close", c.close) && readDouble(o, "high", c.high) &&
         readDouble(o, "low", c.low) && readDouble(o, "vol", c.vol) && readDouble(o, "fresh", c.fresh) &&
         readDouble(o, "output", c.output) && readDouble(o, "cacheRead", c.cacheRead) &&
         readDouble(o, "cacheWrite", c.cacheWrite) && readOptionalDouble(o, "reusePct", c.reusePct);
}

template <class T>
void putOptional(json::object& o, std::string_view key, const std::optional<T>& value) {
  if (value) o[key] = *value;
}

}  // namespace

std::optional<Pair> decodePair(std::string_view body) noexcept {
  try {
    auto doc = parseDocument(body);
    const auto* o = objectOf(doc);
    Pair pair;
    if (o == nullptr || !readString(*o, "code", pair.code) || !readString(*o, "deviceSecret", pair.deviceSecret) ||
        !readString(*o, "verifyUrl", pair.verifyUrl)) {
      return std::nullopt;
    }
    return pair;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<PollRaw> decodePollRaw(std::string_view body) noexcept {
  try {
    auto doc = parseDocument(body);
    const auto* o = objectOf(doc);
    PollRaw poll;
    if (o == nullptr || !readString(*o, "status", poll.status) || !readOptionalString(*o, "token", poll.token) ||
        !readOptionalString(*o, "login", poll.login)) {
      return std::nullopt;
    }
    return poll;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<IngestResponse> decodeIngestResponse(std::string_view body) noexcept {
  try {
    auto doc = parseDocument(body);
    const auto* o = objectOf(doc);
    if (o == nullptr) return std::nullopt;
    IngestResponse response;
    if (presentAndNotNull(*o, "accepted")) {
      const auto& v = o->at("accepted");
      AcceptedTotals accepted;
      if (!v.is_object() || !decodeAccepted(v.get_object(), accepted)) return std::nullopt;
      response.accepted = accepted;
    }
    return response;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<LiveCandleFrame> decodeLiveCandleFrame(std::string_view body) noexcept {
  try {
    auto doc = parseDocument(body);
    const auto* o = objectOf(doc);
    LiveCandleFrame frame;
    if (o == nullptr || !readBool(*o, "connected", frame.connected) || !readOptionalString(*o, "state", frame.state) ||
        !readOptionalBool(*o, "stale", frame.stale) || !readOptionalDouble(*o, "tokenRate", frame.tokenRate) ||
        !readOptionalDouble(*o, "costRate", frame.costRate) || !readOptionalDouble(*o, "bucketMs", frame.bucketMs)) {
      return std::nullopt;
    }
    const auto* candles = find(*o, "candles");
    if (candles == nullptr || !candles->is_array()) return std::nullopt;
    frame.candles.reserve(candles->get_array().size());
    for (const auto& v : candles->get_array()) {
      LiveCandle candle;
      if (!decodeCandle(v, candle)) return std::nullopt;
      frame.candles.push_back(candle);
    }
    return frame;
  } catch (...) {
    return std::nullopt;
  }
}

std::string encode(const Pair& pair) {
  json::object o;
  o["code"] = pair.code;
  o["deviceSecret"] = pair.deviceSecret;
  o["verifyUrl"] = pair.verifyUrl;
  return json::serialize(o);
}

std::string encode(const PollRaw& poll) {
  json::object o;
  o["status"] = poll.status;
  putOptional(o, "token", poll.token);
  putOptional(o, "login", poll.login);
  return json::serialize(o);
}

std::string encode(const IngestResponse& response) {
  json::object o;
  if (response.accepted) {
    json::object a;
    putOptional(a, "total", response.accepted->total);
    putOptional(a, "cost_usd_total", response.accepted->cost);
    putOptional(a, "list_value_usd_total", response.accepted->listValue);
    o["accepted"] = std::move(a);
  }
  return json::serialize(o);
}

std::string encode(const LiveCandleFrame& frame) {
  json::object o;
  o["connected"] = frame.connected;
  putOptional(o, "state", frame.state);
  putOptional(o, "stale", frame.stale);
  putOptional(o, "tokenRate", frame.tokenRate);
  putOptional(o, "costRate", frame.costRate);
  putOptional(o, "bucketMs", frame.bucketMs);
  json::array candles;
  candles.reserve(frame.candles.size());
  for (const auto& c : frame.candles) {
    json::object v;
    v["at"] = c.at;
    v["observed"] = c.observed;
    v["flowObserved"] = c.flowObserved;
    putOptional(v, "provisional", c.provisional);
    v["open"] = c.open;
    v["close"] = c.close;
    v["high"] = c.high;
    v["low"] = c.low;
    v["vol"] = c.vol;
    v["fresh"] = c.fresh;
    v["output"] = c.output;
    v["cacheRead"] = c.cacheRead;
    v["cacheWrite"] = c.cacheWrite;
    putOptional(v, "reusePct", c.reusePct);
    candles.push_back(std::move(v));
  }
  o["candles"] = std::move(candles);
  return json::serialize(o);
}

}  // namespace quorvin::API
