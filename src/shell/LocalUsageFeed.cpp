#include "shell/LocalUsageFeed.h"

#include "core/Log.h"
#include "sources/CursorUsageReader.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin {

namespace asio = boost::asio;

asio::awaitable<std::optional<Ccusage::Pulse>> LocalUsageFeed::readPulse() {
  auto reading = Ccusage::readPulse(parts_.oracle, parts_.oracleExecutor, parts_.cursor, *parts_.clock);
  co_return co_await std::move(reading);
}

asio::awaitable<std::optional<API::Totals>> LocalUsageFeed::readTotals() {
  if (parts_.ledger) {
    auto refresh = [options = *parts_.ledger, clock = parts_.clock]() mutable {
      const WallTime started = clock->now();
      options.now = started;
      try {
        const auto result = ledger::refreshLedger(options);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock->now() - started).count();
        logLine("Quorvin " + std::string(result.written ? "refreshed" : "could not write") + " the tokens ledger in " +
                std::to_string(took) + " ms (" + std::to_string(result.files) + " logs, " +
                std::to_string(result.bytesRead) + " bytes read)");
      } catch (const std::exception& error) {
        logLine(std::string("Quorvin could not refresh the tokens ledger: ") + error.what());
      }
    };
    auto refreshing = runBlocking(*parts_.pool, std::move(refresh));
    co_await std::move(refreshing);
  }
  auto reading = Ccusage::readTotals(*parts_.runner, *parts_.pool, parts_.ccusage, parts_.cursor, *parts_.clock);
  co_return co_await std::move(reading);
}

asio::awaitable<void> LocalUsageFeed::cursorPreferenceChanged() {
  if (!parts_.cursor) co_return;
  auto changing = parts_.cursor->preferenceDidChange();
  co_await std::move(changing);
}

asio::awaitable<void> LocalUsageFeed::clearCursorLedger() {
  if (!parts_.cursor) co_return;
  auto clearing = parts_.cursor->clearLedger();
  co_await std::move(clearing);
}

bool LocalUsageFeed::cursorLedgerExists() const {
  std::error_code ec;
  return std::filesystem::exists(parts_.cursorLedgerFile, ec);
}

}  // namespace quorvin
