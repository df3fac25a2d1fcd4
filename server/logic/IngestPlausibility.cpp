#include "server/logic/IngestPlausibility.h"

#include <cmath>
#include <optional>

#include "wire/NameCharacters.h"

namespace quorvin::server {

namespace {

bool countOk(int64_t n) { return n >= 0 && n <= IngestLimits::maxCount; }
bool countOk(const std::optional<int64_t>& n) { return !n || countOk(*n); }
bool costOk(double c) { return std::isfinite(c) && c >= 0 && c <= IngestLimits::maxCost; }
bool costOk(const std::optional<double>& c) { return !c || costOk(*c); }

// Decodes one UTF-8 sequence at `i`; no value for a malformed, overlong or surrogate one.
std::optional<char32_t> nextCodePoint(const std::string& s, size_t& i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  size_t extra = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xe0) == 0xc0) {
    extra = 1;
    c = lead & 0x1f;
  } else if ((lead & 0xf0) == 0xe0) {
    extra = 2;
    c = lead & 0x0f;
  } else if ((lead & 0xf8) == 0xf0) {
    extra = 3;
    c = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (i + extra >= s.size()) return std::nullopt;
  for (size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xc0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3f);
  }
  static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
  if (c < smallest[extra] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return std::nullopt;
  i += extra + 1;
  return c;
}

bool textOk(const std::string& s, size_t max) {
  if (s.size() > max) return false;
  for (size_t i = 0; i < s.size();) {
    auto c = nextCodePoint(s, i);
    if (!c || wire::isInvisibleInName(*c)) return false;
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
