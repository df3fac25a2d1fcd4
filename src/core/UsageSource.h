#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quorvin {

// Agents whose JSON-lines logs are tailed as files. The raw value is the per-source key
// of every usage map; the structured stores use the plain keys "opencode", "hermes",
// "droid" and the editor "cursor".
enum class UsageSource { claude, codex, kimi, grok, gemini, openclaw };

inline constexpr std::array<UsageSource, 6> allUsageSources{UsageSource::claude, UsageSource::codex,
                                                            UsageSource::kimi,   UsageSource::grok,
                                                            UsageSource::gemini, UsageSource::openclaw};

std::string_view rawValue(UsageSource source) noexcept;
// Exactly the six raw values, case-sensitive.
std::optional<UsageSource> usageSourceFromRawValue(std::string_view raw) noexcept;

}  // namespace quorvin
