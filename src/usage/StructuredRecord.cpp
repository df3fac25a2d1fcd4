#include "usage/StructuredRecord.h"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "core/SaturatingMath.h"
#include "core/TextCut.h"

namespace quorvin::StructuredRecord {

namespace {

namespace json = boost::json;

// Integers as is, other numbers truncated, base-10 strings, anything else 0; never
// below 0, since a store's negative figure cannot be usage.
int64_t tokenFigure(const json::value* value) noexcept {
  if (!value) return 0;
  int64_t figure = 0;
  switch (value->kind()) {
    case json::kind::int64: figure = value->get_int64(); break;
    case json::kind::uint64:
      figure = value->get_uint64() > uint64_t(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : int64_t(value->get_uint64());
      break;
    case json::kind::double_: {
      double d = std::trunc(value->get_double());
      if (d >= 9.2e18) figure = std::numeric_limits<int64_t>::max();
      else if (d > 0) figure = int64_t(d);
      break;
    }
    case json::kind::string: {
      std::string_view text = value->get_string();
      if (!text.empty() && text.front() == '+') text.remove_prefix(1);
      if (text.empty() || text.front() == '+') break;
      int64_t parsed = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
      if (ec == std::errc() && end == text.data() + text.size()) figure = parsed;
      break;
    }
    default: break;
  }
  return std::max<int64_t>(figure, 0);
}

const json::value* member(const json::object* object, std::string_view key) noexcept {
  return object ? object->if_contains(key) : nullptr;
}

const json::object* objectMember(const json::object* object, std::string_view key) noexcept {
  const json::value* value = member(object, key);
  return value ? value->if_object() : nullptr;
}

std::optional<json::value> parseObject(std::string_view text) noexcept {
  try {
    boost::system::error_code ec;
    json::value value = json::parse(text, ec);
    if (ec || !value.is_object()) return std::nullopt;
    return value;
  } catch (...) {
    // Only allocation failure can reach here; a hostile file must not end the process.
    return std::nullopt;
  }
}

// A shortfall of the four figures against a reported total is output the record did
// not itemise.
UsageCounters withTotal(UsageCounters counters, int64_t total) noexcept {
  int64_t sum = counters.total();
  if (sum < total) counters.output = saturatingAdd(counters.output, saturatingSub(total, sum));
  return counters;
}

std::string_view trimmed(std::string_view text, std::string_view characters) noexcept {
  size_t first = text.find_first_not_of(characters);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(characters);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::optional<Usage> openCodeMessage(std::string_view text) noexcept {
  auto root = parseObject(text);
  if (!root) return std::nullopt;
  const json::object* tokens = objectMember(&root->get_object(), "tokens");
  if (!tokens) return std::nullopt;
  const json::object* cache = objectMember(tokens, "cache");
  UsageCounters counters{tokenFigure(member(tokens, "input")),
                         saturatingAdd(tokenFigure(member(tokens, "output")), tokenFigure(member(tokens, "reasoning"))),
                         tokenFigure(member(cache, "read")), tokenFigure(member(cache, "write"))};
  counters = withTotal(counters, tokenFigure(member(tokens, "total")));
  if (counters.total() <= 0) return std::nullopt;
  Usage usage{counters, std::nullopt};
  if (const json::value* model = member(&root->get_object(), "modelID"); model && model->is_string()) {
    usage.model = std::string(model->get_string());
  }
  return usage;
}

std::optional<Usage> droidSettings(std::string_view text) noexcept {
  auto root = parseObject(text);
  if (!root) return std::nullopt;
  const json::object* usage = objectMember(&root->get_object(), "tokenUsage");
  if (!usage) return std::nullopt;
  UsageCounters counters{
      tokenFigure(member(usage, "inputTokens")),
      saturatingAdd(tokenFigure(member(usage, "outputTokens")), tokenFigure(member(usage, "thinkingTokens"))),
      tokenFigure(member(usage, "cacheReadTokens")), tokenFigure(member(usage, "cacheCreationTokens"))};
  counters = withTotal(counters, tokenFigure(member(usage, "totalTokens")));
  if (counters.total() < 1) return std::nullopt;
  std::optional<std::string> model;
  try {
    if (const json::value* raw = member(&root->get_object(), "model"); raw && raw->is_string()) {
      model = droidModel(raw->get_string());
    }
    return Usage{counters, model ? std::move(model) : std::optional<std::string>("droid")};
  } catch (...) {
    return std::nullopt;
  }
}

bool isJsonObject(std::string_view text) noexcept { return parseObject(text).has_value(); }

std::optional<std::string> droidModel(std::string_view raw) {
  std::string_view name = trimWhitespace(raw);
  if (name.empty()) return std::nullopt;
  if (name.starts_with("custom:")) name.remove_prefix(7);
  name = name.substr(0, name.find('['));
  name = trimmed(name, " -");
  std::string model;
  model.reserve(name.size());
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c == '.' || c == ' ') c = '-';
    model.push_back(c);
  }
  if (model.empty()) return std::nullopt;
  return model;
}

}  // namespace quorvin::StructuredRecord
