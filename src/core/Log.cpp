#include "core/Log.h"

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace quorvin {

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::string_view)>& captureSink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}

bool journalAvailable() {
  static const bool available = access("/run/systemd/journal/socket", W_OK) == 0;
  return available;
}

}  // namespace

void logLine(std::string_view message) {
  std::string line;
  if (!message.starts_with("Quorvin ")) line = "Quorvin ";
  line.append(message);
  // One line, always: embedded breaks would split a record in the journal.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::lock_guard lock(sinkMutex());
  if (auto& sink = captureSink()) {
    sink(line);
    return;
  }
  if (journalAvailable()) {
    sd_journal_print(6 /* LOG_INFO */, "%s", line.c_str());
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

ScopedLogCapture::ScopedLogCapture(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(sinkMutex());
  previous_ = std::move(captureSink());
  captureSink() = std::move(sink);
}

ScopedLogCapture::~ScopedLogCapture() {
  std::lock_guard lock(sinkMutex());
  captureSink() = std::move(previous_);
}

}  // namespace quorvin
