#include "wire/OracleRecords.h"

#include <boost/json/serialize.hpp>
#include <cmath>
#include <cstdio>

#include "wire/Crypto.h"
#include "wire/JsonFields.h"

namespace quorvin::oracle {

namespace json = boost::json;
using namespace json_fields;

std::optional<std::string> canonicalCost(double cost) {
  // The text must read back to itself: the service re-derives these bytes from the number
  // it parses, and Boost.JSON's parser may be a few units in the last place off. Below
  // $10 billion a double has over 20 such units inside the "%.4f" rounding interval; at
  // $100 billion one value in twenty no longer comes back. No real total gets near either.
  if (!std::isfinite(cost) || cost < 0 || cost >= 1e10) return std::nullopt;
  char buffer[64];
  // snprintf's "%.4f" is locale dependent only in its decimal point; the C locale is in
  // force unless the process changes it, and the check below catches a comma anyway.
  const int n = std::snprintf(buffer, sizeof buffer, "%.4f", cost);
  if (n <= 0 || n >= static_cast<int>(sizeof buffer)) return std::nullopt;
  std::string text(buffer, static_cast<size_t>(n));
  const auto point = text.find('.');
  if (point == std::string::npos) return std::nullopt;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  if (text == "-0") text = "0";
  return text;
}

std::string canonicalBytes(const Tick& t) {
  // Keys in byte order: handle, metrics{costUsdTotal, tokensTotal}, prev, seq, ts.
  // Strings go through the JSON serializer for escaping; the cost is already decimal text.
  std::string out;
  out.reserve(160 + t.handle.size() + t.prev.size());
  out += "{\"handle\":";
  out += json::serialize(json::string(t.handle));
  out += ",\"metrics\":{\"costUsdTotal\":";
  out += t.costUsdTotal;
  out += ",\"tokensTotal\":";
  out += std::to_string(t.tokensTotal);
  out += "},\"prev\":";
  out += json::serialize(json::string(t.prev));
  out += ",\"seq\":";
  out += std::to_string(t.seq);
  out += ",\"ts\":";
  out += std::to_string(t.ts);
  out += '}';
  return out;
}

std::optional<Tick> tickFromJson(const json::value& value) {
  if (!value.is_object()) return std::nullopt;
  const auto& o = value.get_object();
  if (o.size() != 5) return std::nullopt;
  Tick t;
  if (!readString(o, "handle", t.handle) || !readString(o, "prev", t.prev)) return std::nullopt;
  // seq, ts and tokensTotal must be written as plain integers to re-serialise identically.
  auto plainInt = [](const json::object& obj, std::string_view key, int64_t& out) {
    const auto* v = obj.if_contains(key);
    if (v == nullptr) return false;
    if (v->is_int64()) {
      out = v->get_int64();
      return true;
    }
    if (v->is_uint64() && v->get_uint64() <= static_cast<uint64_t>(INT64_MAX)) {
      out = static_cast<int64_t>(v->get_uint64());
      return true;
    }
    return false;
  };
  if (!plainInt(o, "seq", t.seq) || !plainInt(o, "ts", t.ts)) return std::nullopt;
  const auto* metrics = o.if_contains("metrics");
  if (metrics == nullptr || !metrics->is_object() || metrics->get_object().size() != 2) return std::nullopt;
  const auto& m = metrics->get_object();
  if (!plainInt(m, "tokensTotal", t.tokensTotal)) return std::nullopt;
  double cost = 0;
  if (!readDouble(m, "costUsdTotal", cost)) return std::nullopt;
  auto text = canonicalCost(cost);
  if (!text) return std::nullopt;
  t.costUsdTotal = *text;
  return t;
}

std::string chainHead(std::string_view previousHead, std::string_view canonicalTick) {
  std::string material;
  material.reserve(previousHead.size() + canonicalTick.size());
  material.append(previousHead);
  material.append(canonicalTick);
  return crypto::sha256Hex(material);
}

std::string commitBody(const Tick& tick, std::string_view pubkeyHex, std::string_view sigHex) {
  std::string out = "{\"tick\":";
  out += canonicalBytes(tick);
  out += ",\"pubkey\":";
  out += json::serialize(json::string(pubkeyHex));
  out += ",\"sig\":";
  out += json::serialize(json::string(sigHex));
  out += '}';
  return out;
}

namespace {

bool decodeHead(const json::value& v, Head& h) {
  if (!v.is_object()) return false;
  const auto& o = v.get_object();
  if (!readString(o, "handle", h.handle) || !readInt64(o, "seq", h.seq) || !readString(o, "head", h.head) ||
      !readString(o, "pubkey", h.pubkey) || !readInt64(o, "ts", h.ts)) {
    return false;
  }
  if (presentAndNotNull(o, "metrics")) {
    const auto& mv = o.at("metrics");
    if (!mv.is_object()) return false;
    Metrics m;
    if (!readDouble(mv.get_object(), "costUsdTotal", m.costUsdTotal) ||
        !readInt64(mv.get_object(), "tokensTotal", m.tokensTotal)) {
      return false;
    }
    h.metrics = m;
  }
  return true;
}

}  // namespace

std::optional<HeadResponse> decodeHeadResponse(std::string_view body) noexcept {
  try {
    auto doc = parseDocument(body);
    if (!doc || !doc->is_object()) return std::nullopt;
    HeadResponse r;
    if (presentAndNotNull(doc->get_object(), "head")) {
      Head h;
      if (!decodeHead(doc->get_object().at("head"), h)) return std::nullopt;
      r.head = std::move(h);
    }
    return r;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<CommitmentResponse> decodeCommitmentResponse(std::string_view body) noexcept {
  try {
    auto doc = parseDocument(body);
    if (!doc || !doc->is_object()) return std::nullopt;
    const auto& o = doc->get_object();
    CommitmentResponse r;
    if (!readBool(o, "ok", r.ok) || !readOptionalString(o, "error", r.error)) return std::nullopt;
    if (presentAndNotNull(o, "commitment")) {
      Head h;
      if (!decodeHead(o.at("commitment"), h)) return std::nullopt;
      r.commitment = std::move(h);
    }
    return r;
  } catch (...) {
    return std::nullopt;
  }
}

json::value toJson(const Head& h) {
  json::object o{{"handle", h.handle}, {"seq", h.seq}, {"head", h.head}, {"pubkey", h.pubkey}, {"ts", h.ts}};
  if (h.metrics) {
    o["metrics"] = json::object{{"costUsdTotal", h.metrics->costUsdTotal}, {"tokensTotal", h.metrics->tokensTotal}};
  }
  return o;
}

std::string encode(const HeadResponse& response) {
  json::object o;
  o["head"] = response.head ? toJson(*response.head) : json::value(nullptr);
  return json::serialize(o);
}

std::string encode(const CommitmentResponse& response) {
  json::object o;
  o["ok"] = response.ok;
  if (response.commitment) o["commitment"] = toJson(*response.commitment);
  if (response.error) o["error"] = *response.error;
  return json::serialize(o);
}

bool isValidHandle(std::string_view handle) noexcept {
  if (handle.empty() || handle.size() > 39) return false;
  for (char c : handle) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

}  // namespace quorvin::oracle
