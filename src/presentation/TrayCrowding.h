#pragma once

#include <optional>

#include "presentation/Geometry.h"
#include "presentation/StatusBarPresentation.h"

namespace quorvin::presentation {

// Step-by-step degradation when the tray cannot show both items: exact dollars, compact
// dollars, chart alone, dollars alone in compact form, and finally the overlay. Moves one way
// until the screens change.
struct TrayCrowding {
  StatusBarCostDisplayMode mode = StatusBarCostDisplayMode::exact;
  bool costItemSuppressed = false;
  bool chartRecoveryAttempted = false;
  bool loggedCrowding = false;

  struct Step {
    bool redraw = false;
    bool recheck = false;
    bool hideOverlay = false;
    bool showOverlay = false;
    // Log the crowding line once; the value is whether the chart item is visible.
    std::optional<bool> logChartVisible;
  };

  // One reconciliation with the items' current usability. The cost item is shown exactly
  // when costItemSuppressed is false.
  Step reconcile(bool chartUsable, bool costUsable);
  void screensChanged();
};

// Overlay frame at the top right of the screen, inside the panel strip (the part of the
// screen above the available area, at least 22 points tall). No value without a screen.
std::optional<RectF> overlayFrame(std::optional<RectF> screen, RectF availableArea, double titleWidth);
inline constexpr double kOverlayHeight = 22;
// Height of the hosted dashboard: what it reports for the menu width, 300 when that is
// unusable, at most 720.
double hostedDashboardHeight(double reportedHeight) noexcept;

}  // namespace quorvin::presentation
