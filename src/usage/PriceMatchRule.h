#pragma once

#include <boost/json/fwd.hpp>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace quorvin {

// One model-name rule of the price catalogue: equals, starts_with, ends_with, contains,
// regex, or a list of rules under or / and. Plain rules compare against lower-case
// needles (the catalogue file stores them lowered); a regex searches anywhere in the name
// unless it anchors itself. Names are lowered by the caller.
class PriceMatchRule {
 public:
  // No value for anything that is not a well-formed rule (unknown kind, empty list,
  // regex std::regex cannot compile, nesting deeper than a few levels).
  static std::optional<PriceMatchRule> fromJson(const boost::json::value& json);

  bool matches(std::string_view lowered) const;

 private:
  enum class Kind { equals, startsWith, endsWith, contains, regex, anyOf, allOf };

  static std::optional<PriceMatchRule> fromJson(const boost::json::value& json, int depth);

  Kind kind_ = Kind::equals;
  std::string text_;
  // Shared so that rules copy cheaply; never mutated after construction.
  std::shared_ptr<const std::regex> regex_;
  std::vector<PriceMatchRule> children_;
};

}  // namespace quorvin
