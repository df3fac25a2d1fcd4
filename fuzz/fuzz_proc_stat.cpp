// /proc/PID/stat and /proc/PID/cmdline of other processes: their command names are chosen by
// whoever started them (spaces, parentheses, any byte).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shell/SecondInstancePolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvin::SecondInstancePolicy;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto ticks = launchTicks(bytes);
  // A start time needs a closing parenthesis and twenty fields after it.
  if (ticks && bytes.rfind(')') == std::string_view::npos) std::abort();
  (void)isApplicationCommandLine(bytes);
  // No arguments at all is always the application itself.
  if (bytes.find('\0') == std::string_view::npos && !isApplicationCommandLine(bytes)) std::abort();
  return 0;
}
