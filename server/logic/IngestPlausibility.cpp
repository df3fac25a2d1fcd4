#include "server/logic/IngestPlausibility.h"

#include <cmath>

namespace quorvin::server {

namespace {

bool countOk(int64_t n) { return n >= 0 && n <= IngestLimits::maxCount; }
bool countOk(const std::optional<int64_t>& n) { return !n || countOk(*n); }
bool costOk(double c) { return std::isfinite(c) && c >= 0 && c <= IngestLimits::maxCost; }
bool costOk(const std::optional<double>& c) { return !c || costOk(*c); }

bool textOk(const std::string& s, size_t max) {
  if (s.size() > max) return false;
  // Control characters have no place in a name shown on a web page.
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> implausibility(const API::IngestUpload& u) {
  const auto& t = u.totals;
  if (u.publisherId.empty() || !textOk(u.publisherId, IngestLimits::maxText)) return "publisher_id is not usable";
  if (!textOk(u.source, IngestLimits::maxText) || !textOk(u.appVersion, IngestLimits::maxText) ||
      !textOk(u.plan, IngestLimits::maxText)) {
    return "source, app_version or plan is too long";
  }
  if (!countOk(t.total) || !countOk(t.input) || !countOk(t.output) || !countOk(t.cacheRead) ||
      !countOk(t.cacheWrite) || !countOk(t.liveTotal)) {
    return "token figures must be non-negative integers below 2^53";
  }
  if (!costOk(t.cost) || !costOk(t.liveCost)) return "costs must be finite and non-negative";
  if (t.models.size() > IngestLimits::maxRows || t.agents.size() > IngestLimits::maxRows) {
    return "too many breakdown rows";
  }
  for (const auto& m : t.models) {
    if (m.name.empty() || !textOk(m.name, IngestLimits::maxName) || !countOk(m.input) || !countOk(m.output) ||
        !countOk(m.cacheRead) || !countOk(m.cacheWrite) || !costOk(m.cost)) {
      return "a model row is implausible";
    }
  }
  for (const auto& a : t.agents) {
    if (a.name.empty() || !textOk(a.name, IngestLimits::maxName) || !countOk(a.tokens)) {
      return "an agent row is implausible";
    }
  }
  if (t.optimizer) {
    const auto& o = *t.optimizer;
    if (!countOk(o.commands) || !countOk(o.originalTokens) || !countOk(o.outputTokens) ||
        !countOk(o.savedTokens)) {
      return "optimizer figures are implausible";
    }
  }
  return std::nullopt;
}

}  // namespace quorvin::server
