#include "core/UsageSource.h"

namespace quorvin {

std::string_view rawValue(UsageSource source) noexcept {
  switch (source) {
    case UsageSource::claude: return "claude";
    case UsageSource::codex: return "codex";
    case UsageSource::kimi: return "kimi";
    case UsageSource::grok: return "grok";
    case UsageSource::gemini: return "gemini";
    case UsageSource::openclaw: return "openclaw";
  }
  return {};
}

std::optional<UsageSource> usageSourceFromRawValue(std::string_view raw) noexcept {
  for (UsageSource source : allUsageSources) {
    if (rawValue(source) == raw) return source;
  }
  return std::nullopt;
}

}  // namespace quorvin
