#pragma once

#include <optional>
#include <stdexcept>
#include <vector>

#include "core/Clock.h"
#include "publishing/UsageFeed.h"

namespace quorvin::test {

// Local usage the test sets by hand: the live watcher's pulse and the ledger. A stand-in for
// the log tailer and ccusage where a test needs exact figures per tick; the end-to-end tests
// use the real ones.
class ScriptedUsageFeed final : public UsageFeed {
 public:
  explicit ScriptedUsageFeed(const Clock& clock) : clock_(clock) {}

  std::optional<Ccusage::Pulse> pulse;
  int64_t growthPerRead = 0;  // the live total grows by this much at every read
  std::optional<API::Totals> ledger;
  std::optional<std::string> clearFailure;
  bool ledgerFileExists = false;
  std::vector<WallTime> pulseReads, totalsReads;
  int preferenceChanges = 0;
  int ledgerClears = 0;

  static Ccusage::Pulse pulseOf(int64_t total, double cost = 0) {
    Ccusage::Pulse p;
    p.total = total;
    p.sources = {"claude"};
    p.sourceTotals = {{"claude", total}};
    p.sourceCosts = {{"claude", cost}};
    p.counters = UsageCounters{total, 0, 0, 0};
    return p;
  }

  boost::asio::awaitable<std::optional<Ccusage::Pulse>> readPulse() override {
    pulseReads.push_back(clock_.now());
    if (pulse && growthPerRead != 0) {
      pulse->total += growthPerRead;
      pulse->counters.input += growthPerRead;
      pulse->sourceTotals["claude"] = pulse->total;
    }
    co_return pulse;
  }
  boost::asio::awaitable<std::optional<API::Totals>> readTotals() override {
    totalsReads.push_back(clock_.now());
    co_return ledger;
  }
  boost::asio::awaitable<void> cursorPreferenceChanged() override {
    ++preferenceChanges;
    co_return;
  }
  boost::asio::awaitable<void> clearCursorLedger() override {
    ++ledgerClears;
    if (clearFailure) throw std::runtime_error(*clearFailure);
    co_return;
  }
  bool cursorLedgerExists() const override { return ledgerFileExists; }

 private:
  const Clock& clock_;
};

}  // namespace quorvin::test
