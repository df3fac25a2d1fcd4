#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sources/ProviderQuotaSnapshot.h"

namespace quorvin::ProviderQuotaParser {

// The Grok vendor's sign-in host: auth-file entries named after it are preferred.
inline constexpr std::string_view kGrokAuthHost = "auth.x.ai";

// The Codex usage body: its primary and secondary windows, ordered 5H, WEEK, MONTH, other.
// None when the body does not decode or has no "rate_limit"; an unavailable snapshot when
// no window carries a used percentage.
std::optional<ProviderQuotaSnapshot> codex(std::string_view body, WallTime now);

// The Grok Build billing body: one window for the "GrokBuild" product. None when the body
// does not decode or that product or its percentage is missing.
std::optional<ProviderQuotaSnapshot> grok(std::string_view body, WallTime now);

// The Codex auth file's "tokens"; none without a non-empty access token or when the file
// does not decode.
std::optional<CodexCredential> codexCredential(std::string_view file);

// The best-scored sign-in of the Grok auth file; none when no entry has a key.
std::optional<GrokCredential> grokCredential(std::string_view file);

// Window labels from a Codex window length and a Grok billing period.
std::string codexWindowLabel(std::optional<double> limitWindowSeconds);
std::string grokWindowLabel(const std::optional<std::string>& type, const std::optional<std::string>& start,
                            const std::optional<std::string>& end);

// Absent or empty text gives none; RFC 3339 with, then without, fractional seconds.
std::optional<WallTime> parseISO8601(const std::optional<std::string>& text);

}  // namespace quorvin::ProviderQuotaParser
