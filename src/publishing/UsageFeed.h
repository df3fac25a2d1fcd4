#pragma once

#include <boost/asio/awaitable.hpp>
#include <optional>

#include "wire/UsageTotals.h"
#include "sources/CcusagePulse.h"

namespace quorvin {

// Where the connection manager reads local usage: the live pulse every second, the
// authoritative ledger at reconciliation, and the Cursor reader's housekeeping. The program
// wires the live oracle, ccusage and the Cursor reader (app/LocalUsageFeed); every call is
// awaited on the model thread and resumes there.
class UsageFeed {
 public:
  virtual ~UsageFeed() = default;
  virtual boost::asio::awaitable<std::optional<Ccusage::Pulse>> readPulse() = 0;
  virtual boost::asio::awaitable<std::optional<API::Totals>> readTotals() = 0;
  // The user switched Cursor usage on or off.
  virtual boost::asio::awaitable<void> cursorPreferenceChanged() = 0;
  // Forgets all Cursor history; throws std::exception whose what() says why it failed.
  virtual boost::asio::awaitable<void> clearCursorLedger() = 0;
  virtual bool cursorLedgerExists() const = 0;
};

}  // namespace quorvin
