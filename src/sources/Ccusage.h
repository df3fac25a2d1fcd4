#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/Clock.h"
#include "platform/BlockingPool.h"
#include "platform/ProcessRunner.h"
#include "platform/UserDefaults.h"
#include "sources/CcusagePulse.h"
#include "wire/UsageTotals.h"

namespace quorvin {

class CursorUsageReader;
class LiveUsageOracle;

// The authoritative lifetime totals (the ccusage tool or a tokens ledger, plus Cursor) and
// the live pulse (the log tailer plus Cursor). Stateless; nothing here prices tokens.
namespace Ccusage {

inline constexpr Duration kToolTimeLimit{55'000};
inline constexpr size_t kMaxOutputBytes = 64 * 1024 * 1024;

// The system's temporary folder ($TMPDIR and its kin) when it is a folder, else /tmp.
// Never throws: a bad TMPDIR must not stop the totals (the ledger still answers).
std::filesystem::path usableTemporaryDirectory() noexcept;

// What a ccusage run and the ledger lookup depend on.
struct Environment {
  std::filesystem::path home;
  const UserDefaults* defaults = nullptr;  // "tokensLedgerPath"
  // A ccusage executable shipped with the program; tried before the login shell.
  std::optional<std::filesystem::path> bundledTool;
  std::string loginShell = "/bin/sh";
  std::filesystem::path temporaryDirectory = usableTemporaryDirectory();
  // Changes to the tool's environment (tests point HOME at a generated home).
  std::vector<std::pair<std::string, std::optional<std::string>>> processEnvironment;
  Duration timeLimit = kToolTimeLimit;

  // The running program's bundled tool (<prefix>/libexec/quorvin/ccusage) and the user's
  // login shell.
  static Environment forUser(std::filesystem::path home, const UserDefaults* defaults);
};

// Runs ccusage with the arguments and returns its JSON object; nothing on a start failure,
// a non-zero exit, the time limit (the whole process tree is stopped), output over
// kMaxOutputBytes (the child cannot write a larger file), or output that holds no JSON
// object. Never throws but for cancellation. Awaited on the model thread.
boost::asio::awaitable<std::optional<boost::json::object>> runJSON(ProcessRunner& runner, BlockingPool& pool,
                                                                   const Environment& environment,
                                                                   std::vector<std::string> arguments);

// ccusage's totals reconciled with the tokens ledger (no Cursor).
boost::asio::awaitable<std::optional<API::Totals>> runTotals(ProcessRunner& runner, BlockingPool& pool,
                                                             Environment environment);

// The totals above plus Cursor (refreshed first), the Cursor download running meanwhile.
// `cursor` may be null (no Cursor reader in this program).
boost::asio::awaitable<std::optional<API::Totals>> readTotals(ProcessRunner& runner, BlockingPool& pool,
                                                              Environment environment, CursorUsageReader* cursor,
                                                              const Clock& clock);

// The log tailer's snapshot (taken on `oracleExecutor`, which serialises the oracle) with
// the Cursor reading folded in. Either may be null.
boost::asio::awaitable<std::optional<Pulse>> readPulse(LiveUsageOracle* oracle,
                                                       boost::asio::any_io_executor oracleExecutor,
                                                       CursorUsageReader* cursor, const Clock& clock);

}  // namespace Ccusage

}  // namespace quorvin
