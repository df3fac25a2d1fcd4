#pragma once

#include <iosfwd>
#include <string>

#include "platform/Browser.h"
#include "platform/HttpClient.h"
#include "platform/Runtime.h"
#include "platform/RuntimeClock.h"
#include "update/UpdateFlow.h"

namespace quorvin {

// What `quorvin update` runs on; the caller's composition root provides it.
struct TerminalUpdateParts {
  Runtime& runtime;
  RuntimeClock& clock;
  HttpClient& http;
  Browser* browser = nullptr;  // none: xdg-open
  UpdateFlow::Config config;   // automatic installs are turned off here
};

// `quorvin update [--check]`: the update flow run once from a terminal. Checks the service;
// with `checkOnly` reports what it found, otherwise installs like the update command of the
// tray (or opens the download page where this install cannot update itself). Exit codes:
// 0 up to date, found (--check) or the relaunch started; 1 on failure, including a service
// that could not be asked.
int runTerminalUpdate(bool checkOnly, TerminalUpdateParts parts, std::ostream& out, std::ostream& err);

}  // namespace quorvin
