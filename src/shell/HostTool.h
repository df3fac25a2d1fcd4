#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvin {

// A short synchronous run of a system tool (systemctl, ps) during launch, looked up in PATH.
struct HostToolResult {
  std::optional<int> exitStatus;  // none: it could not start or did not exit normally
  std::string output;             // standard output when captured, at most kMaxOutputBytes
  std::string startError;
};

inline constexpr std::size_t kMaxHostToolOutputBytes = 4 * 1024 * 1024;

HostToolResult runHostTool(const std::vector<std::string>& argv, bool captureOutput = false);

}  // namespace quorvin
