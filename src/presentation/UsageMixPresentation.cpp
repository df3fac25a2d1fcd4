#include "presentation/UsageMixPresentation.h"

#include <algorithm>

#include "core/SaturatingMath.h"

namespace quorvin::presentation {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isBlank(text[begin])) {
    ++begin;
  }
  while (end > begin && isBlank(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

std::string lower(std::string text) {
  for (auto& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

}  // namespace

std::string displayName(const std::string& name) {
  const auto folded = lower(name);
  if (folded == "grok" || folded == "grok build") {
    return "Grok Build";
  }
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    if (name[i] == ' ') {
      ++i;
      continue;
    }
    const size_t end = std::min(name.find(' ', i), name.size());
    std::string piece = name.substr(i, end - i);
    if (piece[0] >= 'a' && piece[0] <= 'z') {
      piece[0] = static_cast<char>(piece[0] - 'a' + 'A');
    }
    if (!out.empty()) {
      out.push_back(' ');
    }
    out += piece;
    i = end;
  }
  return out;
}

std::vector<AgentUsageSegment> agentSegments(const std::vector<API::AgentRow>& rows, int limit) {
  if (limit < 1) {
    return {};
  }
  std::vector<std::pair<std::string, int64_t>> kept;
  for (const auto& row : rows) {
    auto name = trimmed(row.name);
    if (!name.empty() && row.tokens >= 1) {
      kept.emplace_back(std::move(name), row.tokens);
    }
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  double total = 0;
  for (const auto& [name, tokens] : kept) {
    total += static_cast<double>(tokens);
  }
  if (total <= 0) {
    return {};
  }
  const auto shown = kept.size() > static_cast<size_t>(limit) ? static_cast<size_t>(limit - 1) : kept.size();
  std::vector<AgentUsageSegment> segments;
  for (size_t i = 0; i < shown; ++i) {
    const auto& [name, tokens] = kept[i];
    segments.push_back({name, displayName(name), tokens, static_cast<double>(tokens) / total});
  }
  if (shown < kept.size()) {
    int64_t other = 0;
    for (size_t i = shown; i < kept.size(); ++i) {
      other = saturatingAdd(other, kept[i].second);
    }
    segments.push_back({"other", "Other", other, static_cast<double>(other) / total});
  }
  return segments;
}

std::vector<ModelTrafficRow> modelRows(const std::vector<API::ModelRow>& rows, int limit) {
  if (limit < 1) {
    return {};
  }
  std::vector<ModelTrafficRow> kept;
  double total = 0;
  for (const auto& row : rows) {
    auto name = trimmed(row.name);
    if (name.empty()) {
      continue;
    }
    const int64_t traffic =
        saturatingAdd(saturatingAdd(saturatingAdd(row.input, row.output), row.cacheRead), row.cacheWrite);
    if (traffic > 0) {
      total += static_cast<double>(traffic);
      kept.push_back({name, name, traffic, row.output, 0});
    }
  }
  if (total <= 0) {
    return {};
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.traffic != b.traffic ? a.traffic > b.traffic : a.name < b.name;
  });
  if (kept.size() > static_cast<size_t>(limit)) {
    kept.resize(static_cast<size_t>(limit));
  }
  for (auto& row : kept) {
    row.fraction = static_cast<double>(row.traffic) / total;
  }
  return kept;
}

}  // namespace quorvin::presentation
