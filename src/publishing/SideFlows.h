#pragma once

#include <optional>

#include "publishing/Api.h"

namespace quorvin {

// The provider quota, savings and update flows the connection manager drives. The
// application owns the flows and implements this, so publishing does not depend on them;
// they publish back through the manager's setters. Every call is made on the model executor.
class SideFlows {
 public:
  virtual ~SideFlows() = default;

  virtual void startProviderQuotaUpdatesIfNeeded() = 0;
  virtual void stopProviderQuotaUpdates() = 0;
  virtual void refreshSavingsAdvisor() = 0;
  // The targets are taken from the manager's agents and active sources.
  virtual void configureSavings(bool enabled) = 0;
  virtual void startUpdateChecks() = 0;
  virtual void checkForUpdates() = 0;
  virtual void openUpdate() = 0;
  // Installs the update the last check found; nothing when none was found.
  virtual void startInstallingUpdate(bool automatic) = 0;
  // Pauses a savings configuration, the quota loop and the update checks.
  virtual void prepareForSleep() = 0;
  // The optimizer counters that uploads carry; none while RTK is not installed.
  virtual std::optional<API::OptimizerStats> optimizerStats() const = 0;

  // Cancels every task; allTasksEnded() turns true once they have ended.
  virtual void cancelAll() = 0;
  virtual bool allTasksEnded() const = 0;
};

}  // namespace quorvin
