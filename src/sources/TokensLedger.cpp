#include "sources/TokensLedger.h"

#include <sys/stat.h>

#include "sources/CcusageJson.h"
#include "usage/BoundedFileRead.h"

namespace quorvin::TokensLedger {

std::vector<std::filesystem::path> defaultLocations(const std::filesystem::path& home) {
  return {home / ".quorvin" / "tokens.json", home / "tallowmint" / "data" / "tokens.json",
          home / "tallowmint-profile" / "data" / "tokens.json"};
}

std::filesystem::path expandedPath(std::string_view path, const std::filesystem::path& home) {
  if (path == "~") return home;
  if (path.starts_with("~/")) return home / std::filesystem::path(path.substr(2));
  return std::filesystem::path(path);
}

std::optional<API::Totals> parse(const std::filesystem::path& file) {
  const auto bytes = readBoundedFile(file.string(), kMaxBytes);
  if (!bytes) return std::nullopt;
  return CcusageJson::ledgerTotalsOfText(*bytes);
}

namespace {

// Modification time in nanoseconds; a file without one counts as the distant past.
std::optional<long long> modifiedAt(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
  return static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec;
}

}  // namespace

std::optional<API::Totals> fileTotals(const UserDefaults* defaults, const std::filesystem::path& home) {
  if (defaults != nullptr) {
    if (const auto configured = defaults->string(kPathKey); configured && !configured->empty()) {
      if (auto totals = parse(expandedPath(*configured, home))) return totals;
    }
  }
  std::optional<API::Totals> best;
  std::optional<long long> bestTime;
  for (const auto& file : defaultLocations(home)) {
    auto totals = parse(file);
    if (!totals) continue;
    const auto time = modifiedAt(file);
    // Ties keep the earlier candidate.
    if (!best || (time && (!bestTime || *time > *bestTime))) {
      best = std::move(totals);
      bestTime = time;
    }
  }
  return best;
}

}  // namespace quorvin::TokensLedger
