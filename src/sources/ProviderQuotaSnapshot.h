#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Time.h"

namespace quorvin {

enum class ProviderQuotaAvailability { checking, available, unavailable };

// One rolling usage window of a provider's plan.
struct ProviderQuotaWindow {
  std::string label;  // "5H", "WEEK", "MONTH" or "LIMIT"
  double usedPercent = 0;  // 0...100
  std::optional<WallTime> resetsAt;
  bool operator==(const ProviderQuotaWindow&) const = default;
};

// What one provider's usage endpoint said about the signed-in account. An unavailable
// snapshot has no windows and no fetch time.
struct ProviderQuotaSnapshot {
  enum class Provider { codex, grokBuild };

  Provider provider = Provider::codex;
  ProviderQuotaAvailability availability = ProviderQuotaAvailability::checking;
  std::vector<ProviderQuotaWindow> windows;
  std::optional<WallTime> fetchedAt;

  bool operator==(const ProviderQuotaSnapshot&) const = default;

  static ProviderQuotaSnapshot unavailable(Provider provider) {
    return {provider, ProviderQuotaAvailability::unavailable, {}, std::nullopt};
  }
  // Before the first fetch: one per provider, in provider order.
  static std::vector<ProviderQuotaSnapshot> placeholders() {
    return {{Provider::codex, ProviderQuotaAvailability::checking, {}, std::nullopt},
            {Provider::grokBuild, ProviderQuotaAvailability::checking, {}, std::nullopt}};
  }
};

// The snapshot's identity, as stored and sent.
constexpr std::string_view rawValue(ProviderQuotaSnapshot::Provider provider) {
  return provider == ProviderQuotaSnapshot::Provider::codex ? "codex" : "grokBuild";
}
constexpr std::string_view displayName(ProviderQuotaSnapshot::Provider provider) {
  return provider == ProviderQuotaSnapshot::Provider::codex ? "Codex" : "Grok Build";
}

// The sign-in of the Codex CLI's auth file.
struct CodexCredential {
  std::string accessToken;
  std::string accountId;  // empty when the file has none
  bool operator==(const CodexCredential&) const = default;
};

// The sign-in picked from the Grok CLI's auth file.
struct GrokCredential {
  std::string accessToken;
  std::optional<WallTime> expiresAt;
  bool operator==(const GrokCredential&) const = default;
};

}  // namespace quorvin
