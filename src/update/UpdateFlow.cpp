#include "update/UpdateFlow.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace quorvin {

struct UpdateFlow::Shared {
  boost::asio::any_io_executor model;
  RuntimeClock& clock;
  HttpClient& http;
  BlockingPool& pool;
  Browser& browser;
  Config config;
  Hooks hooks;

  std::optional<UpdateChecker::AvailableUpdate> availableUpdate;
  std::optional<std::string> updateVersion;
  std::optional<std::string> updateStatus;
  std::optional<std::string> lastCheckFailure;
  bool isUpdating = false;
  Task checksTask;
  Task installTask;
  uint64_t installAttempt = 0;

  void changed() const {
    if (hooks.changed) hooks.changed();
  }
  bool automaticInstallSupported() const {
    return UpdateInstaller::supportsAutomaticInstall(config.bundle, config.home);
  }
};

namespace {

using Shared = UpdateFlow::Shared;

bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

boost::asio::awaitable<void> check(std::weak_ptr<Shared> weak) {
  std::string api, current;
  HttpClient* http = nullptr;
  if (auto self = weak.lock()) {
    api = self->config.api;
    current = self->config.currentVersion.empty() ? "0" : self->config.currentVersion;
    http = &self->http;
  } else {
    co_return;
  }
  auto checking = UpdateChecker::check(*http, std::move(api), std::move(current));
  auto outcome = co_await std::move(checking);
  auto self = weak.lock();
  if (!self) co_return;
  const auto& update = outcome.update;
  self->lastCheckFailure = std::move(outcome.failure);
  self->availableUpdate = update;
  self->updateVersion = update ? std::optional<std::string>(update->version) : std::nullopt;
  self->changed();
}

boost::asio::awaitable<void> checkLoop(std::weak_ptr<Shared> weak, std::function<boost::asio::awaitable<void>()> once) {
  for (;;) {
    co_await once();
    RuntimeClock* clock = nullptr;
    if (auto self = weak.lock()) {
      clock = &self->clock;
    } else {
      co_return;
    }
    co_await clock->sleep(UpdateFlow::kCheckInterval);
    if (weak.expired()) co_return;
  }
}

boost::asio::awaitable<void> install(std::weak_ptr<Shared> weak, UpdateChecker::AvailableUpdate update, bool automatic,
                                     uint64_t attempt) {
  std::exception_ptr failure;
  std::optional<UpdateInstaller::Context> context;
  std::filesystem::path bundle;
  pid_t pid = 0;
  if (auto self = weak.lock()) {
    self->isUpdating = true;
    self->updateStatus = "Downloading v" + update.version + "\u2026";
    self->changed();
    context.emplace(UpdateInstaller::Context{self->http, self->pool, self->config.updatesDirectory, self->config.home,
                                             self->config.keys});
    bundle = self->config.bundle;
    pid = self->config.processID;
  } else {
    co_return;
  }

  std::optional<UpdateInstaller::RelaunchPlan> plan;
  try {
    plan = co_await UpdateInstaller::prepare(*context, update, bundle, pid);
  } catch (...) {
    failure = std::current_exception();
  }

  auto self = weak.lock();
  if (!self || self->installAttempt != attempt) co_return;
  if (!failure && self->installTask.cancelRequested()) {
    failure = std::make_exception_ptr(boost::system::system_error(boost::asio::error::operation_aborted));
  }
  bool launched = false;
  if (!failure) {
    self->updateStatus = "Installing v" + update.version + " and restarting\u2026";
    self->changed();
    try {
      if (self->hooks.launch) {
        self->hooks.launch(*plan);
      } else {
        plan->launch();
      }
      launched = true;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    if (isCancellation(failure)) {
      self->updateStatus.reset();
    } else {
      std::string description;
      try {
        std::rethrow_exception(failure);
      } catch (const std::exception& e) {
        description = e.what();
      } catch (...) {
        description = "unknown error";
      }
      self->updateStatus = "Update failed: " + description;
      if (!automatic && self->hooks.needsAttention) self->hooks.needsAttention();
    }
  }
  self->isUpdating = false;
  self->installTask = Task();
  self->changed();
  if (launched && self->hooks.terminate) self->hooks.terminate();
}

}  // namespace

UpdateFlow::UpdateFlow(boost::asio::any_io_executor model, RuntimeClock& clock, HttpClient& http, BlockingPool& pool,
                       Browser& browser, Config config, Hooks hooks)
    : shared_(std::make_shared<Shared>(Shared{std::move(model), clock, http, pool, browser, std::move(config),
                                              std::move(hooks)})) {}

UpdateFlow::~UpdateFlow() {
  shared_->checksTask.cancel();
  shared_->installTask.cancel();
}

void UpdateFlow::startUpdateChecks() {
  if (shared_->checksTask.valid() && !shared_->checksTask.ended()) return;
  std::function<boost::asio::awaitable<void>()> once = [this] { return checkForUpdates(); };
  shared_->checksTask = Task::start(shared_->model, checkLoop(shared_, std::move(once)));
}

void UpdateFlow::stopUpdateChecks() {
  shared_->checksTask.cancel();
  shared_->checksTask = Task();
}

boost::asio::awaitable<void> UpdateFlow::checkForUpdates() {
  std::weak_ptr<Shared> weak = shared_;
  co_await check(weak);
  auto self = weak.lock();
  if (!self) co_return;
  if (self->availableUpdate && !self->isUpdating && self->config.automaticInstalls &&
      self->automaticInstallSupported()) {
    startInstallingUpdate(*self->availableUpdate, true);
  }
}

void UpdateFlow::openUpdate() {
  if (shared_->availableUpdate && shared_->automaticInstallSupported()) {
    startInstallingUpdate(*shared_->availableUpdate, false);
  } else {
    shared_->browser.open(shared_->config.api + "/download");
  }
}

void UpdateFlow::startInstallingUpdate(UpdateChecker::AvailableUpdate update, bool automatic) {
  if (shared_->isUpdating) return;
  shared_->installTask.cancel();
  const uint64_t attempt = ++shared_->installAttempt;
  // Set before the task's first step so that a second command in the same turn does nothing.
  shared_->isUpdating = true;
  shared_->installTask = Task::start(shared_->model, install(shared_, std::move(update), automatic, attempt));
}

boost::asio::awaitable<void> UpdateFlow::installFinished() {
  Task task = shared_->installTask;
  if (task.valid()) co_await task.wait();
}

boost::asio::awaitable<void> UpdateFlow::shutdown() {
  Task checks = shared_->checksTask;
  Task install = shared_->installTask;
  checks.cancel();
  install.cancel();
  if (checks.valid()) co_await checks.wait();
  if (install.valid()) co_await install.wait();
}

const std::optional<UpdateChecker::AvailableUpdate>& UpdateFlow::availableUpdate() const {
  return shared_->availableUpdate;
}
const std::optional<std::string>& UpdateFlow::updateVersion() const { return shared_->updateVersion; }
const std::optional<std::string>& UpdateFlow::updateStatus() const { return shared_->updateStatus; }
const std::optional<std::string>& UpdateFlow::lastCheckFailure() const { return shared_->lastCheckFailure; }
bool UpdateFlow::isUpdating() const { return shared_->isUpdating; }

}  // namespace quorvin
