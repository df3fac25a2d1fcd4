#pragma once

#include <iosfwd>
#include <string>

namespace quorvin {

// `quorvin update [--check]`: the update flow run once from a terminal. Checks the service;
// with `checkOnly` reports what it found, otherwise installs like the update command of the
// tray (or opens the download page where this install cannot update itself). Exit codes:
// 0 up to date, found (--check) or the relaunch started; 1 on failure.
int runTerminalUpdate(bool checkOnly, const std::string& currentVersion, std::ostream& out, std::ostream& err);

}  // namespace quorvin
