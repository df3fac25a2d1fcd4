#include "sources/ProviderQuotaParser.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>

#include "sources/SourceText.h"

namespace quorvin::ProviderQuotaParser {

namespace {

namespace json = boost::json;

// Times further than this from 1970 are taken as absent: they cannot be real resets and
// would overflow the clock's representation.
constexpr double kMaxEpochSeconds = 4e9;

// Reads optional keys the way a typed decoder does: absent or null is no value, a value
// of the wrong type fails the whole document.
struct Decoder {
  bool failed = false;

  const json::value* present(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    return value == nullptr || value->is_null() ? nullptr : value;
  }
  const json::object* object(const json::object& parent, std::string_view key) {
    const json::value* value = present(parent, key);
    if (value == nullptr) return nullptr;
    if (!value->is_object()) failed = true;
    return value->if_object();
  }
  const json::array* array(const json::object& parent, std::string_view key) {
    const json::value* value = present(parent, key);
    if (value == nullptr) return nullptr;
    if (!value->is_array()) failed = true;
    return value->if_array();
  }
  std::optional<double> number(const json::object& parent, std::string_view key) {
    const json::value* value = present(parent, key);
    if (value == nullptr) return std::nullopt;
    if (value->is_double()) return value->get_double();
    if (value->is_int64()) return static_cast<double>(value->get_int64());
    if (value->is_uint64()) return static_cast<double>(value->get_uint64());
    failed = true;
    return std::nullopt;
  }
  std::optional<std::string> string(const json::object& parent, std::string_view key) {
    const json::value* value = present(parent, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) {
      failed = true;
      return std::nullopt;
    }
    return std::string(value->get_string());
  }
};

std::optional<json::object> parseObject(std::string_view text) {
  std::error_code ec;
  json::value root = json::parse(text, ec);
  if (ec || !root.is_object()) return std::nullopt;
  return std::move(root.get_object());
}

std::optional<WallTime> epochTime(double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxEpochSeconds) return std::nullopt;
  return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds)));
}

std::optional<WallTime> after(WallTime now, double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxEpochSeconds) return std::nullopt;
  return now + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds));
}

double percent(double value) { return std::isfinite(value) ? std::clamp(value, 0.0, 100.0) : 0.0; }

int labelRank(const std::string& label) {
  if (label == "5H") return 0;
  if (label == "WEEK") return 1;
  if (label == "MONTH") return 2;
  return 3;
}

std::optional<ProviderQuotaWindow> codexWindow(Decoder& decoder, const json::object& window, WallTime now) {
  const auto used = decoder.number(window, "used_percent");
  const auto resetAt = decoder.number(window, "reset_at");
  const auto resetAfter = decoder.number(window, "reset_after_seconds");
  const auto length = decoder.number(window, "limit_window_seconds");
  if (!used) return std::nullopt;
  ProviderQuotaWindow result{codexWindowLabel(length), percent(*used), std::nullopt};
  if (resetAt) result.resetsAt = epochTime(*resetAt);
  if (!result.resetsAt && resetAfter) result.resetsAt = after(now, *resetAfter);
  return result;
}

}  // namespace

std::string codexWindowLabel(std::optional<double> seconds) {
  if (!seconds) return "LIMIT";
  const double s = *seconds;
  if (s <= 21'600) return "5H";
  if (s >= 518'400 && s <= 691'200) return "WEEK";
  if (s >= 2'332'800) return "MONTH";
  return "LIMIT";
}

std::string grokWindowLabel(const std::optional<std::string>& type, const std::optional<std::string>& start,
                            const std::optional<std::string>& end) {
  if (type) {
    if (type->find("WEEKLY") != std::string::npos) return "WEEK";
    if (type->find("MONTHLY") != std::string::npos) return "MONTH";
  }
  const auto from = parseISO8601(start);
  const auto to = parseISO8601(end);
  if (!from || !to) return "LIMIT";
  // In seconds first: the difference of two far-apart times overflows nanoseconds.
  const auto seconds = [](WallTime t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); };
  const double days = (seconds(*to) - seconds(*from)) / 86'400.0;
  if (days >= 6 && days <= 8) return "WEEK";
  if (days >= 27 && days <= 32) return "MONTH";
  return "LIMIT";
}

std::optional<WallTime> parseISO8601(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  return parseIso8601Either(*text);
}

