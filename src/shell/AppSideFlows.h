#pragma once

#include <memory>
#include <optional>

#include "platform/Browser.h"
#include "platform/HttpClient.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/RuntimeClock.h"
#include "platform/Task.h"
#include "publishing/ConnectionManager.h"
#include "publishing/SideFlows.h"
#include "savings/QuotaAndSavingsFlows.h"
#include "savings/TokenSavingsAdvisor.h"
#include "sources/ProviderQuotaReader.h"
#include "update/UpdateFlow.h"

namespace quorvin {

// The connection manager's quota, savings and update flows, owned by the application: the
// manager forwards its commands here, and every change of the flows' properties is copied
// into the manager's published state in the same model turn. Lives on the model executor.
class AppSideFlows final : public SideFlows {
 public:
  struct Parts {
    Runtime& runtime;
    RuntimeClock& clock;
    HttpClient& http;
    ProcessRunner& processes;
    Browser* browser = nullptr;  // none: the download page cannot be opened
    ConnectionManager& manager;
    ProviderQuotaReader::Config quotas;
    TokenSavingsAdvisor::Environment savings;
    UpdateFlow::Config update;
    std::function<void()> quit;  // the relaunch script runs: end the application
  };

  explicit AppSideFlows(Parts parts);
  ~AppSideFlows() override;
  AppSideFlows(const AppSideFlows&) = delete;
  AppSideFlows& operator=(const AppSideFlows&) = delete;

  QuotaAndSavingsFlows& flows() { return *flows_; }
  ProviderQuotaReader& quotaReader() { return quotas_; }
  UpdateFlow& update() { return *update_; }
  void setQuit(std::function<void()> quit) { quit_ = std::move(quit); }

  void startProviderQuotaUpdatesIfNeeded() override;
  void stopProviderQuotaUpdates() override;
  void refreshSavingsAdvisor() override;
  void configureSavings(bool enabled) override;
  void startUpdateChecks() override;
  void checkForUpdates() override;
  void openUpdate() override;
  void startInstallingUpdate(bool automatic) override;
  void prepareForSleep() override;
  std::optional<API::OptimizerStats> optimizerStats() const override;
  void cancelAll() override;
  bool allTasksEnded() const override;

 private:
  void copySavingsAndQuotas();
  void copyUpdate();
  boost::asio::awaitable<void> stopAll();

  boost::asio::any_io_executor executor_;
  ConnectionManager& manager_;
  std::function<void()> quit_;
  std::unique_ptr<Browser> fallbackBrowser_;
  ProviderQuotaReader quotas_;
  TokenSavingsAdvisor::Context savings_;
  std::unique_ptr<QuotaAndSavingsFlows> flows_;
  std::unique_ptr<UpdateFlow> update_;
  Task checkTask_;
  Task stopping_;
};

}  // namespace quorvin
