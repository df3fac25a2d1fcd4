#include "shell/DesktopStartup.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/json/serialize.hpp>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "core/Log.h"
#include "platform/Browser.h"
#include "platform/SleepWatcher.h"
#include "shell/LaunchAtLoginPolicy.h"
#include "shell/PeerChannel.h"
#include "shell/StatusReport.h"
#include "sources/CursorLedger.h"

namespace quorvin {

namespace {

const char* environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

presentation::SavingsPlanPage savingsPage(const std::string& name) {
  if (name == "apply") return presentation::SavingsPlanPage::apply;
  if (name == "results") return presentation::SavingsPlanPage::results;
  return presentation::SavingsPlanPage::opportunity;
}

// After sleep: the savings figures may be stale; a connected machine streams in a new epoch,
// polls what the dashboard shows and reconciles at once. An unpaired one stays as it was.
void wake(ConnectionManager& manager) {
  manager.refreshSavingsAdvisor();
  if (!manager.state().status.is(ConnectionStatus::Kind::connected)) return;
  manager.resumeAfterWake();
  manager.startPublicCandleUpdatesIfNeeded();
  manager.startProviderQuotaUpdatesIfNeeded();
  manager.refreshNow();
}

// The opening waits this long so the tray host has placed the items first.
constexpr Duration kOpeningDelay = std::chrono::seconds(1);

}  // namespace

LaunchHooks LaunchHooks::fromEnvironment() {
  LaunchHooks hooks;
  if (const char* page = environmentValue("QUORVIN_CAPTURE_SAVINGS")) hooks.captureSavings = page;
  for (const char* name : {"QUORVIN_CAPTURE_DASHBOARD", "QUORVIN_CAPTURE"}) {
    const char* value = environmentValue(name);
    if (value != nullptr && std::string_view(value) == "1") hooks.captureDashboard = true;
  }
  return hooks;
}

LaunchOpening launchOpening(const LaunchHooks& hooks, bool presentedFirstRun, ConnectionStatus::Kind status) {
  LaunchOpening opening;
  if (hooks.captureSavings) {
    opening.kind = LaunchOpening::Kind::savings;
    opening.page = savingsPage(*hooks.captureSavings);
  } else if (hooks.captureDashboard) {
    opening.kind = LaunchOpening::Kind::dashboard;
  } else if (!presentedFirstRun && status == ConnectionStatus::Kind::disconnected) {
    opening.kind = LaunchOpening::Kind::dashboard;
    opening.marksFirstRun = true;
  }
  return opening;
}

DesktopStartup::DesktopStartup(AppServices::Options options, LaunchHooks hooks)
    : options_(std::move(options)), hooks_(std::move(hooks)) {}

DesktopStartup::~DesktopStartup() { stop(); }

void DesktopStartup::start(Front front) {
  front_ = std::move(front);
  std::promise<void> ready;
  auto started = ready.get_future();
  // AppServices is built, driven and destroyed on one thread: the model thread.
  model_ = std::thread([this, &ready] { runModel([&ready] { ready.set_value(); }); });
  started.wait();
}

void DesktopStartup::stop() {
  if (!model_.joinable()) return;
  AppServices* services = services_;
  boost::asio::post(services->runtime().model(), [services] {
    services->manager().stopPublishing();
    services->defaults().flush();
    services->runtime().stop();
  });
  model_.join();
}

void DesktopStartup::runModel(std::function<void()> ready) {
  AppServices services(std::move(options_));
  services_ = &services;
  clock_ = &services.clock();
  Runtime& runtime = services.runtime();
  ConnectionManager& manager = services.manager();

  // The approval page opens in the browser only when there is one to open.
  auto browser = std::make_shared<XdgBrowser>();
  commands_ = std::make_unique<presentation::ConnectionCommandsAdapter>(
      manager.commands(), [browser](const std::string& url) { browser->open(url); });

  // An update's relaunch script has started: the new copy needs this one gone.
  services.onQuit([this, &runtime] {
    if (front_.quit) {
      front_.quit();
    } else {
      runtime.stop();
    }
  });
  boost::asio::signal_set signals(runtime.modelContext(), SIGINT, SIGTERM);
  signals.async_wait([this, &runtime](const boost::system::error_code& error, int) {
    if (error) return;
    if (front_.quit) {
      front_.quit();  // the front end ends its loop, then calls stop()
    } else {
      runtime.stop();
    }
  });
  // Stop publishing before the machine sleeps; start again after it woke.
  SleepWatcher sleep(runtime.modelContext(), [&manager](bool sleeping) {
    if (sleeping) {
      manager.prepareForSleep();
    } else {
      wake(manager);
    }
  });
  // A later launch asks this copy to show itself; `quorvin status` asks for the state.
  PeerChannel peer(runtime.modelContext(), PeerChannel::defaultPath(services.paths()),
                   [this, &services](std::string_view request) -> std::string {
                     if (request == PeerChannel::kStatus) {
                       auto report = statusReport(services.manager().state(), services.clock().now());
                       report["headless"] = false;
                       return boost::json::serialize(report);
                     }
                     if (request == PeerChannel::kShowPopover) {
                       if (front_.showFromPeer) front_.showFromPeer();
                       return "ok";
                     }
                     return "unknown request";
                   });
  if (auto error = peer.listen()) logLine("Quorvin cannot answer other copies: " + *error);

  boost::asio::post(runtime.model(), [this, &services] { launch(services); });
  ready();
  runtime.run();
  signals.cancel();
  services.shutdown();  // while this object, which the observer uses, still exists
  services_ = nullptr;
}

void DesktopStartup::launch(AppServices& services) {
  ConnectionManager& manager = services.manager();
  ConnectionManager::Callbacks callbacks;
  // The tray item itself shows the attention state.
  callbacks.needsAttention = [] { logLine("Quorvin needs attention in the tray"); };
  // So the user sees the pairing success banner.
  callbacks.interactivePairingCompleted = [this] {
    if (front_.showFromPeer) front_.showFromPeer();
  };
  // The user asked for the action that needs the keyring, so its prompt is allowed.
  callbacks.requestCredentialApproval = [](CredentialApprovalPurpose) -> boost::asio::awaitable<bool> { co_return true; };
  manager.setCallbacks(std::move(callbacks));

  manager.observe([this](const std::shared_ptr<const ConnectionState>& state) { publish(*state); });
  // The manager publishes only when something changes; the views start from its value now.
  publish(manager.state());
  manager.start();

  LaunchAtLoginPolicy login(LaunchAtLoginPolicy::Setup::forThisProcess(services.paths()));
  if (auto outcome = login.registerIfPackaged(services.defaults(), services.clock().now())) {
    if (outcome->failure) {
      manager.noteLaunchAtLoginFailure(*outcome->failure);
    } else {
      manager.noteLaunchAtLoginStatus(outcome->enabled, outcome->needsApproval);
    }
  }

  auto opening = [this, &services]() -> boost::asio::awaitable<void> {
    co_await services.clock().sleep(kOpeningDelay);
    const bool presented = services.defaults().boolean(LaunchOpening::kFirstRunKey).value_or(false);
    const LaunchOpening next = launchOpening(hooks_, presented, services.manager().state().status.kind);
    if (next.marksFirstRun) services.defaults().setBoolean(LaunchOpening::kFirstRunKey, true);
    if (next.kind == LaunchOpening::Kind::dashboard && front_.showFromPeer) front_.showFromPeer();
    if (next.kind == LaunchOpening::Kind::savings && front_.showSavings) front_.showSavings(next.page);
  };
  boost::asio::co_spawn(services.runtime().model(), opening, boost::asio::detached);
}

void DesktopStartup::publish(const ConnectionState& state) {
  presentation::PresentationExtras extras;
  std::error_code error;
  extras.cursorStoreExists =
      std::filesystem::exists(services_->paths().appDataDir() / std::string(CursorLedgerFormat::kFileName), error);
  // The savings views' projection and the coding tools RTK would be set up for, from the
  // same figures the savings command uses.
  const QuotaAndSavingsFlows& flows = services_->sideFlows().flows();
  const TokenSavingsProjection projection = flows.savingsProjection(state.modelBreakdown, state.contextInput);
  extras.savingsProjection = {projection.estimatedUSD, projection.tokens, projection.measured,
                              projection.inputPriceCoverage};
  std::vector<std::string> agents;
  for (const auto& agent : state.agentBreakdown) agents.push_back(agent.name);
  for (const auto target : flows.savingsTargets(agents, state.activeSources)) {
    extras.savingsTargets.emplace_back(TokenSavingsAdvisor::label(target));
  }
  feed_.publish(presentation::presentationState(state, extras));
}

}  // namespace quorvin
