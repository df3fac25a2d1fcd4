#include "sources/Ccusage.h"

#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "core/Log.h"
#include "platform/AwaitOn.h"
#include "platform/BoundedFileRead.h"
#include "sources/CcusageCommand.h"
#include "sources/CcusageJson.h"
#include "sources/CcusageMerge.h"
#include "sources/CursorUsageReader.h"
#include "sources/TokensLedger.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin::Ccusage {

namespace {

// Removes the tool's output file however the run ends.
struct TemporaryFile {
  std::filesystem::path path;
  ~TemporaryFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

std::optional<std::filesystem::path> runningExecutable() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return path;
}

boost::asio::awaitable<std::optional<LiveUsageOracle::Snapshot>> oracleSnapshot(LiveUsageOracle* oracle) {
  co_return oracle->snapshot(false);
}

boost::asio::awaitable<CursorUsageReading> noCursorReading() { co_return CursorUsageReading{}; }

}  // namespace

std::filesystem::path usableTemporaryDirectory() noexcept {
  try {
    std::error_code ec;
    auto folder = std::filesystem::temp_directory_path(ec);
    if (!ec) return folder;
    return "/tmp";
  } catch (...) {
    return "/tmp";
  }
}

Environment Environment::forUser(std::filesystem::path home, const UserDefaults* defaults) {
  Environment environment;
  environment.home = std::move(home);
  environment.defaults = defaults;
  if (auto executable = runningExecutable()) environment.bundledTool = CcusageCommand::bundledTool(*executable);
  environment.loginShell = CcusageCommand::loginShell();
  return environment;
}

namespace {

boost::asio::awaitable<std::optional<boost::json::object>> runTool(ProcessRunner& runner, BlockingPool& pool,
                                                                   const Environment& environment,
                                                                   std::vector<std::string> arguments) {
  const TemporaryFile output{environment.temporaryDirectory /
                             ("quorvin-" + boost::uuids::to_string(boost::uuids::random_generator()()) + ".json")};
  ProcessRequest request;
  request.argv = CcusageCommand::commandLine(arguments, environment.bundledTool, environment.loginShell);
  request.environment = environment.processEnvironment;
  request.standardOutput = ProcessOutput::toFile(output.path);
  request.standardError = ProcessOutput::discarded();
  request.timeLimit = environment.timeLimit;
  // One byte past the read bound: a larger output ends the tool instead of filling the disk.
  request.maxFileBytes = kMaxOutputBytes + 1;

  auto running = runner.run(std::move(request));
  const ProcessResult result = co_await std::move(running);
  if (!result.succeeded()) co_return std::nullopt;

  auto read = [path = output.path]() -> std::optional<boost::json::object> {
    const auto bytes = readBoundedFile(path.string(), kMaxOutputBytes);
    if (!bytes) return std::nullopt;
    return CcusageJson::toolOutputObject(*bytes);
  };
  auto reading = runBlocking(pool, std::move(read));
  co_return co_await std::move(reading);
}

bool cancelled(const boost::system::system_error& error) {
  return error.code() == boost::asio::error::operation_aborted;
}

}  // namespace

boost::asio::awaitable<std::optional<boost::json::object>> runJSON(ProcessRunner& runner, BlockingPool& pool,
                                                                   const Environment& environment,
                                                                   std::vector<std::string> arguments) {
  // A source's failure (no temporary folder, no randomness, no memory) is an absent result.
  try {
    auto running = runTool(runner, pool, environment, std::move(arguments));
    co_return co_await std::move(running);
  } catch (const boost::system::system_error& error) {
    if (cancelled(error)) throw;
    logLine(std::string("Quorvin could not run ccusage: ") + error.what());
  } catch (const std::exception& error) {
    logLine(std::string("Quorvin could not run ccusage: ") + error.what());
  }
  co_return std::nullopt;
}

boost::asio::awaitable<std::optional<API::Totals>> runTotals(ProcessRunner& runner, BlockingPool& pool,
                                                             Environment environment) {
  auto running = runJSON(runner, pool, environment, {"--json"});
  const auto json = co_await std::move(running);
  std::optional<API::Totals> tool;
  if (json) tool = CcusageJson::ccusageTotals(boost::json::value(*json));

  // The ledger is read even when the tool gave nothing: a missing tool must not hide it.
  auto readLedger = [&environment]() -> std::optional<API::Totals> {
    try {
      return TokensLedger::fileTotals(environment.defaults, environment.home);
    } catch (const std::exception& error) {
      logLine(std::string("Quorvin could not read the tokens ledger: ") + error.what());
      return std::nullopt;
    }
  };
  auto reading = runBlocking(pool, std::move(readLedger));
  auto ledger = co_await std::move(reading);
  co_return CcusageMerge::reconcile(std::move(tool), std::move(ledger));
}

boost::asio::awaitable<std::optional<API::Totals>> readTotals(ProcessRunner& runner, BlockingPool& pool,
                                                              Environment environment, CursorUsageReader* cursor,
                                                              const Clock& clock) {
  using namespace boost::asio::experimental::awaitable_operators;
  auto tool = runTotals(runner, pool, std::move(environment));
  auto cursorReading = cursor ? cursor->refreshedReading(clock.now()) : noCursorReading();
  auto both = std::move(tool) && std::move(cursorReading);
  auto [totals, reading] = co_await std::move(both);
  co_return CcusageMerge::mergeCursor(std::move(totals), reading.snapshot, reading.liveTotal, reading.liveCost);
}

boost::asio::awaitable<std::optional<Pulse>> readPulse(LiveUsageOracle* oracle,
                                                       boost::asio::any_io_executor oracleExecutor,
                                                       CursorUsageReader* cursor, const Clock& clock) {
  using namespace boost::asio::experimental::awaitable_operators;
  std::optional<LiveUsageOracle::Snapshot> live;
  CursorUsageReading reading;
  if (oracle != nullptr) {
    auto snapshot = awaitOn(oracleExecutor, oracleSnapshot(oracle));
    auto cursorReading = cursor ? cursor->reading(true, clock.now()) : noCursorReading();
    auto both = std::move(snapshot) && std::move(cursorReading);
    std::tie(live, reading) = co_await std::move(both);
  } else if (cursor != nullptr) {
    auto cursorReading = cursor->reading(true, clock.now());
    reading = co_await std::move(cursorReading);
  }
  co_return buildPulse(live, reading);
}

}  // namespace quorvin::Ccusage
