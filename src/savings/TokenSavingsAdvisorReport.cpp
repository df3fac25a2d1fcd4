// RTK's savings report, its version text, error texts and the integration markers.
#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <limits>

#include "core/TextCut.h"
#include "savings/TokenSavingsAdvisor.h"
#include "usage/BoundedFileRead.h"

namespace quorvin::TokenSavingsAdvisor {

namespace {

namespace json = boost::json;

// A settings file this large is not one a coding tool wrote; it counts as unreadable.
constexpr size_t kMaxMarkerFileBytes = 4 * 1024 * 1024;
constexpr size_t kMaxLineCharacters = 240;

std::optional<int64_t> integer(const json::value& value) {
  if (value.is_int64()) return value.get_int64();
  if (value.is_uint64()) {
    if (value.get_uint64() > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(value.get_uint64());
  }
  if (value.is_double()) {
    // An integral double (12.0) decodes as an integer, as with a typed decoder.
    const double d = value.get_double();
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9.2e18 || d > 9.2e18) return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<double> number(const json::value& value) {
  if (value.is_double()) return value.get_double();
  if (value.is_int64()) return static_cast<double>(value.get_int64());
  if (value.is_uint64()) return static_cast<double>(value.get_uint64());
  return std::nullopt;
}

std::string asciiLowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
  return text;
}

struct MarkerFile {
  std::string_view path;
  std::vector<std::string_view> markers;
};

}  // namespace

std::optional<GainSummary> parseGain(std::string_view text) {
  std::error_code ec;
  const json::value root = json::parse(text, ec);
  if (ec || !root.is_object()) return std::nullopt;
  const json::value* summary = root.get_object().if_contains("summary");
  if (summary == nullptr || !summary->is_object()) return std::nullopt;
  const json::object& fields = summary->get_object();
  const auto field = [&fields](std::string_view key) { return fields.if_contains(key); };

  GainSummary gain;
  const std::pair<std::string_view, int64_t*> counts[] = {{"total_commands", &gain.totalCommands},
                                                          {"total_input", &gain.totalInput},
                                                          {"total_output", &gain.totalOutput},
                                                          {"total_saved", &gain.totalSaved}};
  for (const auto& [key, out] : counts) {
    const json::value* value = field(key);
    const auto parsed = value ? integer(*value) : std::nullopt;
    if (!parsed) return std::nullopt;
    *out = *parsed;
  }
  const json::value* percent = field("avg_savings_pct");
  const auto parsed = percent ? number(*percent) : std::nullopt;
  if (!parsed) return std::nullopt;
  gain.avgSavingsPct = *parsed;
  return gain;
}

std::optional<std::string> versionText(std::string_view output) {
  const std::string_view trimmed = trimWhitespace(output);
  if (trimmed.empty()) return std::nullopt;
  const size_t space = trimmed.rfind(' ');
  return std::string(space == std::string_view::npos ? trimmed : trimmed.substr(space + 1));
}

std::string lastUsefulLine(std::string_view output) {
  // Lines of nothing but white space carry no diagnostic either.
  std::string_view last;
  size_t start = 0;
  while (start <= output.size()) {
    size_t end = output.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = output.size();
    const std::string_view line = trimWhitespace(output.substr(start, end - start));
    if (!line.empty()) last = line;
    start = end + 1;
  }
  if (last.empty()) return std::string(kNoDiagnostic);
  return prefixOfCharacters(last, kMaxLineCharacters);
}

bool integrationEnabled(const std::filesystem::path& home) {
  static const MarkerFile kFiles[] = {
      {".claude/settings.json", {"rtk hook claude", "rtk-rewrite"}},
      {".claude/RTK.md", {"rtk"}},
      {".codex/RTK.md", {"rtk"}},
      {".cursor/hooks.json", {"rtk hook cursor", "rtk-rewrite"}},
  };
  for (const auto& file : kFiles) {
    const auto content = readBoundedFile((home / file.path).string(), kMaxMarkerFileBytes);
    if (!content) continue;
    const std::string lowered = asciiLowercased(*content);
    for (const auto marker : file.markers) {
      if (lowered.find(marker) != std::string::npos) return true;
    }
  }
  return false;
}

}  // namespace quorvin::TokenSavingsAdvisor
