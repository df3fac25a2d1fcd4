#pragma once

#include "core/Clock.h"
#include "presentation/PresentationCommands.h"
#include "presentation/StateFeed.h"

namespace quorvin::ui {

// The tray mode of `quorvin`: creates the Qt application (unless one exists), shows the
// tray items and runs the event loop until "Quit Quorvin". The caller keeps the state source
// fed and connects the commands to the connection manager.
int runTrayApplication(int& argc, char** argv, presentation::StateSource& source,
                       presentation::PresentationCommands& commands, const Clock& clock);

}  // namespace quorvin::ui
