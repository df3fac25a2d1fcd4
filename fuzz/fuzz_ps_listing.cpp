// The `ps -axo pid=,uid=,command=` listing: command lines are anyone's text, and every id
// found is sent a signal.
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shell/HeadlessAgentManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view listing(reinterpret_cast<const char*>(data), size);
  const auto ids =
      quorvin::HeadlessAgentManager::matchingProcessIDs(listing, 1000, "/home/me/.local/share/quorvin/quorvin-agent.mjs");
  // One id per line at most, and never 0 or a negative id (kill() reads those as groups).
  const auto lines = static_cast<std::size_t>(std::count(listing.begin(), listing.end(), '\n')) + 1;
  if (ids.size() > lines) std::abort();
  for (pid_t id : ids) {
    if (id <= 0) std::abort();
  }
  return 0;
}
