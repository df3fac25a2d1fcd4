#include "presentation/TrayCrowding.h"

#include <algorithm>
#include <cmath>

namespace quorvin::presentation {

TrayCrowding::Step TrayCrowding::reconcile(bool chartOK, bool costOK) {
  Step step;
  const auto logOnce = [&](bool chartVisible) {
    if (!loggedCrowding) {
      loggedCrowding = true;
      step.logChartVisible = chartVisible;
    }
  };
  const auto toCompact = [&] {
    mode = StatusBarCostDisplayMode::compact;
    step.redraw = true;
    step.recheck = true;
  };
  const bool exact = mode == StatusBarCostDisplayMode::exact;
  if (chartOK && costOK) {
    loggedCrowding = false;
    step.hideOverlay = true;
    return step;
  }
  if (!chartOK && !costOK && !costItemSuppressed && exact) {
    toCompact();
    return step;
  }
  if (chartOK || costOK) {
    step.hideOverlay = true;
    if (!costOK && !costItemSuppressed && exact) {
      toCompact();
      return step;
    }
  }
  if (chartOK) {
    logOnce(true);
    return step;
  }
  if (!costItemSuppressed) {
    if (!chartRecoveryAttempted) {
      chartRecoveryAttempted = true;
      costItemSuppressed = true;
      step.recheck = true;
      return step;
    }
    logOnce(false);
    if (!costOK) {
      step.showOverlay = true;
    }
    return step;
  }
  costItemSuppressed = false;
  mode = StatusBarCostDisplayMode::compact;
  step.redraw = true;
  step.recheck = true;
  return step;
}

void TrayCrowding::screensChanged() { *this = TrayCrowding{}; }

std::optional<RectF> overlayFrame(std::optional<RectF> screen, RectF available, double titleWidth) {
  if (!screen) {
    return std::nullopt;
  }
  const double desired = titleWidth + 83 + 10;
  const double barHeight = std::max(available.y - screen->y, kOverlayHeight);
  const RectF target{screen->x, screen->y, screen->width, barHeight};
  const double width = std::max(std::min(desired, target.width - 16), 1.0);
  return RectF{target.maxX() - 8 - width, target.midY() - kOverlayHeight / 2, width, kOverlayHeight};
}

double hostedDashboardHeight(double reported) noexcept {
  if (!std::isfinite(reported) || reported <= 0) {
    return 300;
  }
  return std::min(reported, 720.0);
}

}  // namespace quorvin::presentation
