#include "usage/UsageEventLedger.h"

#include <algorithm>

namespace quorvin {

UsageEventLedger::UsageEventLedger(std::chrono::seconds idleLimit, size_t maxEntries)
    : idleLimit_(idleLimit), maxEntries_(maxEntries == 0 ? 1 : maxEntries) {}

std::optional<UsageCounters> UsageEventLedger::admit(std::string_view id, const UsageCounters& counters,
                                                     WallTime now) {
  std::lock_guard lock(mutex_);
  bool created = false;
  Entry& entry = touch(id, now, created);
  if (created) {
    entry.counters = counters;
    return counters;
  }
  UsageCounters delta = counters.growthOver(entry.counters);
  entry.counters = UsageCounters::fieldwiseMax(entry.counters, counters);
  if (delta.total() < 1) return std::nullopt;
  return delta;
}

void UsageEventLedger::remember(std::string_view id, const UsageCounters& counters, WallTime now) {
  std::lock_guard lock(mutex_);
  bool created = false;
  Entry& entry = touch(id, now, created);
  entry.counters = created ? counters : UsageCounters::fieldwiseMax(entry.counters, counters);
}

size_t UsageEventLedger::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

UsageEventLedger::Entry& UsageEventLedger::touch(std::string_view id, WallTime now, bool& created) {
  forgetIdleLocked(now);
  auto found = entries_.find(id);
  if (found != entries_.end()) {
    order_.splice(order_.end(), order_, found->second.position);
    found->second.lastSeen = now;
    created = false;
    return found->second;
  }
  while (entries_.size() >= maxEntries_) {
    entries_.erase(entries_.find(*order_.front()));
    order_.pop_front();
  }
  auto [inserted, ok] = entries_.emplace(std::string(id), Entry{});
  (void)ok;
  order_.push_back(&inserted->first);
  inserted->second.lastSeen = now;
  inserted->second.position = std::prev(order_.end());
  created = true;
  return inserted->second;
}

void UsageEventLedger::forgetIdle(WallTime now) {
  std::lock_guard lock(mutex_);
  forgetIdleLocked(now);
}

void UsageEventLedger::forgetIdleLocked(WallTime now) {
  // The order is by last touch; with the caller's clock moving forward that is also the
  // order of lastSeen, so the idle entries are all at the front.
  while (!order_.empty()) {
    auto found = entries_.find(*order_.front());
    const WallTime lastSeen = found->second.lastSeen;
    if (now <= lastSeen || now - lastSeen < idleLimit_) break;
    entries_.erase(found);
    order_.pop_front();
  }
}

}  // namespace quorvin
