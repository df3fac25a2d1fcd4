#pragma once

#include <functional>
#include <string_view>

namespace quorvin {

// One diagnostic line to the system log (journald when present, else standard error).
// Every line begins with "Quorvin "; the prefix is added when the message lacks it.
// There are no levels. Never pass a token or a secret.
void logLine(std::string_view message);

// Test seam: while alive, lines go to `sink` instead of the system log.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(std::function<void(std::string_view)> sink);
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

 private:
  std::function<void(std::string_view)> previous_;
};

}  // namespace quorvin
