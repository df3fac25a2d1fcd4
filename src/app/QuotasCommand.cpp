#include "app/QuotasCommand.h"

#include <boost/asio/co_spawn.hpp>
#include <iostream>
#include <memory>

#include "app/QuotaAndSavingsFormat.h"
#include "shell/AppServices.h"

namespace quorvin::app {

namespace {

boost::asio::awaitable<std::vector<ProviderQuotaSnapshot>> fetchBoth(ProviderQuotaReader& reader) {
  auto codexFetch = reader.fetchCodex();
  auto codex = co_await std::move(codexFetch);
  auto grokFetch = reader.fetchGrok();
  auto grok = co_await std::move(grokFetch);
  co_return std::vector<ProviderQuotaSnapshot>{std::move(codex), std::move(grok)};
}

int runQuotas(bool json) {
  auto options = AppServices::Options::fromEnvironment();
  options.watchChanges = false;
  AppServices services(std::move(options));
  auto snapshots = ProviderQuotaSnapshot::placeholders();
  bool done = false;
  boost::asio::co_spawn(services.runtime().model(), fetchBoth(services.sideFlows().quotaReader()),
                        [&](std::exception_ptr error, std::vector<ProviderQuotaSnapshot> result) {
                          if (!error) snapshots = std::move(result);
                          done = true;
                        });
  services.runtime().runUntil([&] { return done; });
  const WallTime now = services.clock().now();
  std::cout << (json ? quotasJson(snapshots, now) + "\n" : quotasText(snapshots, now)) << std::flush;
  return 0;
}

}  // namespace

void registerQuotasCommand(CLI::App& app, CommandRegistry& registry) {
  auto* command = app.add_subcommand("quotas", "Print the Codex and Grok Build plan usage windows");
  auto json = std::make_shared<bool>(false);
  command->add_flag("--json", *json, "One JSON object instead of a table");
  registry.onRun(command, [json] { return runQuotas(*json); });
}

}  // namespace quorvin::app
