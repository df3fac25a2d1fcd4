#include "usage/PriceMatchRule.h"

#include <algorithm>
#include <boost/json.hpp>

namespace quorvin {

namespace {

// The catalogue nests or/and two levels at most; the bound only keeps a damaged file
// from recursing without end.
constexpr int kMaxDepth = 8;

}  // namespace

std::optional<PriceMatchRule> PriceMatchRule::fromJson(const boost::json::value& json) { return fromJson(json, 0); }

std::optional<PriceMatchRule> PriceMatchRule::fromJson(const boost::json::value& json, int depth) {
  const auto* object = json.if_object();
  if (!object || object->size() != 1 || depth > kMaxDepth) return std::nullopt;
  const auto& [key, value] = *object->begin();
  PriceMatchRule rule;
  if (key == "or" || key == "and") {
    const auto* list = value.if_array();
    if (!list || list->empty()) return std::nullopt;
    rule.kind_ = key == "or" ? Kind::anyOf : Kind::allOf;
    for (const auto& item : *list) {
      auto child = fromJson(item, depth + 1);
      if (!child) return std::nullopt;
      rule.children_.push_back(std::move(*child));
    }
    return rule;
  }
  const auto* text = value.if_string();
  if (!text) return std::nullopt;
  rule.text_.assign(text->data(), text->size());
  if (key == "equals") {
    rule.kind_ = Kind::equals;
  } else if (key == "starts_with") {
    rule.kind_ = Kind::startsWith;
  } else if (key == "ends_with") {
    rule.kind_ = Kind::endsWith;
  } else if (key == "contains") {
    rule.kind_ = Kind::contains;
  } else if (key == "regex") {
    rule.kind_ = Kind::regex;
    try {
      rule.regex_ = std::make_shared<const std::regex>(rule.text_, std::regex::ECMAScript | std::regex::optimize);
    } catch (const std::regex_error&) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  return rule;
}

bool PriceMatchRule::matches(std::string_view lowered) const {
  switch (kind_) {
    case Kind::equals:
      return lowered == text_;
    case Kind::startsWith:
      return lowered.starts_with(text_);
    case Kind::endsWith:
      return lowered.ends_with(text_);
    case Kind::contains:
      return lowered.find(text_) != std::string_view::npos;
    case Kind::regex:
      try {
        return std::regex_search(lowered.begin(), lowered.end(), *regex_);
      } catch (const std::regex_error&) {
        return false;  // too complex for this name: no match rather than a failure
      }
    case Kind::anyOf:
      return std::any_of(children_.begin(), children_.end(), [lowered](const auto& c) { return c.matches(lowered); });
    case Kind::allOf:
      return std::all_of(children_.begin(), children_.end(), [lowered](const auto& c) { return c.matches(lowered); });
  }
  return false;
}

}  // namespace quorvin
