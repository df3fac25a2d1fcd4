#include "app/SavingsCommand.h"

#include <boost/asio/co_spawn.hpp>
#include <iostream>
#include <memory>

#include "app/QuotaAndSavingsFormat.h"
#include "shell/AppServices.h"
#include "sources/Ccusage.h"

namespace quorvin::app {

namespace {

AppServices::Options commandOptions() {
  auto options = AppServices::Options::fromEnvironment();
  options.watchChanges = false;
  return options;
}

// The report, and meanwhile the lifetime totals whose model mix prices the savings.
int showSavings(bool json) {
  AppServices services(commandOptions());
  QuotaAndSavingsFlows& flows = services.sideFlows().flows();
  std::optional<API::Totals> totals;
  bool totalsRead = false;
  boost::asio::co_spawn(services.runtime().model(),
                        Ccusage::runTotals(services.processes(), services.runtime().pool(),
                                           Ccusage::Environment::forUser(services.paths().home, &services.defaults())),
                        [&](std::exception_ptr error, std::optional<API::Totals> result) {
                          if (!error) totals = std::move(result);
                          totalsRead = true;
                        });
  // This thread runs the model context, so the flows' commands are called directly.
  flows.refreshSavingsAdvisor();
  services.runtime().runUntil([&] { return totalsRead && !flows.savingsRefreshRunning(); });

  const auto& snapshot = flows.savingsSnapshot();
  const auto projection =
      totals ? flows.savingsProjection(totals->models, totals->input.value_or(0)) : flows.savingsProjection({}, 0);
  std::cout << (json ? savingsJson(snapshot, projection) + "\n" : savingsText(snapshot, projection)) << std::flush;
  return 0;
}

int configureSavings(bool enabled) {
  AppServices services(commandOptions());
  QuotaAndSavingsFlows& flows = services.sideFlows().flows();
  flows.configureSavings(enabled, flows.savingsTargets({}, {}));
  services.runtime().runUntil([&] { return !flows.savingsConfigurationRunning(); });

  const std::string status = flows.savingsStatus().value_or("");
  const bool succeeded =
      status == (enabled ? QuotaAndSavingsFlows::kReady : QuotaAndSavingsFlows::kRemoved);
  (succeeded ? std::cout : std::cerr) << status << std::endl;
  return succeeded ? 0 : 1;
}

}  // namespace

void registerSavingsCommand(CLI::App& app, CommandRegistry& registry) {
  auto* command = app.add_subcommand("savings", "Print RTK's token savings and their estimated value");
  auto json = std::make_shared<bool>(false);
  command->add_flag("--json", *json, "One JSON object instead of a table");
  command->require_subcommand(0, 1);
  auto* enable = command->add_subcommand("enable", "Set RTK up for Claude Code, Codex and Cursor (installs it with Homebrew when missing)");
  auto* disable = command->add_subcommand("disable", "Remove RTK's integrations from the coding tools");
  registry.onRun(enable, [] { return configureSavings(true); });
  registry.onRun(disable, [] { return configureSavings(false); });
  registry.onRun(command, [json] { return showSavings(*json); });
}

}  // namespace quorvin::app
