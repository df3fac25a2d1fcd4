#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <filesystem>

#include "core/Clock.h"
#include "ledger/LedgerRefresh.h"
#include "platform/BlockingPool.h"
#include "platform/ProcessRunner.h"
#include "publishing/UsageFeed.h"
#include "sources/Ccusage.h"

namespace quorvin {

class CursorUsageReader;
class LiveUsageOracle;

// The program's local usage: the log tailer and Cursor for the pulse, ccusage (or the
// tokens ledger) plus Cursor for the authoritative totals.
class LocalUsageFeed final : public UsageFeed {
 public:
  struct Parts {
    LiveUsageOracle* oracle = nullptr;
    boost::asio::any_io_executor oracleExecutor;  // serialises the oracle
    CursorUsageReader* cursor = nullptr;
    std::filesystem::path cursorLedgerFile;
    ProcessRunner* runner = nullptr;
    BlockingPool* pool = nullptr;
    Ccusage::Environment ccusage;
    const Clock* clock = nullptr;
    // When set, the tokens ledger is brought up to date from the logs before each read of
    // the totals, so a computer without Node still has authoritative all-time totals.
    std::optional<ledger::RefreshOptions> ledger;
  };
  explicit LocalUsageFeed(Parts parts) : parts_(std::move(parts)) {}

  boost::asio::awaitable<std::optional<Ccusage::Pulse>> readPulse() override;
  boost::asio::awaitable<std::optional<API::Totals>> readTotals() override;
  boost::asio::awaitable<void> cursorPreferenceChanged() override;
  boost::asio::awaitable<void> clearCursorLedger() override;
  bool cursorLedgerExists() const override;

 private:
  Parts parts_;
};

}  // namespace quorvin
