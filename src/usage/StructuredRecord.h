#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/UsageCounters.h"

namespace quorvin::StructuredRecord {

// Token counters of one store record and the model it names, if any.
struct Usage {
  UsageCounters counters;
  std::optional<std::string> model;
  bool operator==(const Usage&) const = default;
};

// The `data` JSON of an OpenCode message row. None when the record carries no tokens.
std::optional<Usage> openCodeMessage(std::string_view json) noexcept;

// A Factory Droid "*.settings.json" file. None when it is not one or counts nothing;
// the model is always present ("droid" when the file names none).
std::optional<Usage> droidSettings(std::string_view json) noexcept;

// Whether the text is one whole JSON object (a settings file not caught half-written).
bool isJsonObject(std::string_view json) noexcept;

// Droid's model names ("custom:Claude Sonnet 4.5 [beta]") in the price table's spelling
// ("claude-sonnet-4-5"); none when nothing is left.
std::optional<std::string> droidModel(std::string_view raw);

}  // namespace quorvin::StructuredRecord
