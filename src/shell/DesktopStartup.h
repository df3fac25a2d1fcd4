#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "presentation/ConnectionStateView.h"
#include "presentation/StateFeed.h"
#include "presentation/StatusMenu.h"
#include "shell/AppServices.h"

namespace quorvin {

// The environment's screenshot hooks: a window opened a second after launch, for captures.
struct LaunchHooks {
  std::optional<std::string> captureSavings;  // QUORVIN_CAPTURE_SAVINGS: the page name
  bool captureDashboard = false;              // QUORVIN_CAPTURE_DASHBOARD or QUORVIN_CAPTURE is "1"

  static LaunchHooks fromEnvironment();
};

// What the desktop opens a second after launch.
struct LaunchOpening {
  enum class Kind { nothing, dashboard, savings };
  Kind kind = Kind::nothing;
  presentation::SavingsPlanPage page = presentation::SavingsPlanPage::opportunity;
  bool marksFirstRun = false;  // the first-run flag is set when this opens

  static constexpr const char* kFirstRunKey = "quorvin_presented_first_run";
};

// A screenshot hook wins; otherwise an unpaired machine that never saw the dashboard opens
// it once. A paired machine never opens it and never sets the flag.
LaunchOpening launchOpening(const LaunchHooks& hooks, bool presentedFirstRun, ConnectionStatus::Kind status);

// The windowed application behind the tray, without Qt: builds the services on a model
// thread of its own, starts the manager, answers later launches and `quorvin status` over the
// peer socket, forwards sleep and wake, registers launch at login, and publishes one
// presentation value per published manager state. The front end (the tray, on the Qt
// thread) reads only the feed and sends only commands.
class DesktopStartup {
 public:
  // What the front end offers the shell. Called on the model thread; each hops to the UI's
  // own thread.
  struct Front {
    std::function<void()> showFromPeer;  // close an open menu, else open the dashboard
    std::function<void(presentation::SavingsPlanPage)> showSavings;
    std::function<void()> quit;  // SIGINT, SIGTERM
  };

  DesktopStartup(AppServices::Options options, LaunchHooks hooks);
  ~DesktopStartup();
  DesktopStartup(const DesktopStartup&) = delete;
  DesktopStartup& operator=(const DesktopStartup&) = delete;

  // Returns once the services exist and the manager's start is queued.
  void start(Front front);
  // Stops publishing, writes the settings and ends the model thread. Safe to call twice.
  void stop();

  presentation::StateSource& source() { return feed_; }
  presentation::PresentationCommands& commands() { return *commands_; }
  const Clock& clock() const { return *clock_; }

 private:
  void runModel(std::function<void()> ready);
  void launch(AppServices& services);
  void publish(const ConnectionState& state);

  AppServices::Options options_;
  LaunchHooks hooks_;
  Front front_;
  presentation::StateFeed feed_;
  std::unique_ptr<presentation::ConnectionCommandsAdapter> commands_;
  const Clock* clock_ = nullptr;
  AppServices* services_ = nullptr;  // owned by the model thread
  std::thread model_;
};

}  // namespace quorvin
