// A stand-in for the installed agent in the end-to-end update test: it runs the real start-up
// handshake and the real `update` command, and otherwise stays up like the agent would.
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "platform/CurlHttpClient.h"
#include "platform/FileUserDefaults.h"
#include "platform/Paths.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "publishing/ServiceEndpoint.h"
#include "update/TerminalUpdate.h"
#include "update/UpdateInstaller.h"
#include "update/UpdateLaunchHandshake.h"

namespace {

int update() {
  using namespace quorvin;
  const Paths paths = Paths::fromEnvironment();
  FileUserDefaults defaults(paths.defaultsFile());
  SystemClock clock;
  Runtime runtime(2);
  CurlHttpClient http(CurlHttpClient::Options{.pending = &runtime.pending()});
  UpdateFlow::Config config;
  config.api = serviceBaseUrl(defaults);
  config.currentVersion = QUORVIN_PROBE_VERSION;
  config.bundle = UpdateInstaller::currentBundle();
  config.processID = ::getpid();
  config.home = paths.home;
  config.updatesDirectory = UpdateLaunchHandshake::updatesDirectory(paths);
  return runTerminalUpdate(false, TerminalUpdateParts{runtime, clock, http, nullptr, std::move(config)}, std::cout,
                           std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
#ifndef QUORVIN_PROBE_SILENT
  quorvin::SystemClock clock;
  quorvin::UpdateLaunchHandshake::completeAtStartup(quorvin::Paths::fromEnvironment(), QUORVIN_PROBE_VERSION,
                                                    clock.now());
#endif
  if (argc > 1 && std::string(argv[1]) == "update") {
    return update();
  }
  // Bounded, so that a failed test leaves no process behind for long.
  for (int i = 0; i < 600; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return 0;
}
