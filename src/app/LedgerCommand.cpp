#include "app/LedgerCommand.h"

#include <unistd.h>

#include <iostream>
#include <memory>
#include <thread>

#include "app/LedgerFormat.h"
#include "ledger/LedgerDocument.h"
#include "ledger/LedgerRefresh.h"
#include "platform/Paths.h"
#include "platform/SystemClock.h"

namespace quorvin::app {

namespace {

struct LedgerArguments {
  std::string home;
  bool json = false;
  std::string since;
  unsigned threads = 0;
};

// A bar on the terminal, drawn only once a run has taken a second, so quick runs stay quiet.
class ProgressBar {
 public:
  explicit ProgressBar(const RuntimeClock& clock) : clock_(clock), started_(clock.now()) {}
  void operator()(const ledger::ScanProgress& progress) {
    if (clock_.now() - started_ < std::chrono::seconds(1) || progress.totalBytes == 0) return;
    const int percent = static_cast<int>(progress.doneBytes * 100 / progress.totalBytes);
    if (percent == shown_) return;
    shown_ = percent;
    std::string bar(static_cast<size_t>(percent / 4), '#');
    bar.resize(25, ' ');
    std::fprintf(stderr, "\r[%s] %3d%% of %llu MiB", bar.c_str(), percent,
                 static_cast<unsigned long long>(progress.totalBytes >> 20));
    drawn_ = true;
  }
  ~ProgressBar() {
    if (drawn_) std::fprintf(stderr, "\r%60s\r", "");
  }

 private:
  const RuntimeClock& clock_;
  WallTime started_;
  int shown_ = -1;
  bool drawn_ = false;
};

int runLedger(const LedgerArguments& arguments) {
  std::optional<ledger::Day> since;
  if (!arguments.since.empty()) {
    since = parseDay(arguments.since);
    if (!since) {
      std::cerr << "--since takes a date as YYYY-MM-DD\n";
      return 2;
    }
  }
  SystemClock clock;
  const bool explicitHome = !arguments.home.empty();
  const std::filesystem::path home = explicitHome ? std::filesystem::absolute(arguments.home) : Paths::fromEnvironment().home;
  // A home given on the command line stands alone: the agents' folder settings in the
  // environment belong to the user's own home.
  const auto environment = explicitHome ? LiveUsageOracle::Environment{} : LiveUsageOracle::Environment::current();

  ledger::RefreshOptions options = ledger::refreshOptionsFor(home, environment);
  options.threads = arguments.threads > 0 ? arguments.threads : std::max(1u, std::thread::hardware_concurrency());
  options.now = clock.now();
  options.reportSince = since;
  auto bar = std::make_shared<ProgressBar>(clock);
  if (::isatty(STDERR_FILENO) != 0) options.progress = [bar](const ledger::ScanProgress& p) { (*bar)(p); };

  const auto result = ledger::refreshLedger(options);
  bar.reset();
  options.progress = nullptr;
  if (!result.written) {
    std::cerr << "Could not write " << options.ledgerPath.string() << "\n";
    return 1;
  }
  if (arguments.json) {
    std::cout << ledger::ledgerJson(result.report, options.now) << "\n";
  } else {
    std::cout << ledgerText(result.report) << "Ledger: " << options.ledgerPath.string() << " (" << result.files
              << " logs)\n";
  }
  return 0;
}

}  // namespace

void registerLedgerCommand(CLI::App& app, CommandRegistry& registry) {
  auto* command = app.add_subcommand("ledger", "Count the whole history of every agent's logs into the tokens ledger");
  auto arguments = std::make_shared<LedgerArguments>();
  command->add_option("--home", arguments->home, "Read the logs under this home directory instead of yours");
  command->add_flag("--json", arguments->json, "Print the ledger as JSON instead of a table");
  command->add_option("--since", arguments->since, "Print only usage from this day on (YYYY-MM-DD)");
  command->add_option("--threads", arguments->threads, "Files read at once (default: one per core)");
  registry.onRun(command, [arguments] { return runLedger(*arguments); });
}

}  // namespace quorvin::app
