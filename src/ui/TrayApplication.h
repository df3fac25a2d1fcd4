#pragma once

#include <functional>

#include "core/Clock.h"
#include "presentation/PresentationCommands.h"
#include "presentation/StateFeed.h"

namespace quorvin::ui {

// Application-wide settings of the tray mode: closing the savings window never quits, and
// Qt's pixmap cache is bounded at 256 KiB. Each redraw hands the tray new icons; the tray
// scales them to its slot and Qt caches every scaled copy until the cache's 10 MiB default
// is full, which reads as steady memory growth for the first half hour.
void applyTrayApplicationSettings();

class TrayController;

// The tray mode of `quorvin`: creates the Qt application (unless one exists), shows the
// tray items and runs the event loop until "Quit Quorvin". The caller keeps the state source
// fed and connects the commands to the connection manager. `started` runs on the Qt thread
// with the controller once it exists, and with null once the event loop ended.
int runTrayApplication(int& argc, char** argv, presentation::StateSource& source,
                       presentation::PresentationCommands& commands, const Clock& clock,
                       const std::function<void(TrayController*)>& started = {});

}  // namespace quorvin::ui
