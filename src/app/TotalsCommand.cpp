#include "app/TotalsCommand.h"

#include <boost/asio/co_spawn.hpp>
#include <iostream>
#include <memory>

#include "app/TerminalText.h"
#include "app/TotalsFormat.h"
#include "platform/CurlHttpClient.h"
#include "platform/FileUserDefaults.h"
#include "platform/Paths.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "sources/Ccusage.h"
#include "sources/CursorLedger.h"
#include "sources/CursorUsageReader.h"
#include "sources/TokensLedger.h"

namespace quorvin::app {

namespace {

int runTotals(bool json) {
  const Paths paths = Paths::fromEnvironment();
  FileUserDefaults defaults(paths.defaultsFile());
  SystemClock clock;
  Runtime runtime(2);
  ProcessRunner runner(clock, runtime);
  CurlHttpClient http;
  CursorUsageReader cursor(
      CursorUsageReader::Config{paths.appDataDir() / std::string(CursorLedgerFormat::kFileName),
                                CursorCredentials::Locations::forHome(paths.home, paths.configHome)},
      clock, defaults, http, runtime.pool());

  std::optional<API::Totals> totals;
  auto reading = Ccusage::readTotals(runner, runtime.pool(), Ccusage::Environment::forUser(paths.home, &defaults),
                                     &cursor, clock);
  boost::asio::co_spawn(runtime.model(), std::move(reading),
                        [&](std::exception_ptr error, std::optional<API::Totals> result) {
                          if (!error) totals = std::move(result);
                          runtime.stop();
                        });
  runtime.run();

  if (!totals) {
    const auto large = TokensLedger::oversized(&defaults, paths.home);
    if (large.empty()) {
      std::cerr << kNoSourceAnswered << '\n';
    } else {
      std::cerr << "No usage source answered: ccusage gave no totals, the tokens ledger "
                << printable(large.front().string()) << " is too large to read (over 16 MiB), and Cursor usage is "
                << "off or unavailable.\n";
    }
    return 1;
  }
  std::cout << (json ? totalsJson(*totals) + "\n" : totalsText(*totals)) << std::flush;
  return 0;
}

}  // namespace

void registerTotalsCommand(CLI::App& app, CommandRegistry& registry) {
  auto* command = app.add_subcommand("totals", "Print the lifetime totals: ccusage or the tokens ledger, plus Cursor");
  auto json = std::make_shared<bool>(false);
  command->add_flag("--json", *json, "One JSON object instead of a table");
  registry.onRun(command, [json] { return runTotals(*json); });
}

}  // namespace quorvin::app
