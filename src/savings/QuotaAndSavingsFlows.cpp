#include "savings/QuotaAndSavingsFlows.h"

#include <boost/asio/this_coro.hpp>
#include <system_error>

namespace quorvin {

namespace {

boost::asio::awaitable<bool> cancelled() {
  const auto state = co_await boost::asio::this_coro::cancellation_state;
  co_return state.cancelled() != boost::asio::cancellation_type::none;
}

}  // namespace

QuotaAndSavingsFlows::QuotaAndSavingsFlows(boost::asio::any_io_executor model, Services services, Host host)
    : model_(std::move(model)), services_(services), host_(std::move(host)) {}

QuotaAndSavingsFlows::~QuotaAndSavingsFlows() {
  providerQuotaTask_.cancel();
  savingsTask_.cancel();
  savingsConfigureTask_.cancel();
}

void QuotaAndSavingsFlows::publish() {
  if (host_.changed) host_.changed();
}

void QuotaAndSavingsFlows::retire(Task& task) {
  // A cancelled task is kept until it ends (for shutdown) but no longer counts as running:
  // its attempt is stale, so it cannot touch the properties, and a new one may start at once.
  if (task.valid()) retired_.retire(task);
  task = Task{};
}

bool QuotaAndSavingsFlows::providerQuotaLoopRunning() const {
  return providerQuotaTask_.valid() && !providerQuotaTask_.ended();
}

void QuotaAndSavingsFlows::startProviderQuotaUpdatesIfNeeded() {
  if (!host_.popoverVisible() || !host_.connected() || providerQuotaLoopRunning()) return;
  const uint64_t attempt = ++providerQuotaAttempt_;
  providerQuotaTask_ = Task::start(model_, quotaLoop(attempt));
}

void QuotaAndSavingsFlows::stopProviderQuotaUpdates() {
  ++providerQuotaAttempt_;
  retire(providerQuotaTask_);
}

boost::asio::awaitable<void> QuotaAndSavingsFlows::quotaLoop(uint64_t attempt) {
  const auto current = [this, attempt] { return attempt == providerQuotaAttempt_; };
  while (current() && host_.popoverVisible() && host_.connected()) {
    auto codexFetch = services_.quotas.fetchCodex();
    ProviderQuotaSnapshot codex = co_await std::move(codexFetch);
    auto grokFetch = services_.quotas.fetchGrok();
    ProviderQuotaSnapshot grok = co_await std::move(grokFetch);
    // A fetch gives up quietly when cancelled; its placeholder answer must not be shown.
    auto checking = cancelled();
    if (co_await std::move(checking) || !current()) co_return;
    providerQuotas_ = {std::move(codex), std::move(grok)};
    publish();
    auto sleeping = services_.clock.sleep(kQuotaInterval);
    co_await std::move(sleeping);
  }
  // Ended by itself (menu closed or disconnected): the next opening starts a new loop.
  if (current()) providerQuotaTask_ = Task{};
}

void QuotaAndSavingsFlows::refreshSavingsAdvisor() {
  if (savingsTask_.valid() || isConfiguringSavings_) return;
  const uint64_t attempt = ++savingsAttempt_;
  savingsTask_ = Task::start(model_, inspectSavings(attempt));
}

boost::asio::awaitable<void> QuotaAndSavingsFlows::inspectSavings(uint64_t attempt) {
  auto inspecting = TokenSavingsAdvisor::inspect(services_.savings);
  TokenSavingsSnapshot snapshot = co_await std::move(inspecting);
  if (attempt != savingsAttempt_) co_return;
  savingsStatus_ = snapshot.error;
  savingsSnapshot_ = std::move(snapshot);
  savingsTask_ = Task{};
  publish();
  if (host_.connected()) host_.refreshPulse();
}

void QuotaAndSavingsFlows::configureSavings(bool enabled, std::vector<TokenSavingsAdvisor::Target> targets) {
  if (isConfiguringSavings_ || savingsConfigureTask_.valid()) return;
  const uint64_t attempt = ++savingsConfigureAttempt_;
  isConfiguringSavings_ = true;
  savingsStatus_ = std::string(enabled ? kSettingUp : kRemoving);
  publish();
  savingsConfigureTask_ = Task::start(model_, configure(attempt, enabled, std::move(targets)));
}

boost::asio::awaitable<void> QuotaAndSavingsFlows::configure(uint64_t attempt, bool enabled,
                                                             std::vector<TokenSavingsAdvisor::Target> targets) {
  std::optional<std::string> failure;
  try {
    auto configuring = TokenSavingsAdvisor::configure(services_.savings, enabled, std::move(targets));
    co_await std::move(configuring);
  } catch (const std::exception& error) {
    // AdvisorError and LaunchError carry their sentence; a cancellation is only seen by a
    // superseded attempt, which shows nothing.
    failure = error.what();
  }
  if (attempt != savingsConfigureAttempt_) co_return;
  isConfiguringSavings_ = false;
  savingsStatus_ = failure ? *failure : std::string(enabled ? kReady : kRemoved);
  publish();

  auto inspecting = TokenSavingsAdvisor::inspect(services_.savings);
  TokenSavingsSnapshot snapshot = co_await std::move(inspecting);
  if (attempt != savingsConfigureAttempt_) co_return;
  savingsSnapshot_ = std::move(snapshot);
  savingsConfigureTask_ = Task{};
  publish();
  if (host_.connected()) host_.refreshPulse();
}

void QuotaAndSavingsFlows::prepareForSleep() {
  if (isConfiguringSavings_) {
    ++savingsAttempt_;
    ++savingsConfigureAttempt_;
    retire(savingsTask_);
    retire(savingsConfigureTask_);
    isConfiguringSavings_ = false;
    savingsStatus_ = std::string(kPausedBySleep);
    publish();
  }
  stopProviderQuotaUpdates();
}

std::vector<TokenSavingsAdvisor::Target> QuotaAndSavingsFlows::savingsTargets(
    const std::vector<std::string>& agentNames, const std::vector<std::string>& activeSources) const {
  std::vector<std::string> names = agentNames;
  names.insert(names.end(), activeSources.begin(), activeSources.end());
  const auto exists = [](const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
  };
  return TokenSavingsAdvisor::targets(names, services_.savings.environment.home, exists);
}

TokenSavingsProjection QuotaAndSavingsFlows::savingsProjection(const std::vector<API::ModelRow>& modelBreakdown,
                                                               int64_t contextInput) const {
  return TokenSavingsAdvisor::projection(modelBreakdown, contextInput, savingsSnapshot_, kScenarioReduction);
}

std::optional<API::OptimizerStats> QuotaAndSavingsFlows::optimizerStats() const {
  return TokenSavingsAdvisor::optimizerStats(savingsSnapshot_);
}

boost::asio::awaitable<void> QuotaAndSavingsFlows::shutdown() {
  ++providerQuotaAttempt_;
  ++savingsAttempt_;
  ++savingsConfigureAttempt_;
  retire(providerQuotaTask_);
  retire(savingsTask_);
  retire(savingsConfigureTask_);
  auto waiting = retired_.waitAll();
  co_await std::move(waiting);
}

}  // namespace quorvin
