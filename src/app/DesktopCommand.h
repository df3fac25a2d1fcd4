#pragma once

namespace quorvin::app {

// `quorvin` without a subcommand: the tray application. Without a display it says so,
// suggests --headless and returns non-zero.
int runDesktop(int& argc, char** argv);

// Whether the environment names a display (X11, Wayland or an explicit Qt platform).
bool environmentHasDisplay();

inline constexpr const char* kNoDisplayText =
    "Quorvin cannot show its tray: no usable display was found. Run `quorvin --headless` to publish this computer's "
    "usage without windows.";

}  // namespace quorvin::app
