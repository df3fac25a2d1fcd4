#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RuntimeClock.h"
#include "platform/Task.h"
#include "savings/TokenSavingsAdvisor.h"
#include "sources/ProviderQuotaReader.h"

namespace quorvin {

// The connection manager's provider quota loop and savings flows, with the published
// properties they change. Lives on the model thread: every command and every property read
// happens there, and each task checks its attempt number before it touches a property, so
// a superseded task exits without effect.
//
// The services must outlive every task: await shutdown() before destroying them.
class QuotaAndSavingsFlows {
 public:
  static constexpr Duration kQuotaInterval{300'000};
  static constexpr double kScenarioReduction = 0.1;
  static constexpr std::string_view kSettingUp = "Setting up RTK\u2026";
  static constexpr std::string_view kRemoving = "Removing RTK agent integrations\u2026";
  static constexpr std::string_view kReady = "RTK is ready. Restart your coding agents to apply it.";
  static constexpr std::string_view kRemoved = "RTK agent integrations were removed. Savings history remains local.";
  static constexpr std::string_view kPausedBySleep = "RTK setup paused when this computer slept. Try again.";

  // What the flows read from and tell their owner.
  struct Host {
    std::function<bool()> popoverVisible;  // the dashboard is on screen
    std::function<bool()> connected;       // status is connected
    std::function<void()> refreshPulse;    // one streaming tick now, so uploads carry new optimizer counters
    std::function<void()> changed;         // a published property changed
  };

  struct Services {
    ProviderQuotaReader& quotas;
    TokenSavingsAdvisor::Context& savings;
    RuntimeClock& clock;
  };

  QuotaAndSavingsFlows(boost::asio::any_io_executor model, Services services, Host host);
  ~QuotaAndSavingsFlows();
  QuotaAndSavingsFlows(const QuotaAndSavingsFlows&) = delete;
  QuotaAndSavingsFlows& operator=(const QuotaAndSavingsFlows&) = delete;

  // Published properties.
  const std::vector<ProviderQuotaSnapshot>& providerQuotas() const { return providerQuotas_; }
  const TokenSavingsSnapshot& savingsSnapshot() const { return savingsSnapshot_; }
  const std::optional<std::string>& savingsStatus() const { return savingsStatus_; }
  bool isConfiguringSavings() const { return isConfiguringSavings_; }

  // The quota loop runs only while the dashboard is visible and the machine connected:
  // Codex, then Grok Build, published together, every 300 s of the clock.
  void startProviderQuotaUpdatesIfNeeded();
  void stopProviderQuotaUpdates();
  bool providerQuotaLoopRunning() const;

  bool savingsRefreshRunning() const { return savingsTask_.valid() && !savingsTask_.ended(); }
  bool savingsConfigurationRunning() const {
    return savingsConfigureTask_.valid() && !savingsConfigureTask_.ended();
  }

  // Inspects RTK and publishes the snapshot (and its error as the savings status).
  void refreshSavingsAdvisor();
  // Installs or removes RTK's integrations for the targets, then inspects again.
  void configureSavings(bool enabled, std::vector<TokenSavingsAdvisor::Target> targets);
  // Stops a configuration in progress and the quota loop; the rest continues after wake.
  void prepareForSleep();

  // Derived values for the savings views and uploads.
  std::vector<TokenSavingsAdvisor::Target> savingsTargets(const std::vector<std::string>& agentNames,
                                                          const std::vector<std::string>& activeSources) const;
  TokenSavingsProjection savingsProjection(const std::vector<API::ModelRow>& modelBreakdown,
                                           int64_t contextInput) const;
  std::optional<API::OptimizerStats> optimizerStats() const;

  // Cancels every task and resumes once all have ended.
  boost::asio::awaitable<void> shutdown();

 private:
  boost::asio::awaitable<void> quotaLoop(uint64_t attempt);
  boost::asio::awaitable<void> inspectSavings(uint64_t attempt);
  boost::asio::awaitable<void> configure(uint64_t attempt, bool enabled, std::vector<TokenSavingsAdvisor::Target> targets);
  void retire(Task& task);
  void publish();

  boost::asio::any_io_executor model_;
  Services services_;
  Host host_;

  std::vector<ProviderQuotaSnapshot> providerQuotas_ = ProviderQuotaSnapshot::placeholders();
  TokenSavingsSnapshot savingsSnapshot_;
  std::optional<std::string> savingsStatus_;
  bool isConfiguringSavings_ = false;

  Task providerQuotaTask_;
  Task savingsTask_;
  Task savingsConfigureTask_;
  uint64_t providerQuotaAttempt_ = 0;
  uint64_t savingsAttempt_ = 0;
  uint64_t savingsConfigureAttempt_ = 0;
  RetiredTasks retired_;
};

}  // namespace quorvin
