#include "app/UsageCommand.h"

#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <iostream>
#include <memory>

#include "app/UsageSnapshotFormat.h"
#include "platform/Paths.h"
#include "platform/SystemClock.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin::app {

namespace asio = boost::asio;

namespace {

struct UsageOptions {
  std::string home;
  double interval = 1.0;
  bool json = false;
};

asio::awaitable<void> printSnapshots(LiveUsageOracle& oracle, RuntimeClock& clock, const UsageOptions& options,
                                     WallTime startedAt) {
  const bool terminal = !options.json && ::isatty(STDOUT_FILENO);
  const auto interval = std::chrono::milliseconds(static_cast<int64_t>(options.interval * 1000));
  for (;;) {
    auto snapshot = oracle.snapshot(false);
    if (snapshot) {
      if (options.json) {
        std::cout << usageSnapshotJson(*snapshot) << '\n' << std::flush;
      } else if (terminal) {
        // Redraw in place: cursor home, clear the screen below it.
        std::cout << "\x1b[H\x1b[J" << usageSnapshotTable(*snapshot, startedAt)
                  << "  (Ctrl-C to stop; the tray comes later)\n"
                  << std::flush;
      } else {
        std::cout << usageSnapshotTable(*snapshot, startedAt) << '\n' << std::flush;
      }
    }
    co_await clock.sleep(interval);
  }
}

int runUsage(const UsageOptions& options) {
  // Signals first, so that an interrupt during the first inventory still ends cleanly.
  asio::io_context context(1);
  asio::signal_set signals(context, SIGINT, SIGTERM);
  signals.async_wait([&context](const boost::system::error_code&, int) { context.stop(); });

  std::error_code ec;
  if (!options.home.empty() && !std::filesystem::is_directory(options.home, ec)) {
    std::cerr << "quorvin usage: " << options.home << " is not a directory\n";
    return 2;
  }
  SystemClock clock;
  WallTime startedAt = clock.now();
  // An explicit home is a world of its own: the environment's extra log roots (which
  // point into the real home) do not apply to it.
  bool explicitHome = !options.home.empty();
  LiveUsageOracle oracle(explicitHome ? std::filesystem::path(options.home) : Paths::fromEnvironment().home, startedAt,
                         clock, explicitHome ? LiveUsageOracle::Environment{} : LiveUsageOracle::Environment::current());
  asio::co_spawn(context, printSnapshots(oracle, clock, options, startedAt), asio::detached);
  context.run();
  return 0;
}

}  // namespace

void registerUsageCommand(CLI::App& app, CommandRegistry& registry) {
  auto options = std::make_shared<UsageOptions>();
  CLI::App* command = app.add_subcommand("usage", "Count agent token usage live and print it every interval");
  command->add_option("--home", options->home, "Home directory whose agent logs are read (default: yours)");
  command->add_option("--interval", options->interval, "Seconds between snapshots (default 1)")
      ->check(CLI::Range(0.05, 86400.0));
  command->add_flag("--json", options->json, "One JSON object per line instead of the table");
  registry.onRun(command, [options] { return runUsage(*options); });
}

}  // namespace quorvin::app
