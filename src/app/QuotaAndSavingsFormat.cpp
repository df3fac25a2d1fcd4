#include "app/QuotaAndSavingsFormat.h"

#include <time.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <cstdio>

#include "app/TerminalText.h"
#include "core/Time.h"
#include "sources/ProviderQuotaPresentation.h"

namespace quorvin::app {

namespace {

boost::json::value timeOrNull(const std::optional<WallTime>& time) {
  if (!time) return nullptr;
  return boost::json::value(formatIso8601Seconds(*time));
}

std::string_view availabilityName(ProviderQuotaAvailability availability) {
  switch (availability) {
    case ProviderQuotaAvailability::checking: return "checking";
    case ProviderQuotaAvailability::available: return "available";
    case ProviderQuotaAvailability::unavailable: return "unavailable";
  }
  return "unavailable";
}

// The dashboard's status word for a provider.
std::string_view statusWord(ProviderQuotaAvailability availability) {
  switch (availability) {
    case ProviderQuotaAvailability::checking: return "CHECKING";
    case ProviderQuotaAvailability::available: return "USED";
    case ProviderQuotaAvailability::unavailable: return "OFFLINE";
  }
  return "OFFLINE";
}

}  // namespace

std::string quotasText(const std::vector<ProviderQuotaSnapshot>& snapshots, WallTime now) {
  std::string out;
  for (const auto& snapshot : snapshots) {
    out +=
        padded(std::string(displayName(snapshot.provider)), 12) + std::string(statusWord(snapshot.availability)) + "\n";
    if (snapshot.availability != ProviderQuotaAvailability::available) {
      out += snapshot.availability == ProviderQuotaAvailability::checking ? "  Checking local account\u2026\n"
                                                                          : "  Sign in with the CLI\n";
      continue;
    }
    for (const auto& window : snapshot.windows) {
      // Whole percents, halves away from zero, as the dashboard shows them.
      const std::string percent = std::to_string(std::lround(window.usedPercent)) + "%";
      out += "  " + padded(window.label, 8) + padded(percent, 6) +
             ProviderQuotaPresentation::resetText(window.resetsAt, now) + "\n";
    }
  }
  return out;
}

std::string quotasJson(const std::vector<ProviderQuotaSnapshot>& snapshots, WallTime now) {
  boost::json::array providers;
  for (const auto& snapshot : snapshots) {
    boost::json::array windows;
    for (const auto& window : snapshot.windows) {
      windows.push_back({{"label", window.label},
                         {"usedPercent", window.usedPercent},
                         {"resetsAt", timeOrNull(window.resetsAt)},
                         {"resetText", ProviderQuotaPresentation::resetText(window.resetsAt, now)}});
    }
    providers.push_back({{"provider", rawValue(snapshot.provider)},
                         {"availability", availabilityName(snapshot.availability)},
                         {"fetchedAt", timeOrNull(snapshot.fetchedAt)},
                         {"windows", std::move(windows)}});
  }
  return boost::json::serialize(boost::json::object{{"quotas", std::move(providers)}});
}

std::string savingsText(const TokenSavingsSnapshot& snapshot, const TokenSavingsProjection& projection) {
  std::string out;
  std::string state = !snapshot.installed ? "not installed" : snapshot.enabled ? "on" : "installed, not set up";
  if (snapshot.version) state += " (version " + *snapshot.version + ")";
  out += labelledLine("RTK", state);
  if (snapshot.installed) {
    out += labelledLine("Commands", groupedInteger(snapshot.totalCommands));
    out += labelledLine("Original tokens", groupedInteger(snapshot.originalTokens));
    out += labelledLine("Output tokens", groupedInteger(snapshot.outputTokens));
    out += labelledLine("Saved tokens", groupedInteger(snapshot.savedTokens));
    out += labelledLine("Average saving", formatDouble("%.1f%%", snapshot.savingsPercent));
  }
  if (snapshot.error) out += labelledLine("Problem", *snapshot.error);
  const std::string basis = projection.measured ? " saved, as measured by RTK" : " at a 10% cut of fresh input";
  out += labelledLine("Estimated value", formatDouble("$%.2f", projection.estimatedUSD) + " for " +
                                             groupedInteger(projection.tokens) + " tokens" + basis);
  out += labelledLine("Priced input", formatDouble("%.0f%%", projection.inputPriceCoverage * 100) + " of fresh input");
  if (!snapshot.installed) out += "Set it up with: quorvin savings enable\n";
  return out;
}

std::string savingsJson(const TokenSavingsSnapshot& snapshot, const TokenSavingsProjection& projection) {
  boost::json::object state{{"installed", snapshot.installed},
                            {"enabled", snapshot.enabled},
                            {"version", nullptr},
                            {"totalCommands", snapshot.totalCommands},
                            {"originalTokens", snapshot.originalTokens},
                            {"outputTokens", snapshot.outputTokens},
                            {"savedTokens", snapshot.savedTokens},
                            {"savingsPercent", snapshot.savingsPercent},
                            {"error", nullptr}};
  if (snapshot.version) state["version"] = *snapshot.version;
  if (snapshot.error) state["error"] = *snapshot.error;
  boost::json::object value{{"estimatedUSD", projection.estimatedUSD},
                            {"tokens", projection.tokens},
                            {"measured", projection.measured},
                            {"inputPriceCoverage", projection.inputPriceCoverage}};
  return boost::json::serialize(boost::json::object{{"snapshot", std::move(state)}, {"projection", std::move(value)}});
}

}  // namespace quorvin::app
