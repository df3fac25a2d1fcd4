#include "shell/LocalUsageFeed.h"

#include "sources/CursorUsageReader.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin {

namespace asio = boost::asio;

asio::awaitable<std::optional<Ccusage::Pulse>> LocalUsageFeed::readPulse() {
  auto reading = Ccusage::readPulse(parts_.oracle, parts_.oracleExecutor, parts_.cursor, *parts_.clock);
  co_return co_await std::move(reading);
}

asio::awaitable<std::optional<API::Totals>> LocalUsageFeed::readTotals() {
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
