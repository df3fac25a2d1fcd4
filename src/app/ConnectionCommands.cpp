#include "app/ConnectionCommands.h"

#include <boost/asio/post.hpp>
#include <iostream>
#include <memory>

#include "shell/AppServices.h"
#include "shell/HeadlessAgent.h"

namespace quorvin::app {

namespace {

int runPair() {
  auto options = AppServices::Options::fromEnvironment();
  options.startPublishingOnPairing = false;  // the agent streams; this only pairs
  AppServices services(std::move(options));
  ConnectionManager& manager = services.manager();
  int exitCode = 1;
  bool requested = false;
  bool printedCode = false;
  boost::asio::post(services.runtime().model(), [&] {
    manager.observe([&](const std::shared_ptr<const ConnectionState>& state) {
      if (state->status.is(ConnectionStatus::Kind::pairing) && !printedCode) {
        printedCode = true;
        std::cout << "Open " << state->pairingURL.value_or(services.api() + "/connect")
                  << " in a browser and approve the code " << state->status.code << "\n"
                  << "Waiting for approval (Ctrl-C to give up)..." << std::endl;
      } else if (state->status.is(ConnectionStatus::Kind::connected)) {
        std::cout << "Paired as " << state->login << ". Run `quorvin --headless` to publish this computer's usage."
                  << std::endl;
        exitCode = 0;
        services.runtime().stop();
      } else if (requested && !state->isPairingRequesting && state->status.is(ConnectionStatus::Kind::disconnected)) {
        std::cerr << state->lastError.value_or("Pairing did not finish.") << std::endl;
        services.runtime().stop();
      } else if (state->isPairingRequesting) {
        requested = true;
      }
    });
    if (manager.state().disconnectCleanupPending) {
      std::cerr << "A disconnect is not finished yet. Run `quorvin disconnect` first." << std::endl;
      services.runtime().stop();
      return;
    }
    manager.connect();
  });
  services.runtime().run();
  services.shutdown();  // the observer uses this function's locals
  return exitCode;
}

int runDisconnect() {
  AppServices services(AppServices::Options::fromEnvironment());
  ConnectionManager& manager = services.manager();
  int exitCode = 1;
  bool started = false;
  boost::asio::post(services.runtime().model(), [&] {
    manager.observe([&](const std::shared_ptr<const ConnectionState>& state) {
      if (state->isDisconnecting) {
        started = true;
        return;
      }
      if (!started) return;
      if (!state->disconnectCleanupPending) {
        std::cout << "Disconnected. The device token, the Cursor history and the cached totals were removed."
                  << std::endl;
        exitCode = 0;
      } else {
        std::cerr << state->lastError.value_or("Clean-up did not finish.") << std::endl;
      }
      services.runtime().stop();
    });
    manager.disconnect();
  });
  services.runtime().run();
  services.shutdown();  // the observer uses this function's locals
  return exitCode;
}

int runHeadless() {
  AppServices services(AppServices::Options::fromEnvironment());
  HeadlessAgent agent(services);
  return agent.run();
}

}  // namespace

void registerConnectionCommands(CLI::App& app, CommandRegistry& registry) {
  auto* pair = app.add_subcommand("pair", "Pair this computer with your Quorvin profile (prints a code to approve)");
  registry.onRun(pair, [] { return runPair(); });
  auto* disconnect =
      app.add_subcommand("disconnect", "Disconnect this computer: remove its token, Cursor history and cached totals");
  registry.onRun(disconnect, [] { return runDisconnect(); });
  auto headless = std::make_shared<bool>(false);
  app.add_flag("--headless", *headless, "Run the agent without windows: stream, upload and reconcile until stopped");
  registry.onRunWithoutCommand([headless] { return *headless ? runHeadless() : -1; });
}

}  // namespace quorvin::app
