#include "wire/IngestBody.h"

#include <boost/json/serialize.hpp>

#include "wire/JsonFields.h"

namespace quorvin::API {

namespace json = boost::json;
using namespace json_fields;

boost::json::object ingestTokensBody(const Totals& t) {
  json::object o;
  o["total"] = t.total;
  o["cost_usd_total"] = t.cost;
  if (t.input) o["input_total"] = *t.input;
  if (t.output) o["output_total"] = *t.output;
  if (t.cacheRead) o["cache_read_total"] = *t.cacheRead;
  if (t.cacheWrite) o["cache_write_total"] = *t.cacheWrite;
  if (!t.agents.empty()) {
    o["apps_used"] = static_cast<int64_t>(t.agents.size());
    json::array agents;
    for (const auto& a : t.agents) agents.push_back(json::object{{"name", a.name}, {"tokens", a.tokens}});
    o["by_agent"] = std::move(agents);
  }
  if (!t.models.empty()) {
    o["models_used"] = static_cast<int64_t>(t.models.size());
    json::array models;
    for (const auto& m : t.models) {
      models.push_back(json::object{{"name", m.name},
                                    {"in", m.input},
                                    {"out", m.output},
                                    {"cacheRead", m.cacheRead},
                                    {"cacheWrite", m.cacheWrite},
                                    {"cost", m.cost}});
    }
    o["by_model"] = std::move(models);
  }
  if (t.liveTotal) o["live_total"] = *t.liveTotal;
  if (t.liveCost) o["live_cost_usd"] = *t.liveCost;
  if (t.optimizer) {
    o["optimizer_name"] = "rtk";
    o["optimizer_enabled"] = t.optimizer->enabled;
    o["optimizer_commands_total"] = t.optimizer->commands;
    o["optimizer_input_total"] = t.optimizer->originalTokens;
    o["optimizer_output_total"] = t.optimizer->outputTokens;
    o["optimizer_saved_total"] = t.optimizer->savedTokens;
  }
  return o;
}

std::string encode(const IngestUpload& upload) {
  json::object o;
  o["handle"] = upload.handle;
  o["source"] = upload.source;
  o["publisher_id"] = upload.publisherId;
  o["app_version"] = upload.appVersion;
  o["plan"] = upload.plan;
  o["tokens"] = ingestTokensBody(upload.totals);
  return json::serialize(o);
}

namespace {

bool decodeTokens(const json::object& o, Totals& t, std::string& reason) {
  if (!readInt64(o, "total", t.total) || !readDouble(o, "cost_usd_total", t.cost)) {
    reason = "tokens.total and tokens.cost_usd_total are required numbers";
    return false;
  }
  if (!readOptionalInt64(o, "input_total", t.input) || !readOptionalInt64(o, "output_total", t.output) ||
      !readOptionalInt64(o, "cache_read_total", t.cacheRead) ||
      !readOptionalInt64(o, "cache_write_total", t.cacheWrite) || !readOptionalInt64(o, "live_total", t.liveTotal) ||
      !readOptionalDouble(o, "live_cost_usd", t.liveCost)) {
    reason = "a token counter is not an integer";
    return false;
  }
  if (const auto* agents = find(o, "by_agent"); agents != nullptr && !agents->is_null()) {
    if (!agents->is_array()) {
      reason = "by_agent is not an array";
      return false;
    }
    for (const auto& v : agents->get_array()) {
      AgentRow row;
      if (!v.is_object() || !readString(v.get_object(), "name", row.name) ||
          !readInt64(v.get_object(), "tokens", row.tokens)) {
        reason = "by_agent holds a malformed row";
        return false;
      }
      t.agents.push_back(std::move(row));
    }
  }
  if (const auto* models = find(o, "by_model"); models != nullptr && !models->is_null()) {
    if (!models->is_array()) {
      reason = "by_model is not an array";
      return false;
    }
    for (const auto& v : models->get_array()) {
      ModelRow row;
      if (!v.is_object()) {
        reason = "by_model holds a malformed row";
        return false;
      }
      const auto& m = v.get_object();
      if (!readString(m, "name", row.name) || !readInt64(m, "in", row.input) || !readInt64(m, "out", row.output) ||
          !readInt64(m, "cacheRead", row.cacheRead) || !readInt64(m, "cacheWrite", row.cacheWrite) ||
          !readDouble(m, "cost", row.cost)) {
        reason = "by_model holds a malformed row";
        return false;
      }
      t.models.push_back(std::move(row));
    }
  }
  if (presentAndNotNull(o, "optimizer_enabled")) {
    OptimizerStats s;
    if (!readBool(o, "optimizer_enabled", s.enabled) || !readInt64(o, "optimizer_commands_total", s.commands) ||
        !readInt64(o, "optimizer_input_total", s.originalTokens) ||
        !readInt64(o, "optimizer_output_total", s.outputTokens) ||
        !readInt64(o, "optimizer_saved_total", s.savedTokens)) {
      reason = "optimizer counters are incomplete";
      return false;
    }
    t.optimizer = s;
  }
  return true;
}

}  // namespace

IngestDecode decodeIngestUpload(std::string_view body) noexcept {
  IngestDecode result;
  try {
    auto doc = parseDocument(body);
    if (!doc) return result;
    result.outcome = IngestDecode::Outcome::invalid;
    if (!doc->is_object()) {
      result.reason = "body is not an object";
      return result;
    }
    const auto& o = doc->get_object();
    auto& u = result.upload;
    if (!readString(o, "handle", u.handle) || !readString(o, "publisher_id", u.publisherId)) {
      result.reason = "handle and publisher_id are required strings";
      return result;
    }
    // Descriptive fields are optional on the wire but must be text when present.
    std::optional<std::string> source, version, plan;
    if (!readOptionalString(o, "source", source) || !readOptionalString(o, "app_version", version) ||
        !readOptionalString(o, "plan", plan)) {
      result.reason = "source, app_version and plan must be strings";
      return result;
    }
    u.source = source.value_or("");
    u.appVersion = version.value_or("");
    u.plan = plan.value_or("");
    const auto* tokens = find(o, "tokens");
    if (tokens == nullptr || !tokens->is_object()) {
      result.reason = "tokens object is required";
      return result;
    }
    if (!decodeTokens(tokens->get_object(), u.totals, result.reason)) return result;
    result.outcome = IngestDecode::Outcome::ok;
    return result;
  } catch (...) {
    result.outcome = IngestDecode::Outcome::invalid;
    result.reason = "body could not be read";
    return result;
  }
}

}  // namespace quorvin::API
