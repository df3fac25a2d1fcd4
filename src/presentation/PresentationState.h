#pragma once

#include <string>
#include <vector>

#include "core/UsageCounters.h"
#include "publishing/ConnectionState.h"

namespace quorvin::presentation {

// The manager's quota types under the names the views use.
using QuotaSnapshot = ProviderQuotaSnapshot;
using QuotaWindow = ProviderQuotaWindow;
using QuotaProvider = ProviderQuotaSnapshot::Provider;
using QuotaAvailability = ProviderQuotaAvailability;

struct SavingsProjection {
  double estimatedUSD = 0;
  int64_t tokens = 0;
  bool measured = false;
  double inputPriceCoverage = 0;
};

// What the views show that the manager's state does not carry: whether the Cursor editor's
// state database exists, the savings projection and the detected coding tools.
struct PresentationExtras {
  bool cursorStoreExists = false;
  SavingsProjection savingsProjection;
  std::vector<std::string> savingsTargets;
};

// One immutable value per change notification: the manager's published state as it is, what
// the shell adds, and the time-relative figures computed once at the value's publishedAt so
// every view of one redraw agrees. The UI never reads the manager itself, so it can run on its
// own thread.
struct PresentationState : ConnectionState, PresentationExtras {
  double tokensPerMinuteNow = 0;
  UsageCounters recentContextNow;
};

}  // namespace quorvin::presentation