std::optional<ProviderQuotaSnapshot> codex(std::string_view body, WallTime now) {
  const auto root = parseObject(body);
  if (!root) return std::nullopt;
  Decoder decoder;
  const json::object* limits = decoder.object(*root, "rate_limit");
  if (limits == nullptr) return std::nullopt;

  std::vector<ProviderQuotaWindow> windows;
  for (const std::string_view key : {"primary_window", "secondary_window"}) {
    const json::object* window = decoder.object(*limits, key);
    if (window == nullptr) continue;
    if (auto parsed = codexWindow(decoder, *window, now)) windows.push_back(std::move(*parsed));
  }
  if (decoder.failed) return std::nullopt;
  std::stable_sort(windows.begin(), windows.end(),
                   [](const auto& a, const auto& b) { return labelRank(a.label) < labelRank(b.label); });

  if (windows.empty()) return ProviderQuotaSnapshot::unavailable(ProviderQuotaSnapshot::Provider::codex);
  return ProviderQuotaSnapshot{ProviderQuotaSnapshot::Provider::codex, ProviderQuotaAvailability::available,
                               std::move(windows), now};
}

std::optional<ProviderQuotaSnapshot> grok(std::string_view body, WallTime now) {
  const auto root = parseObject(body);
  if (!root) return std::nullopt;
  Decoder decoder;
  const json::object* config = decoder.object(*root, "config");
  if (config == nullptr) return std::nullopt;
  const json::object* period = decoder.object(*config, "currentPeriod");
  std::optional<std::string> type, start, end;
  if (period != nullptr) {
    type = decoder.string(*period, "type");
    start = decoder.string(*period, "start");
    end = decoder.string(*period, "end");
  }
  const auto billingPeriodEnd = decoder.string(*config, "billingPeriodEnd");
  const json::array* products = decoder.array(*config, "productUsage");
  if (products == nullptr || decoder.failed) return std::nullopt;

  // Every entry must decode, as the whole list would with a typed decoder.
  std::optional<double> usage;
  bool found = false;
  for (const json::value& entry : *products) {
    const json::object* product = entry.if_object();
    if (product == nullptr) return std::nullopt;
    const auto name = decoder.string(*product, "product");
    const auto percentUsed = decoder.number(*product, "usagePercent");
    if (!name || decoder.failed) return std::nullopt;
    if (!found && SourceText::equalsIgnoringCase(*name, "GrokBuild")) {
      found = true;
      usage = percentUsed;
    }
  }
  if (!found || !usage) return std::nullopt;

  ProviderQuotaWindow window{grokWindowLabel(type, start, end), percent(*usage), std::nullopt};
  window.resetsAt = parseISO8601(period != nullptr && end ? end : billingPeriodEnd);
  return ProviderQuotaSnapshot{ProviderQuotaSnapshot::Provider::grokBuild, ProviderQuotaAvailability::available,
                               {std::move(window)}, now};
}

std::optional<CodexCredential> codexCredential(std::string_view file) {
  const auto root = parseObject(file);
  if (!root) return std::nullopt;
  Decoder decoder;
  const json::object* tokens = decoder.object(*root, "tokens");
  if (tokens == nullptr) return std::nullopt;
  auto accessToken = decoder.string(*tokens, "access_token");
  auto accountId = decoder.string(*tokens, "account_id");
  if (decoder.failed || !accessToken || accessToken->empty()) return std::nullopt;
  return CodexCredential{std::move(*accessToken), accountId.value_or("")};
}

std::optional<GrokCredential> grokCredential(std::string_view file) {
  const auto root = parseObject(file);
  if (!root) return std::nullopt;
  std::optional<GrokCredential> best;
  int bestScore = -1;
  // Ties keep the first entry in file order.
  for (const auto& [name, value] : *root) {
    const json::object* entry = value.if_object();
    if (entry == nullptr) continue;
    const json::value* key = entry->if_contains("key");
    if (key == nullptr || !key->is_string() || key->get_string().empty()) continue;
    int score = 0;
    if (std::string_view(name).find(kGrokAuthHost) != std::string_view::npos) score += 10;
    const json::value* mode = entry->if_contains("auth_mode");
    if (mode != nullptr && mode->is_string() && mode->get_string() == "oidc") score += 5;
    const json::value* expires = entry->if_contains("expires_at");
    if (expires != nullptr) score += 1;
    if (score <= bestScore) continue;
    bestScore = score;
    GrokCredential credential{std::string(key->get_string()), std::nullopt};
    if (expires != nullptr && expires->is_string()) credential.expiresAt = parseISO8601(std::string(expires->get_string()));
    best = std::move(credential);
  }
  return best;
}

}  // namespace quorvin::ProviderQuotaParser
