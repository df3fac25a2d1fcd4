#include "sources/TokensLedger.h"

#include <sys/stat.h>

#include "core/Log.h"
#include "sources/CcusageJson.h"
#include "platform/BoundedFileRead.h"

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
  const FileRead read = readFileWithin(file, kMaxBytes);
  if (read.outcome == FileRead::Outcome::tooLarge) {
    logLine("Quorvin tokens ledger " + file.string() + " is larger than 16 MiB and was not read");
  }
  if (!read.ok()) return std::nullopt;
  return CcusageJson::ledgerTotalsOfText(read.bytes);
}

namespace {

// Modification time in nanoseconds; a file without one counts as the distant past.
std::optional<long long> modifiedAt(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
  return static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec;
}

}  // namespace

namespace {

std::vector<std::filesystem::path> candidates(const UserDefaults* defaults, const std::filesystem::path& home) {
  std::vector<std::filesystem::path> files;
  if (defaults != nullptr) {
    if (const auto configured = defaults->string(kPathKey); configured && !configured->empty()) {
      files.push_back(expandedPath(*configured, home));
    }
  }
  for (auto& file : defaultLocations(home)) files.push_back(std::move(file));
  return files;
}

}  // namespace

std::vector<std::filesystem::path> oversized(const UserDefaults* defaults, const std::filesystem::path& home) {
  std::vector<std::filesystem::path> large;
  for (auto& file : candidates(defaults, home)) {
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > kMaxBytes) {
      large.push_back(std::move(file));
    }
  }
  return large;
}

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
