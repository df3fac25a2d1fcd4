// A stand-in for the installed agent in the end-to-end update test: it runs the real start-up
// handshake and the real `update` command, and otherwise stays up like the agent would.
#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "platform/Paths.h"
#include "platform/SystemClock.h"
#include "update/TerminalUpdate.h"
#include "update/UpdateLaunchHandshake.h"

int main(int argc, char** argv) {
#ifndef QUORVIN_PROBE_SILENT
  quorvin::SystemClock clock;
  quorvin::UpdateLaunchHandshake::completeAtStartup(quorvin::Paths::fromEnvironment(), QUORVIN_PROBE_VERSION,
                                                    clock.now());
#endif
  if (argc > 1 && std::string(argv[1]) == "update") {
    return quorvin::runTerminalUpdate(false, QUORVIN_PROBE_VERSION, std::cout, std::cerr);
  }
  // Bounded, so that a failed test leaves no process behind for long.
  for (int i = 0; i < 600; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return 0;
}
