#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "platform/CurlHttpClient.h"
#include "platform/Runtime.h"
#include "platform/VirtualClock.h"
#include "update/UpdateChecker.h"
#include "server/Service.h"
#include "server/http/HttpServer.h"
#include "support/Coroutines.h"
#include "support/TestCertificates.h"
#include "update/UpdateTestKit.h"

namespace quorvin::test {

// quorvin-server's service in this process, over HTTPS on loopback, serving `downloads`.
class DownloadsServer {
 public:
  DownloadsServer(const fs::path& dataDir, const fs::path& downloads, RuntimeClock& clock) {
    fs::create_directories(dataDir);
    server::ServerConfig config;
    config.dataDir = dataDir;
    config.port = 0;
    config.tlsCert = certs.certFile();
    config.tlsKey = certs.keyFile();
    config.downloadsDir = downloads;
    service_ = std::make_unique<server::Service>(config, clock);
    http_ = std::make_unique<server::HttpServer>(*service_);
    http_->start();
    api = "https://127.0.0.1:" + std::to_string(http_->port());
  }

  TestCertificates certs;
  std::string api;

 private:
  std::unique_ptr<server::Service> service_;
  std::unique_ptr<server::HttpServer> http_;
};

// Version 1.0.0 installed in a temporary ~/.local/opt/Quorvin, releases published into a
// downloads folder that quorvin-server's service serves over HTTPS on loopback, and a
// virtual clock driving the model thread.
class ServedReleaseTest : public ::testing::Test {
 protected:
  ServedReleaseTest() : server_(root_ / "server", root_ / "downloads", clock_) {
    fs::create_directories(root_ / "downloads");
    makeSealedBundle(installed_, "1.0.0");
    CurlHttpClient::Options options;
    options.caFile = server_.certs.caFile();
    options.pending = &runtime_.pending();
    http_ = std::make_unique<CurlHttpClient>(options);
  }
  ~ServedReleaseTest() override {
    http_.reset();
    runtime_.pool().join();
  }

  // Seals release `version` in a fresh folder, lets `edit` spoil the bundle, packs it with
  // `extra` entries and publishes it.
  void publish(const std::string& version, const std::function<void(const fs::path&)>& edit = {},
               const std::vector<release::ExtraEntry>& extra = {}) {
    const fs::path work = root_ / ("release-" + crypto::randomHex(4));
    makeSealedBundle(work / "Quorvin", version);
    if (edit) edit(work / "Quorvin");
    release::packTarball(work / "Quorvin", work / "quorvin-linux.tar.gz", extra);
    publishRelease(root_ / "downloads", version, work / "quorvin-linux.tar.gz");
  }

  // Runs `task` on the model thread under the virtual clock until it ends.
  template <class T>
  T drive(boost::asio::awaitable<T> task) {
    return driveOnModel(clock_, runtime_, std::move(task));
  }

  std::optional<UpdateChecker::AvailableUpdate> check(const std::string& current = "1.0.0") {
    return drive(UpdateChecker::availableUpdate(*http_, server_.api, current));
  }

  TempFolder root_;
  VirtualClock clock_;
  Runtime runtime_{2};
  DownloadsServer server_;
  std::unique_ptr<CurlHttpClient> http_;
  fs::path home_ = root_ / "home";
  fs::path installed_ = home_ / ".local/opt/Quorvin";
  fs::path updates_ = home_ / ".local/share/quorvin/updates";
};

}  // namespace quorvin::test
