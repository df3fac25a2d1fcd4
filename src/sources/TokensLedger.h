#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/UserDefaults.h"
#include "wire/UsageTotals.h"

namespace quorvin::TokensLedger {

inline constexpr std::string_view kPathKey = "tokensLedgerPath";
inline constexpr size_t kMaxBytes = 16 * 1024 * 1024;

// The three places another tool writes its tokens ledger, relative to the home directory.
std::vector<std::filesystem::path> defaultLocations(const std::filesystem::path& home);

// "~" and "~/..." relative to the home directory; anything else unchanged.
std::filesystem::path expandedPath(std::string_view path, const std::filesystem::path& home);

// A ledger over kMaxBytes is not read (one log line says so).
std::optional<API::Totals> parse(const std::filesystem::path& file);

// The ledgers fileTotals() would consider that are too large to read, so that a command
// can say why no ledger answered.
std::vector<std::filesystem::path> oversized(const UserDefaults* defaults, const std::filesystem::path& home);

// The configured ledger when it parses; otherwise the newest default ledger that parses.
std::optional<API::Totals> fileTotals(const UserDefaults* defaults, const std::filesystem::path& home);

}  // namespace quorvin::TokensLedger
