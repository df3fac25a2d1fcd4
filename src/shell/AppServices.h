#pragma once

#include <boost/asio/strand.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Browser.h"
#include "platform/CurlHttpClient.h"
#include "platform/FileUserDefaults.h"
#include "platform/Paths.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/RuntimeClock.h"
#include "publishing/AsyncCredentialStore.h"
#include "publishing/ConnectionManager.h"
#include "publishing/CredentialStore.h"
#include "publishing/OracleClient.h"
#include "savings/TokenSavingsAdvisor.h"
#include "shell/AppSideFlows.h"
#include "shell/LocalUsageFeed.h"
#include "sources/CursorUsageReader.h"
#include "usage/LiveUsageOracle.h"

namespace quorvin {

// The composition root: owns every service of the program (paths, settings, the runtime,
// the clock, HTTP, the credential store, the oracle client, the live usage oracle, the
// Cursor reader, the connection manager and its quota, savings and update flows) and wires
// them once. Every subcommand, the
// headless agent and the tray application build one. The process environment is read in
// Options::fromEnvironment() and nowhere else in the wiring.
//
// Construct and destroy it on the thread that will drive runtime().
class AppServices {
 public:
  struct Options {
    Paths paths;
    LiveUsageOracle::Environment agentEnvironment;
    std::optional<std::string> apiUrl;  // QUORVIN_API_URL; else the settings key, else the default
    bool hasDisplay = false;            // a browser may be opened
    std::optional<std::filesystem::path> caFile;
    std::optional<std::filesystem::path> ccusageTool;  // tried before the login shell's ccusage
    RuntimeClock* clock = nullptr;                     // none: the system clock
    std::size_t poolThreads = 2;
    bool watchChanges = true;
    bool startPublishingOnPairing = true;
    // The providers' quota hosts (QUORVIN_CODEX_BASE_URL, QUORVIN_GROK_BASE_URL; https only).
    std::optional<std::string> codexBaseUrl;
    std::optional<std::string> grokBaseUrl;
    // Where RTK and Homebrew are looked for; none: the user's usual places.
    std::optional<TokenSavingsAdvisor::Environment> savingsEnvironment;
    // Install a found update without asking when the install location allows it.
    bool automaticUpdates = true;

    static Options fromEnvironment();
  };

  explicit AppServices(Options options);
  ~AppServices();
  AppServices(const AppServices&) = delete;
  AppServices& operator=(const AppServices&) = delete;

  const Paths& paths() const { return options_.paths; }
  Runtime& runtime() { return runtime_; }
  RuntimeClock& clock() { return *clock_; }
  FileUserDefaults& defaults() { return *defaults_; }
  HttpClient& http() { return *http_; }
  AsyncCredentialStore& credentials() { return *asyncCredentials_; }
  ConnectionManager& manager() { return *manager_; }
  ProcessRunner& processes() { return *runner_; }
  AppSideFlows& sideFlows() { return *sideFlows_; }
  Browser* browser() { return browser_.get(); }  // none without a display
  // The running program's update settings (service, version, bundle, folders).
  const UpdateFlow::Config& updateConfig() const { return updateConfig_; }
  // Ends the application when an update's relaunch script has started (model executor).
  // Unset: stop publishing, write the settings and stop the runtime.
  void onQuit(std::function<void()> quit) { quit_ = std::move(quit); }
  const std::string& api() const { return api_; }

  // Stops every task of the manager and drives the model executor until they ended, then
  // writes the settings. Called by the destructor; safe to call twice.
  void shutdown();

 private:
  Options options_;
  std::unique_ptr<RuntimeClock> ownedClock_;
  RuntimeClock* clock_;
  Runtime runtime_;
  std::unique_ptr<FileUserDefaults> defaults_;
  std::unique_ptr<CurlHttpClient> http_;
  std::unique_ptr<CredentialStore> credentialStore_;
  std::unique_ptr<AsyncCredentialStore> asyncCredentials_;
  std::unique_ptr<OracleClient> oracleClient_;
  std::unique_ptr<LiveUsageOracle> liveOracle_;
  std::optional<boost::asio::strand<TrackedExecutor>> liveOracleStrand_;
  std::unique_ptr<CursorUsageReader> cursor_;
  std::unique_ptr<ProcessRunner> runner_;
  std::unique_ptr<LocalUsageFeed> feed_;
  std::unique_ptr<Browser> browser_;
  std::string api_;
  UpdateFlow::Config updateConfig_;
  std::unique_ptr<ConnectionManager> manager_;
  std::unique_ptr<AppSideFlows> sideFlows_;  // after the manager: it goes first
  std::function<void()> quit_;
  bool shutDown_ = false;
};

}  // namespace quorvin
