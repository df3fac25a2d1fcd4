#include "usage/LiveUsageOracle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>

#include "usage/CostSum.h"
#include "usage/LiveUsageOracleFacts.h"

namespace quorvin {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kInitialInventoryWindow = 86400s;
constexpr auto kFallbackInventoryInterval = 300s;
constexpr size_t kMaxDiscoveryDepth = 32;
// A file missing this long, and then not found by a full walk under any name, is gone.
constexpr auto kDepartureGrace = 60s;

std::string standardizedPath(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = path.is_absolute() ? path : fs::absolute(path, ec);
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Roots may be links (a dotfile manager's), so they are followed.
bool isExistingDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Below a root, a link to a folder is not followed: it would pull in logs from elsewhere.
bool isDirectoryItself(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isAtOrBelow(std::string_view path, std::string_view directory) {
  return path == directory ||
         (path.size() > directory.size() && path.starts_with(directory) && path[directory.size()] == '/');
}

}  // namespace

struct LiveUsageOracle::FileTotals {
  std::array<bool, allUsageSources.size()> present{};
  std::array<UsageCounters, allUsageSources.size()> counters{};
  std::array<double, allUsageSources.size()> costs{};
  UsageCounters total;
  std::set<std::string> models;
};

LiveUsageOracle::LiveUsageOracle(fs::path home, WallTime startedAt, const Clock& clock, Environment environment,
                                 Options options)
    : home_(standardizedPath(home)),
      startedAt_(startedAt),
      clock_(clock),
      options_(options),
      roots_(rootsFor(home_, environment)),
      fileTotals_(std::make_unique<FileTotals>()),
      departed_(std::make_unique<FileTotals>()) {
  for (const auto& root : roots_) watchPaths_.push_back(root.path);
  for (const char* store : {".local/share/opencode", ".hermes", ".factory/sessions"}) {
    watchPaths_.push_back(standardizedPath(home_ / store));
  }
  for (const auto& path : watchPaths_) {
    if (isExistingDirectory(path)) watchedPaths_.insert(path);
  }
  watcher_ = makeWatcher();
}

LiveUsageOracle::~LiveUsageOracle() = default;

std::unique_ptr<FileChangeWatcher> LiveUsageOracle::makeWatcher() const {
  if (!options_.watchChanges) return std::make_unique<FileChangeWatcher>(std::vector<fs::path>{});
  return std::make_unique<FileChangeWatcher>(std::vector<fs::path>(watchPaths_.begin(), watchPaths_.end()));
}

std::optional<LiveUsageOracle::Snapshot> LiveUsageOracle::snapshot(bool forceScan) {
  WallTime now = clock_.now();
  std::erase_if(retiredIdentities_, [now](const auto& entry) { return entry.second <= now; });
  bool replaced = refreshWatcher();

  if (!initialized_) {
    initialInventory(now - kInitialInventoryWindow);
    structured_.initialize(home_, now);
    initialized_ = true;
    nextFallbackInventory_ = now + kFallbackInventoryInterval;
    processChanges(watcher_->drain(), now, false);
    return aggregate();
  }

  std::vector<std::string> pending = watcher_->drain();
  pollKnownFiles(now);
  processChanges(pending, now, true);
  structured_.refreshOpenCode(home_, now);
  structured_.refreshHermes(home_, now);
  if (!replaced && !forceScan && now < nextFallbackInventory_) {
    std::string droid = standardizedPath(home_ / ".factory/sessions");
    bool droidChanged = std::any_of(pending.begin(), pending.end(), [&](const std::string& path) {
      return isAtOrBelow(standardizedPath(path), droid);
    });
    if (droidChanged) structured_.refreshDroid(home_);
  } else {
    fullInventory(startedAt_ - 1s, now);
    structured_.refreshOpenCode(home_, now);
    structured_.refreshHermes(home_, now);
    structured_.refreshDroid(home_);
    nextFallbackInventory_ = clock_.now() + kFallbackInventoryInterval;
  }
  return aggregate();
}

bool LiveUsageOracle::refreshWatcher() {
  std::set<std::string> existing;
  for (const auto& path : watchPaths_) {
    if (isExistingDirectory(path)) existing.insert(path);
  }
  if (existing == watchedPaths_) return false;
  watchedPaths_ = std::move(existing);
  watcher_.reset();  // the old one stops before the new one starts
  watcher_ = makeWatcher();
  return true;
}

void LiveUsageOracle::initialInventory(WallTime cutoff) {
  for (const auto& root : roots_) {
    if (isExistingDirectory(root.path)) discover(root.path, root.source, cutoff, cutoff, true);
  }
}

void LiveUsageOracle::fullInventory(WallTime cutoff, WallTime now) {
  // A tailed file that vanished may have been renamed without events; the walk looks for
  // it whatever its modification time.
  soughtIdentities_.clear();
  for (const auto& [path, state] : files_) {
    if (state.missingSince && state.identity) soughtIdentities_.insert(*state.identity);
  }
  for (const auto& root : roots_) {
    if (isExistingDirectory(root.path)) discover(root.path, root.source, cutoff, now, false);
  }
  soughtIdentities_.clear();
  forgetDepartedFiles(now);
}

void LiveUsageOracle::forgetDepartedFiles(WallTime now) {
  // Neither its path nor, after a whole walk, its identity is left: keep what it counted
  // and drop the rest, so a later file with its inode number is not taken for it.
  FileTotals& gone = *departed_;
  for (auto it = files_.begin(); it != files_.end();) {
    const FileState& state = it->second;
    if (!state.missingSince || *state.missingSince + kDepartureGrace > now) {
      ++it;
      continue;
    }
    size_t index = static_cast<size_t>(state.source);
    gone.present[index] = true;
    UsageCounters counted = state.counters + state.archived;
    gone.counters[index] += counted;
    gone.total += counted;
    gone.costs[index] = addCost(addCost(gone.costs[index], state.estimatedCost), state.archivedCost);
    gone.models.insert(state.models.begin(), state.models.end());
    it = files_.erase(it);
    filesChanged_ = true;
  }
}

void LiveUsageOracle::discover(const std::string& top, UsageSource source, WallTime cutoff, WallTime now,
                               bool registerOnly) {
  std::vector<std::pair<std::string, size_t>> stack{{top, 0}};
  while (!stack.empty()) {
    auto [directory, depth] = std::move(stack.back());
    stack.pop_back();
    DIR* handle = ::opendir(directory.c_str());
    if (!handle) continue;
    while (dirent* entry = ::readdir(handle)) {
      if (entry->d_name[0] == '.') continue;  // hidden entries, "." and ".."
      std::string path = directory + "/" + entry->d_name;
      unsigned char type = entry->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      }
      if (type == DT_DIR) {
        if (depth < kMaxDiscoveryDepth) stack.emplace_back(std::move(path), depth + 1);
        continue;
      }
      if (type != DT_REG || !passesNameFilter(source, entry->d_name)) continue;
      auto facts = Facts::read(path, options_.birthTimes);
      if (!facts || !facts->regular) continue;
      bool recent = facts->modified.value_or(WallTime::min()) >= cutoff;
      if (registerOnly) {
        if (files_.contains(path) || dormant_.contains(path)) continue;
        if (!recent) {
          // Its size now is where later usage starts; no reading, no polling.
          if (facts->identity) dormant_.emplace(std::move(path), DormantFile{*facts->identity, facts->size});
          continue;
        }
        FileState state;
        state.source = source;
        state.identity = facts->identity;
        state.offset = facts->size;
        files_.emplace(std::move(path), std::move(state));
        filesChanged_ = true;
      } else if (recent || (facts->identity && soughtIdentities_.contains(*facts->identity))) {
        refreshFile(path, source, &*facts, now);
      }
    }
    ::closedir(handle);
  }
}

void LiveUsageOracle::processChanges(const std::vector<std::string>& paths, WallTime now, bool knownJustPolled) {
  std::set<std::string> discovered;
  for (const auto& reported : paths) {
    std::string path = standardizedPath(reported);
    const Root* root = nullptr;
    for (const auto& candidate : roots_) {
      if (isAtOrBelow(path, candidate.path)) {
        root = &candidate;
        break;
      }
    }
    if (!root) continue;
    if (path == root->path ? isExistingDirectory(path) : isDirectoryItself(path)) {
      // A directory inside one discovered moments ago was enumerated with it.
      bool covered = false;
      for (std::string_view parent = path; parent.size() > root->path.size();) {
        parent = parent.substr(0, parent.rfind('/'));
        if (discovered.contains(std::string(parent))) {
          covered = true;
          break;
        }
      }
      if (!covered) discover(path, root->source, startedAt_, now, false);
      discovered.insert(path);
      continue;
    }
    // A known file was read to its end by this snapshot's poll moments ago.
    if (knownJustPolled && files_.contains(path)) continue;
    std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
    if (passesNameFilter(root->source, name)) refreshFile(path, root->source, nullptr, now);
  }
}

void LiveUsageOracle::pollKnownFiles(WallTime now) {
  // Refreshing a path that still names the same file never adds or removes entries, so
  // the map is walked directly: with thousands of idle files this loop is the snapshot's
  // whole cost. A path that names another file now may take a known file's state, so
  // it waits until the walk is done.
  std::vector<std::string> renamedOver;
  for (auto& [path, state] : files_) {
    auto facts = Facts::read(path, options_.birthTimes);
    if (!facts || !facts->regular) {
      if ((!facts && Facts::lastReadFoundNothing()) || (facts && !facts->regular)) {
        if (!state.missingSince) state.missingSince = now;
      }
      continue;
    }
    state.missingSince.reset();
    if (state.identity && facts->identity && *facts->identity != *state.identity) {
      renamedOver.push_back(path);
      continue;
    }
    refreshKnownFile(path, state, *facts, now);
  }
  for (const auto& path : renamedOver) {
    auto known = files_.find(path);
    if (known != files_.end()) refreshFile(path, known->second.source, nullptr, now);
  }
}

LiveUsageOracle::Snapshot LiveUsageOracle::aggregate() {
  FileTotals& totals = *fileTotals_;
  if (filesChanged_) {
    totals = *departed_;
    for (const auto& [path, state] : files_) {
      size_t index = static_cast<size_t>(state.source);
      totals.present[index] = true;
      UsageCounters counted = state.counters + state.archived;
      totals.counters[index] += counted;
      totals.total += counted;
      totals.costs[index] = addCost(addCost(totals.costs[index], state.estimatedCost), state.archivedCost);
      totals.models.insert(state.models.begin(), state.models.end());
    }
    filesChanged_ = false;
  }

  UsageCounters grand = totals.total;
  std::set<std::string> sources;
  std::set<std::string> models = totals.models;
  std::map<std::string, UsageCounters> bySource;
  std::map<std::string, double> costs;
  for (size_t i = 0; i < allUsageSources.size(); ++i) {
    if (!totals.present[i]) continue;
    std::string key(rawValue(allUsageSources[i]));
    sources.insert(key);
    bySource[key] += totals.counters[i];
    costs[key] = addCost(costs[key], totals.costs[i]);
  }
  const auto& structured = structured_.snapshot();
  grand += structured.counters;
  sources.insert(structured.sources.begin(), structured.sources.end());
  models.insert(structured.models.begin(), structured.models.end());
  for (const auto& [key, counters] : structured.bySource) bySource[key] += counters;
  for (const auto& [key, cost] : structured.costBySource) costs[key] = addCost(costs[key], cost);

  Snapshot snapshot;
  snapshot.counters = grand;
  snapshot.sources.assign(sources.begin(), sources.end());
  snapshot.models.assign(models.begin(), models.end());
  for (const auto& [key, counters] : bySource) snapshot.sourceTotals[key] = counters.total();
  for (const auto& key : snapshot.sources) {
    auto cost = costs.find(key);
    snapshot.sourceCosts[key] = cost == costs.end() ? 0.0 : cost->second;
  }
  return snapshot;
}

}  // namespace quorvin
