#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "wire/IngestBody.h"
#include "server/storage/Database.h"

namespace quorvin::server {

// An account's counters at one moment. In the history these are flow counters: the sum of
// every publisher's growth since its first upload, so pairing a machine with a large
// all-time total, or a corrected (lower) total, is not mistaken for usage.
struct UsageSample {
  int64_t atMs = 0;
  int64_t total = 0;
  double cost = 0;
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheRead = 0;
  int64_t cacheWrite = 0;
  bool kinds = false;  // every publisher reported the four counters
  bool operator==(const UsageSample&) const = default;
};

struct PublisherRecord {
  std::string publisherId;
  API::Totals totals;
  std::string appVersion;
  std::string plan;
  int64_t updatedMs = 0;
};

// What each publisher (machine) of an account last uploaded, and the account's recent
// history of summed totals that the live candles are drawn from.
class UsageStore {
 public:
  explicit UsageStore(Database& db) : db_(db) {}

  struct Recorded {
    int64_t total = 0;
    double cost = 0;
    bool changed = false;
  };
  // The newest upload of a publisher replaces its previous one. Runs in one transaction
  // together with the account's history sample.
  Recorded record(int64_t accountId, int64_t deviceId, const API::IngestUpload& upload, int64_t nowMs);

  // Whether an upload from this publisher may be stored: a known publisher always, a new one
  // while the device and the account are below their caps.
  bool mayRecord(int64_t accountId, int64_t deviceId, const std::string& publisherId);
  // One install is one publisher; a machine reinstalled now and then stays far below these.
  static constexpr int64_t maxPublishersPerDevice = 8;
  static constexpr int64_t maxPublishersPerAccount = 64;

  std::vector<PublisherRecord> publishers(int64_t accountId);

  // What the profile page shows. The model rows are kept on ingest, so a view reads a few
  // small rows instead of every publisher's breakdown; sums saturate.
  struct ProfileSummary {
    struct Model {
      std::string name;
      int64_t tokens = 0;
      double cost = 0;
      bool operator==(const Model&) const = default;
    };
    int64_t total = 0;
    double cost = 0;
    int64_t machines = 0;
    std::vector<Model> models;  // by name
  };
  ProfileSummary profileSummary(int64_t accountId);
  // Fills the model rows of a database made before they were kept; once.
  void fillModelRows();
  UsageSample accountSum(int64_t accountId, int64_t atMs);
  // Samples from `fromMs` on, oldest first, plus the last one before it (for the first
  // bucket's growth).
  std::vector<UsageSample> samplesSince(int64_t accountId, int64_t fromMs);

  // History kept for candles: long enough for the widest chart the service draws.
  static constexpr int64_t historyMs = 13 * 3600 * 1000LL;
  // An unchanged sum is still sampled this often so that idle time shows as flat.
  static constexpr int64_t heartbeatMs = 10'000;

 private:
  void sample(int64_t accountId, int64_t nowMs, bool changed);
  UsageSample addFlow(int64_t accountId, const UsageSample& growth);
  UsageSample flow(int64_t accountId);
  void replaceModels(int64_t accountId, const std::string& publisherId, const std::vector<API::ModelRow>& models);

  Database& db_;
  std::unordered_map<int64_t, int64_t> lastSampleMs_;
  std::unordered_map<int64_t, int64_t> lastPruneMs_;
};

}  // namespace quorvin::server
