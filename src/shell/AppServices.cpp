#include "shell/AppServices.h"

#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdlib>
#include <unistd.h>

#include "core/Log.h"
#include "ledger/LedgerRefresh.h"
#include "platform/Paths.h"
#include "usage/LiveUsageOracle.h"
#include "platform/SystemClock.h"
#include "publishing/PublisherId.h"
#include "publishing/ServiceEndpoint.h"
#include "sources/CursorLedger.h"
#include "update/UpdateInstaller.h"
#include "update/UpdateLaunchHandshake.h"

namespace quorvin {

namespace {

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// Only an absolute http(s) address counts; trailing slashes are dropped.
std::optional<std::string> usableUrl(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  if (!url.starts_with("https://") && !url.starts_with("http://")) return std::nullopt;
  return url;
}

// The tokens ledger this program keeps fresh: every log and store the live oracle reads.
ledger::RefreshOptions ledgerRefresh(const Paths& paths, const LiveUsageOracle::Environment& environment) {
  ledger::RefreshOptions options = ledger::refreshOptionsFor(paths.home, environment);
  options.threads = 2;
  return options;
}

// The request carries the user's sign-in: only an https host replaces the provider's own.
std::optional<std::string> httpsUrl(std::optional<std::string> url) {
  if (!url || !url->starts_with("https://")) return std::nullopt;
  return url;
}

}  // namespace

AppServices::Options AppServices::Options::fromEnvironment() {
  Options options;
  options.paths = Paths::fromEnvironment();
  options.agentEnvironment = LiveUsageOracle::Environment::current();
  options.apiUrl = environmentValue(serviceUrlEnvironmentVariable);
  options.hasDisplay = environmentValue("DISPLAY") || environmentValue("WAYLAND_DISPLAY");
  if (auto ca = environmentValue("QUORVIN_CA_FILE")) options.caFile = *ca;
  options.codexBaseUrl = httpsUrl(environmentValue("QUORVIN_CODEX_BASE_URL"));
  options.grokBaseUrl = httpsUrl(environmentValue("QUORVIN_GROK_BASE_URL"));
  return options;
}

AppServices::AppServices(Options options)
    : options_(std::move(options)),
      ownedClock_(options_.clock ? nullptr : std::make_unique<SystemClock>()),
      clock_(options_.clock ? options_.clock : ownedClock_.get()),
      runtime_(options_.poolThreads) {
  const Paths& paths = options_.paths;
  ensurePrivateDirectory(paths.appConfigDir());
  ensurePrivateDirectory(paths.appDataDir());

  defaults_ = std::make_unique<FileUserDefaults>(
      paths.defaultsFile(), FileUserDefaults::Saving{clock_, runtime_.model(), &runtime_.pool()});
  CurlHttpClient::Options httpOptions;
  httpOptions.caFile = options_.caFile;
  httpOptions.pending = &runtime_.pending();
  httpOptions.userAgent = std::string("Quorvin/") + QUORVIN_VERSION;
  http_ = std::make_unique<CurlHttpClient>(httpOptions);
  credentialStore_ = CredentialStore::open(*defaults_, paths.appDataDir());
  asyncCredentials_ = std::make_unique<AsyncCredentialStore>(*credentialStore_, runtime_.pool());
  oracleClient_ = std::make_unique<OracleClient>(*http_, *clock_, paths.appDataDir());

  liveOracle_ = std::make_unique<LiveUsageOracle>(paths.home, clock_->now(), *clock_, options_.agentEnvironment,
                                                  LiveUsageOracle::Options{options_.watchChanges});
  liveOracleStrand_.emplace(runtime_.pool().makeStrand());
  const auto ledgerFile = paths.appDataDir() / std::string(CursorLedgerFormat::kFileName);
  cursor_ = std::make_unique<CursorUsageReader>(
      CursorUsageReader::Config{ledgerFile, CursorCredentials::Locations::forHome(paths.home, paths.configHome)},
      *clock_, *defaults_, *http_, runtime_.pool());
  runner_ = std::make_unique<ProcessRunner>(*clock_, runtime_);
  Ccusage::Environment ccusage = Ccusage::Environment::forUser(paths.home, defaults_.get());
  if (options_.ccusageTool) ccusage.bundledTool = options_.ccusageTool;
  feed_ = std::make_unique<LocalUsageFeed>(LocalUsageFeed::Parts{liveOracle_.get(), *liveOracleStrand_, cursor_.get(),
                                                                 ledgerFile, runner_.get(), &runtime_.pool(),
                                                                 std::move(ccusage), clock_, ledgerRefresh(paths, options_.agentEnvironment)});
  if (options_.hasDisplay) browser_ = std::make_unique<XdgBrowser>();

  api_ = options_.apiUrl ? usableUrl(*options_.apiUrl).value_or(serviceBaseUrl(*defaults_)) : serviceBaseUrl(*defaults_);
  API::Publisher publisher{publisherID(*defaults_), QUORVIN_VERSION};
  ConnectionManager::Services services{runtime_, *clock_, *http_, *defaults_, *asyncCredentials_, *feed_,
                                       oracleClient_.get(), browser_.get(), api_, std::move(publisher)};
  manager_ = std::make_unique<ConnectionManager>(
      std::move(services), PairingDependencies::live(*http_, *clock_, browser_.get(), *asyncCredentials_),
      options_.startPublishingOnPairing);

  auto quotas = ProviderQuotaReader::Config::forHome(paths.home);
  if (auto url = httpsUrl(options_.codexBaseUrl)) quotas.codexBaseUrl = *url;
  if (auto url = httpsUrl(options_.grokBaseUrl)) quotas.grokBaseUrl = *url;
  TokenSavingsAdvisor::Environment savings;
  savings.home = paths.home;
  updateConfig_.api = api_;
  updateConfig_.currentVersion = QUORVIN_VERSION;
  updateConfig_.bundle = UpdateInstaller::currentBundle();
  updateConfig_.processID = ::getpid();
  updateConfig_.home = paths.home;
  updateConfig_.updatesDirectory = UpdateLaunchHandshake::updatesDirectory(paths);
  updateConfig_.automaticInstalls = options_.automaticUpdates;
  ConnectionManager* manager = manager_.get();
  FileUserDefaults* defaults = defaults_.get();
  Runtime* runtime = &runtime_;
  auto quit = [this, manager, defaults, runtime] {
    if (quit_) {
      quit_();
      return;
    }
    manager->stopPublishing();
    defaults->flush();
    runtime->stop();
  };
  sideFlows_ = std::make_unique<AppSideFlows>(AppSideFlows::Parts{
      runtime_, *clock_, *http_, *runner_, browser_.get(), *manager_, std::move(quotas),
      options_.savingsEnvironment.value_or(std::move(savings)), updateConfig_, std::move(quit)});
  manager_->setSideFlows(sideFlows_.get());
}

AppServices::~AppServices() { shutdown(); }

void AppServices::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  auto& context = runtime_.modelContext();
  context.restart();
  ConnectionManager* manager = manager_.get();
  boost::asio::post(context, [manager] { manager->cancelAll(); });
  // Cancelled tasks end at their next suspension; blocking work they wait for is bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  context.run_one_for(std::chrono::milliseconds(20));
  while (!manager->allTasksEnded() && std::chrono::steady_clock::now() < deadline) {
    context.run_one_for(std::chrono::milliseconds(20));
  }
  // What still sleeps (the settings' delayed save, a loop retired in its last turn) ends now:
  // a sleep on a clock this object does not own must not outlive the executors it resumes on.
  clock_->cancelSleeps();
  context.restart();
  context.poll();
  // No pool work may run while the services it uses go away: wait for what is queued, then
  // deliver what it handed back to the model thread.
  runtime_.pool().join();
  context.restart();
  context.poll();
  defaults_->flush();
}

}  // namespace quorvin
