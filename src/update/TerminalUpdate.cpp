#include "update/TerminalUpdate.h"

#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <ostream>

#include "platform/Browser.h"
#include "platform/CurlHttpClient.h"
#include "platform/FileUserDefaults.h"
#include "platform/Paths.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "publishing/ServiceEndpoint.h"
#include "update/UpdateFlow.h"
#include "update/UpdateLaunchHandshake.h"

namespace quorvin {

namespace {

// The objects the update flow needs, built in one place.
struct UpdateServices {
  Paths paths = Paths::fromEnvironment();
  FileUserDefaults defaults{paths.defaultsFile()};
  SystemClock clock;
  Runtime runtime{2};
  CurlHttpClient http{CurlHttpClient::Options{.pending = &runtime.pending()}};
  XdgBrowser browser;

  UpdateFlow::Config config(const std::string& version) {
    UpdateFlow::Config c;
    c.api = serviceBaseUrl(defaults);
    c.currentVersion = version;
    c.bundle = UpdateInstaller::currentBundle();
    c.processID = ::getpid();
    c.home = paths.home;
    c.updatesDirectory = UpdateLaunchHandshake::updatesDirectory(paths);
    c.automaticInstalls = false;
    return c;
  }
};

}  // namespace

int runTerminalUpdate(bool checkOnly, const std::string& currentVersion, std::ostream& out, std::ostream& err) {
  UpdateServices services;
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
  UpdateFlow flow(services.runtime.model(), services.clock, services.http, services.runtime.pool(), services.browser,
                  services.config(currentVersion), std::move(hooks));
  flowPointer = &flow;
  const auto config = services.config(currentVersion);

  int code = 1;
  auto body = [&]() -> boost::asio::awaitable<void> {
    co_await flow.checkForUpdates();
    const auto& update = flow.availableUpdate();
    if (!update) {
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
  boost::asio::co_spawn(services.runtime.model(), body(), [&](std::exception_ptr error) {
    if (error) err << "Quorvin update failed unexpectedly.\n";
    services.runtime.stop();
  });
  services.runtime.run();
  return code;
}

}  // namespace quorvin
