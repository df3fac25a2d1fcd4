#include "shell/AppSideFlows.h"

#include "core/Log.h"

namespace quorvin {

namespace {

// Where no browser can be started (no display): the page is named in the log instead.
class LoggingBrowser final : public Browser {
 public:
  bool open(std::string_view url) override {
    logLine("Quorvin: open " + std::string(url) + " to download the latest version");
    return false;
  }
};

SavingsFigures figuresOf(const TokenSavingsSnapshot& s) {
  return {s.installed, s.enabled, s.totalCommands, s.originalTokens, s.outputTokens, s.savedTokens, s.savingsPercent};
}

std::vector<std::string> agentNames(const ConnectionState& state) {
  std::vector<std::string> names;
  for (const auto& agent : state.agentBreakdown) names.push_back(agent.name);
  return names;
}

}  // namespace

AppSideFlows::AppSideFlows(Parts parts)
    : executor_(parts.runtime.model()),
      manager_(parts.manager),
      quit_(std::move(parts.quit)),
      fallbackBrowser_(parts.browser ? nullptr : std::make_unique<LoggingBrowser>()),
      quotas_(std::move(parts.quotas), parts.http, parts.clock, parts.runtime.pool()),
      savings_{parts.processes, parts.runtime.pool(), std::move(parts.savings)} {
  ConnectionManager& manager = manager_;
  QuotaAndSavingsFlows::Host host;
  host.popoverVisible = [&manager] { return manager.menuBarPopoverVisible(); };
  host.connected = [&manager] { return manager.state().status.is(ConnectionStatus::Kind::connected); };
  host.refreshPulse = [&manager] { manager.refreshPulse(); };
  host.changed = [this] { copySavingsAndQuotas(); };
  flows_ = std::make_unique<QuotaAndSavingsFlows>(parts.runtime.model(),
                                                  QuotaAndSavingsFlows::Services{quotas_, savings_, parts.clock},
                                                  std::move(host));

  UpdateFlow::Hooks hooks;
  hooks.changed = [this] { copyUpdate(); };
  hooks.needsAttention = [&manager] { manager.flowNeedsAttention(); };
  hooks.terminate = [this] {
    if (quit_) quit_();
  };
  Browser& browser = parts.browser ? *parts.browser : *fallbackBrowser_;
  update_ = std::make_unique<UpdateFlow>(parts.runtime.model(), parts.clock, parts.http, parts.runtime.pool(), browser,
                                         std::move(parts.update), std::move(hooks));
}

AppSideFlows::~AppSideFlows() = default;

void AppSideFlows::copySavingsAndQuotas() {
  manager_.setSavingsFigures(figuresOf(flows_->savingsSnapshot()));
  manager_.setSavingsStatus(flows_->savingsStatus(), flows_->isConfiguringSavings());
  manager_.setProviderQuotas(flows_->providerQuotas());
}

void AppSideFlows::copyUpdate() {
  manager_.setUpdateState(update_->updateVersion(), update_->updateStatus(), update_->isUpdating());
}

void AppSideFlows::startProviderQuotaUpdatesIfNeeded() { flows_->startProviderQuotaUpdatesIfNeeded(); }
void AppSideFlows::stopProviderQuotaUpdates() { flows_->stopProviderQuotaUpdates(); }
void AppSideFlows::refreshSavingsAdvisor() { flows_->refreshSavingsAdvisor(); }

void AppSideFlows::configureSavings(bool enabled) {
  const ConnectionState& state = manager_.state();
  flows_->configureSavings(enabled, flows_->savingsTargets(agentNames(state), state.activeSources));
}

void AppSideFlows::startUpdateChecks() { update_->startUpdateChecks(); }

void AppSideFlows::checkForUpdates() {
  // One check at a time; the six-hourly loop runs its own.
  if (checkTask_.valid() && !checkTask_.ended()) return;
  checkTask_ = Task::start(executor_, update_->checkForUpdates());
}

void AppSideFlows::openUpdate() { update_->openUpdate(); }

void AppSideFlows::startInstallingUpdate(bool automatic) {
  if (const auto& found = update_->availableUpdate()) update_->startInstallingUpdate(*found, automatic);
}

void AppSideFlows::prepareForSleep() {
  flows_->prepareForSleep();
  update_->stopUpdateChecks();
}

std::optional<API::OptimizerStats> AppSideFlows::optimizerStats() const { return flows_->optimizerStats(); }

void AppSideFlows::cancelAll() {
  if (stopping_.valid()) return;
  checkTask_.cancel();
  stopping_ = Task::start(executor_, stopAll());
}

boost::asio::awaitable<void> AppSideFlows::stopAll() {
  auto flowsEnded = flows_->shutdown();
  co_await std::move(flowsEnded);
  auto updateEnded = update_->shutdown();
  co_await std::move(updateEnded);
  if (checkTask_.valid()) {
    auto checkEnded = checkTask_.wait();
    co_await std::move(checkEnded);
  }
}

bool AppSideFlows::allTasksEnded() const {
  // Only a finished stop proves that no flow task can still run.
  return stopping_.valid() && stopping_.ended() && (!checkTask_.valid() || checkTask_.ended());
}

}  // namespace quorvin
