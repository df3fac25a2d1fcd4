#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "platform/BlockingPool.h"
#include "platform/Browser.h"
#include "platform/HttpClient.h"
#include "platform/RuntimeClock.h"
#include "platform/Task.h"
#include "update/UpdateChecker.h"
#include "update/UpdateInstaller.h"

namespace quorvin {

// The update side of the connection manager: the six-hourly check, the user's update
// command and the install that ends in a relaunch. Runs on the model executor; every task
// holds the flow weakly and its published properties change only there.
class UpdateFlow {
 public:
  static constexpr Duration kCheckInterval = std::chrono::seconds(21'600);

  struct Config {
    std::string api;             // service base URL, no trailing slash
    std::string currentVersion;  // "0" when empty
    std::filesystem::path bundle;  // the running bundle folder
    pid_t processID = 0;
    std::filesystem::path home;
    std::filesystem::path updatesDirectory;
    ReleaseKeys keys = ReleaseKeys::builtIn();
    // Install a found update without asking when the location allows it.
    bool automaticInstalls = true;
  };

  struct Hooks {
    std::function<void()> changed;         // a published property changed
    std::function<void()> needsAttention;  // a failure the user should look at
    std::function<void()> terminate;       // the relaunch script runs: quit now
    // Starts the relaunch script; RelaunchPlan::launch when unset.
    std::function<void(const UpdateInstaller::RelaunchPlan&)> launch;
  };

  UpdateFlow(boost::asio::any_io_executor model, RuntimeClock& clock, HttpClient& http, BlockingPool& pool,
             Browser& browser, Config config, Hooks hooks);
  ~UpdateFlow();
  UpdateFlow(const UpdateFlow&) = delete;
  UpdateFlow& operator=(const UpdateFlow&) = delete;

  // A check at once, then one every kCheckInterval; a second call while it runs does nothing.
  void startUpdateChecks();
  void stopUpdateChecks();
  // Asks the service; publishes the result and may start an automatic install.
  boost::asio::awaitable<void> checkForUpdates();
  // The user's update command: install when possible, else the download page in the browser.
  void openUpdate();
  void startInstallingUpdate(UpdateChecker::AvailableUpdate update, bool automatic);
  // Resumes once no install runs.
  boost::asio::awaitable<void> installFinished();
  // Stops the checks and any install; resumes once both have ended.
  boost::asio::awaitable<void> shutdown();

  const std::optional<UpdateChecker::AvailableUpdate>& availableUpdate() const;
  const std::optional<std::string>& updateVersion() const;
  const std::optional<std::string>& updateStatus() const;
  // Why the last check got no usable answer from the service; none after an answer.
  const std::optional<std::string>& lastCheckFailure() const;
  bool isUpdating() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace quorvin
