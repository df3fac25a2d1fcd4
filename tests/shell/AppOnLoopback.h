#pragma once

#include <boost/asio/post.hpp>
#include <filesystem>
#include <functional>
#include <memory>

#include "server/ServiceOnLoopback.h"
#include "shell/AppServices.h"

namespace quorvin {

// The whole application core in this process against a real quorvin-server on loopback, on
// the fixture's virtual clock: a private home, and the services built by `launch`.
class AppOnLoopback : public server::ServiceOnLoopback {
 protected:
  void SetUp() override {
    ServiceOnLoopback::SetUp();
    home_ = dir_ / "home";
    std::filesystem::create_directories(home_);
  }
  void TearDown() override {
    app_.reset();
    ServiceOnLoopback::TearDown();
  }

  // What every launch shares: the private folders, the service, its CA and the clock.
  AppServices::Options baseOptions() {
    AppServices::Options options;
    options.paths.home = home_;
    options.paths.configHome = dir_ / "config";
    options.paths.dataHome = dir_ / "share";
    options.apiUrl = api_;
    options.caFile = certs_.caFile();
    options.clock = &clock_;
    options.watchChanges = false;
    return options;
  }
  void launch(AppServices::Options options) { app_ = std::make_unique<AppServices>(std::move(options)); }

  template <class F>
  void post(F f) {
    boost::asio::post(app_->runtime().model(), std::move(f));
  }
  bool drive(const std::function<bool()>& done) { return clock_.run(app_->runtime(), done); }

  std::filesystem::path home_;
  std::unique_ptr<AppServices> app_;
};

}  // namespace quorvin
