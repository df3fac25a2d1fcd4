#include "server/storage/UsageStore.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "core/SaturatingMath.h"
#include "wire/JsonFields.h"

namespace quorvin::server {

namespace json = boost::json;

namespace {

// The breakdowns are only shown on the profile; they are kept as one JSON text per publisher.
std::string detailJson(const API::IngestUpload& upload) {
  json::object o = API::ingestTokensBody(upload.totals);
  o["app_version"] = upload.appVersion;
  o["plan"] = upload.plan;
  return json::serialize(o);
}

void readDetail(const std::string& text, PublisherRecord& record) {
  auto doc = json_fields::parseDocument(text);
  if (!doc || !doc->is_object()) return;
  // Stored by detailJson above, so the upload decoder reads it back.
  json::object wrapper{{"handle", ""}, {"publisher_id", record.publisherId}, {"tokens", doc->get_object()}};
  auto decoded = API::decodeIngestUpload(json::serialize(wrapper));
  if (decoded.outcome == API::IngestDecode::Outcome::ok) {
    record.totals.models = std::move(decoded.upload.totals.models);
    record.totals.agents = std::move(decoded.upload.totals.agents);
    record.totals.optimizer = decoded.upload.totals.optimizer;
    record.totals.liveTotal = decoded.upload.totals.liveTotal;
    record.totals.liveCost = decoded.upload.totals.liveCost;
  }
  json_fields::readString(doc->get_object(), "app_version", record.appVersion);
  json_fields::readString(doc->get_object(), "plan", record.plan);
}

}  // namespace

namespace {

int64_t grown(const std::optional<int64_t>& now, const std::optional<int64_t>& before) {
  return now && before && *now > *before ? *now - *before : 0;
}

}  // namespace

UsageStore::Recorded UsageStore::record(int64_t accountId, int64_t deviceId, const API::IngestUpload& upload,
                                        int64_t nowMs) {
  const auto& t = upload.totals;
  const std::string detail = detailJson(upload);
  Transaction tx(db_);
  bool changed = true;
  UsageSample growth;  // stays zero for a publisher's first upload: that is its baseline
  growth.kinds = t.input && t.output && t.cacheRead && t.cacheWrite;
  {
    auto q = db_.query(
        "SELECT total, cost, input, output, cache_read, cache_write, detail FROM publisher_totals "
        "WHERE account_id = ? AND publisher_id = ?");
    q.bind(1, accountId).bind(2, upload.publisherId);
    if (q.step()) {
      const auto input = q.optionalInt64(2), output = q.optionalInt64(3), cacheRead = q.optionalInt64(4),
                 cacheWrite = q.optionalInt64(5);
      changed = !(q.int64(0) == t.total && q.real(1) == t.cost && input == t.input && output == t.output &&
                  cacheRead == t.cacheRead && cacheWrite == t.cacheWrite && q.text(6) == detail);
      growth.total = grown(t.total, q.int64(0));
      growth.cost = t.cost > q.real(1) ? t.cost - q.real(1) : 0.0;
      growth.input = grown(t.input, input);
      growth.output = grown(t.output, output);
      growth.cacheRead = grown(t.cacheRead, cacheRead);
      growth.cacheWrite = grown(t.cacheWrite, cacheWrite);
    }
  }
  if (changed) {
    db_.query(
           "INSERT INTO publisher_totals(account_id, publisher_id, device_id, total, cost, input, output, "
           "cache_read, cache_write, detail, updated_ms) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
           "ON CONFLICT(account_id, publisher_id) DO UPDATE SET device_id = excluded.device_id, "
           "total = excluded.total, cost = excluded.cost, input = excluded.input, output = excluded.output, "
           "cache_read = excluded.cache_read, cache_write = excluded.cache_write, detail = excluded.detail, "
           "updated_ms = excluded.updated_ms")
        .bind(1, accountId)
        .bind(2, upload.publisherId)
        .bind(3, deviceId)
        .bind(4, t.total)
        .bind(5, t.cost)
        .bind(6, t.input)
        .bind(7, t.output)
        .bind(8, t.cacheRead)
        .bind(9, t.cacheWrite)
        .bind(10, detail)
        .bind(11, nowMs)
        .run();
    addFlow(accountId, growth);
    replaceModels(accountId, upload.publisherId, t.models);
  }
  sample(accountId, nowMs, changed);
  tx.commit();
  return Recorded{t.total, t.cost, changed};
}

void UsageStore::replaceModels(int64_t accountId, const std::string& publisherId,
                               const std::vector<API::ModelRow>& models) {
  db_.query("DELETE FROM publisher_models WHERE account_id = ? AND publisher_id = ?")
      .bind(1, accountId)
      .bind(2, publisherId)
      .run();
  for (const auto& m : models) {
    const int64_t tokens = saturatingAdd(saturatingAdd(m.input, m.output), saturatingAdd(m.cacheRead, m.cacheWrite));
    // A name may come twice in one upload; its rows add up.
    db_.query(
           "INSERT INTO publisher_models(account_id, publisher_id, name, tokens, cost) VALUES(?, ?, ?, ?, ?) "
           "ON CONFLICT DO UPDATE SET tokens = MIN(tokens, 9223372036854775807 - excluded.tokens) + excluded.tokens, "
           "cost = cost + excluded.cost")
        .bind(1, accountId)
        .bind(2, publisherId)
        .bind(3, m.name)
        .bind(4, tokens)
        .bind(5, m.cost)
        .run();
  }
}

void UsageStore::fillModelRows() {
  {
    auto version = db_.query("PRAGMA user_version");
    if (version.step() && version.int64(0) >= 1) return;
  }
  Transaction tx(db_);
  std::vector<std::pair<int64_t, PublisherRecord>> rows;
  {
    auto q = db_.query("SELECT account_id, publisher_id, detail FROM publisher_totals");
    while (q.step()) {
      PublisherRecord record;
      record.publisherId = q.text(1);
      readDetail(q.text(2), record);
      rows.emplace_back(q.int64(0), std::move(record));
    }
  }
  for (const auto& [accountId, record] : rows) replaceModels(accountId, record.publisherId, record.totals.models);
  db_.exec("PRAGMA user_version = 1");
  tx.commit();
}

UsageStore::ProfileSummary UsageStore::profileSummary(int64_t accountId) {
  ProfileSummary summary;
  {
    // Summed here rather than by SQLite, whose SUM() fails on overflow: databases from before
    // the publisher caps may hold thousands of publishers at 2^53.
    auto q = db_.query("SELECT total, cost FROM publisher_totals WHERE account_id = ?");
    q.bind(1, accountId);
    while (q.step()) {
      summary.total = saturatingAdd(summary.total, q.int64(0));
      summary.cost += q.real(1);
      ++summary.machines;
    }
  }
  auto q = db_.query("SELECT name, tokens, cost FROM publisher_models WHERE account_id = ? ORDER BY name");
  q.bind(1, accountId);
  while (q.step()) {
    std::string name = q.text(0);
    if (summary.models.empty() || summary.models.back().name != name) summary.models.push_back({std::move(name)});
    auto& model = summary.models.back();
    model.tokens = saturatingAdd(model.tokens, q.int64(1));
    model.cost += q.real(2);
  }
  return summary;
}

bool UsageStore::mayRecord(int64_t accountId, int64_t deviceId, const std::string& publisherId) {
  auto q = db_.query(
      "SELECT COUNT(*), COALESCE(SUM(device_id = ?), 0), COALESCE(SUM(publisher_id = ?), 0) "
      "FROM publisher_totals WHERE account_id = ?");
  q.bind(1, deviceId).bind(2, publisherId).bind(3, accountId);
  if (!q.step()) return true;
  if (q.int64(2) > 0) return true;
  return q.int64(0) < maxPublishersPerAccount && q.int64(1) < maxPublishersPerDevice;
}

UsageSample UsageStore::addFlow(int64_t accountId, const UsageSample& g) {
  auto q = db_.query(
      "INSERT INTO account_flow(account_id, total, cost, input, output, cache_read, cache_write, kinds) "
      "VALUES(?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(account_id) DO UPDATE SET "
      // Saturating: SQLite raises an error instead of wrapping past 2^63.
      "total = MIN(total, 9223372036854775807 - excluded.total) + excluded.total, "
      "cost = cost + excluded.cost, "
      "input = MIN(input, 9223372036854775807 - excluded.input) + excluded.input, "
      "output = MIN(output, 9223372036854775807 - excluded.output) + excluded.output, "
      "cache_read = MIN(cache_read, 9223372036854775807 - excluded.cache_read) + excluded.cache_read, "
      "cache_write = MIN(cache_write, 9223372036854775807 - excluded.cache_write) + excluded.cache_write, "
      "kinds = excluded.kinds RETURNING total, cost, input, output, cache_read, cache_write, kinds");
  q.bind(1, accountId)
      .bind(2, g.total)
      .bind(3, g.cost)
      .bind(4, g.input)
      .bind(5, g.output)
      .bind(6, g.cacheRead)
      .bind(7, g.cacheWrite)
      .bind(8, static_cast<int64_t>(g.kinds ? 1 : 0));
  UsageSample s;
  if (q.step()) {
    s = UsageSample{0, q.int64(0), q.real(1), q.int64(2), q.int64(3), q.int64(4), q.int64(5), q.int64(6) != 0};
  }
  while (q.step()) {
  }
  return s;
}

UsageSample UsageStore::flow(int64_t accountId) {
  auto q = db_.query(
      "SELECT total, cost, input, output, cache_read, cache_write, kinds FROM account_flow WHERE account_id = ?");
  q.bind(1, accountId);
  if (!q.step()) return UsageSample{};
  return UsageSample{0, q.int64(0), q.real(1), q.int64(2), q.int64(3), q.int64(4), q.int64(5), q.int64(6) != 0};
}

void UsageStore::sample(int64_t accountId, int64_t nowMs, bool changed) {
  auto last = lastSampleMs_.find(accountId);
  if (last != lastSampleMs_.end()) {
    const int64_t since = nowMs - last->second;
    // One row a second is the resolution: later uploads of that second are picked up by the
    // next sample. An unchanged account is sampled only as a heartbeat.
    if (since < 1000 && nowMs / 1000 == last->second / 1000) return;
    if (!changed && since < heartbeatMs) return;
  }
  UsageSample s = flow(accountId);
  s.atMs = nowMs - nowMs % 1000;
  db_.query(
         "INSERT OR REPLACE INTO usage_samples(account_id, at_ms, total, cost, input, output, cache_read, "
         "cache_write, kinds) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(1, accountId)
      .bind(2, s.atMs)
      .bind(3, s.total)
      .bind(4, s.cost)
      .bind(5, s.input)
      .bind(6, s.output)
      .bind(7, s.cacheRead)
      .bind(8, s.cacheWrite)
      .bind(9, static_cast<int64_t>(s.kinds ? 1 : 0))
      .run();
  lastSampleMs_[accountId] = nowMs;
  auto& pruned = lastPruneMs_[accountId];
  if (nowMs - pruned > 60'000) {
    db_.query("DELETE FROM usage_samples WHERE account_id = ? AND at_ms < ?")
        .bind(1, accountId)
        .bind(2, nowMs - historyMs)
        .run();
    pruned = nowMs;
  }
}

UsageSample UsageStore::accountSum(int64_t accountId, int64_t atMs) {
  // SQLite's SUM() of integers raises an error on overflow instead of wrapping; each
  // publisher's figures are at most 2^53, so only an absurd number of publishers could.
  auto q = db_.query(
      "SELECT COALESCE(SUM(total), 0), COALESCE(SUM(cost), 0.0), COALESCE(SUM(input), 0), "
      "COALESCE(SUM(output), 0), COALESCE(SUM(cache_read), 0), COALESCE(SUM(cache_write), 0), "
      "COUNT(*), COUNT(input) + COUNT(output) + COUNT(cache_read) + COUNT(cache_write) "
      "FROM publisher_totals WHERE account_id = ?");
  q.bind(1, accountId);
  UsageSample s;
  s.atMs = atMs;
  if (q.step()) {
    s.total = q.int64(0);
    s.cost = q.real(1);
    s.input = q.int64(2);
    s.output = q.int64(3);
    s.cacheRead = q.int64(4);
    s.cacheWrite = q.int64(5);
    s.kinds = q.int64(6) > 0 && q.int64(7) == 4 * q.int64(6);
  }
  return s;
}

std::vector<PublisherRecord> UsageStore::publishers(int64_t accountId) {
  auto q = db_.query(
      "SELECT publisher_id, total, cost, input, output, cache_read, cache_write, detail, updated_ms "
      "FROM publisher_totals WHERE account_id = ? ORDER BY updated_ms DESC");
  q.bind(1, accountId);
  std::vector<PublisherRecord> out;
  while (q.step()) {
    PublisherRecord r;
    r.publisherId = q.text(0);
    r.totals.total = q.int64(1);
    r.totals.cost = q.real(2);
    r.totals.input = q.optionalInt64(3);
    r.totals.output = q.optionalInt64(4);
    r.totals.cacheRead = q.optionalInt64(5);
    r.totals.cacheWrite = q.optionalInt64(6);
    readDetail(q.text(7), r);
    r.updatedMs = q.int64(8);
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<UsageSample> UsageStore::samplesSince(int64_t accountId, int64_t fromMs) {
  std::vector<UsageSample> out;
  auto read = [](Query& q) {
    return UsageSample{q.int64(0), q.int64(1), q.real(2),  q.int64(3),
                       q.int64(4), q.int64(5), q.int64(6), q.int64(7) != 0};
  };
  {
    auto q = db_.query(
        "SELECT at_ms, total, cost, input, output, cache_read, cache_write, kinds FROM usage_samples "
        "WHERE account_id = ? AND at_ms < ? ORDER BY at_ms DESC LIMIT 1");
    q.bind(1, accountId).bind(2, fromMs);
    if (q.step()) out.push_back(read(q));
  }
  auto q = db_.query(
      "SELECT at_ms, total, cost, input, output, cache_read, cache_write, kinds FROM usage_samples "
      "WHERE account_id = ? AND at_ms >= ? ORDER BY at_ms");
  q.bind(1, accountId).bind(2, fromMs);
  while (q.step()) out.push_back(read(q));
  return out;
}

}  // namespace quorvin::server
