#include "update/TerminalUpdate.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <ostream>

#include "platform/Browser.h"
#include "update/UpdateFlow.h"

namespace quorvin {

int runTerminalUpdate(bool checkOnly, TerminalUpdateParts parts, std::ostream& out, std::ostream& err) {
  parts.config.automaticInstalls = false;
  const UpdateFlow::Config config = parts.config;
  const std::string& currentVersion = config.currentVersion;
  XdgBrowser xdg;
  Browser& browser = parts.browser ? *parts.browser : xdg;
  bool relaunching = false;
  std::optional<std::string> lastStatus;
  UpdateFlow::Hooks hooks;
  UpdateFlow* flowPointer = nullptr;
  hooks.changed = [&] {
    const auto& status = flowPointer->updateStatus();
    if (status && status != lastStatus) out << *status << '\n' << std::flush;
    lastStatus = status;
  };
  hooks.terminate = [&] { relaunching = true; };
  UpdateFlow flow(parts.runtime.model(), parts.clock, parts.http, parts.runtime.pool(), browser, config,
                  std::move(hooks));
  flowPointer = &flow;

  int code = 1;
  auto body = [&]() -> boost::asio::awaitable<void> {
    co_await flow.checkForUpdates();
    const auto& update = flow.availableUpdate();
    if (const auto& failure = flow.lastCheckFailure()) {
      // Not knowing is not "up to date".
      err << "Quorvin could not check for updates at " << config.api << ": " << *failure << '\n';
      code = 1;
    } else if (!update) {
      out << "Quorvin v" << (currentVersion.empty() ? "0" : currentVersion) << " is up to date.\n";
      code = 0;
    } else if (checkOnly) {
      out << "Quorvin v" << update->version << " is available.\n";
      code = 0;
    } else if (!UpdateInstaller::supportsAutomaticInstall(config.bundle, config.home)) {
      err << InstallError::describe(InstallError::Kind::unsupportedInstallLocation, {}) << '\n'
          << "Opening " << config.api << "/download\n";
      flow.openUpdate();
    } else {
      flow.openUpdate();
      co_await flow.installFinished();
      code = relaunching ? 0 : 1;
    }
  };
  Runtime& runtime = parts.runtime;
  boost::asio::co_spawn(runtime.model(), body(), [&](std::exception_ptr error) {
    if (error) err << "Quorvin update failed unexpectedly.\n";
    runtime.stop();
  });
  runtime.run();
  return code;
}

}  // namespace quorvin
