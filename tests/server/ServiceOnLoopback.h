#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/CurlHttpClient.h"
#include "platform/VirtualClock.h"
#include "wire/Crypto.h"
#include "server/Service.h"
#include "server/http/HttpServer.h"
#include "server/storage/Database.h"
#include "support/Coroutines.h"
#include "support/TempFolder.h"
#include "support/TestCertificates.h"

namespace quorvin::server {

// A real quorvin-server on 127.0.0.1 over HTTPS with a CA made for the test, a curl client
// that trusts only that CA, and a virtual clock the server reads its time from.
class ServiceOnLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "data");
    CurlHttpClient::Options options;
    options.caFile = certs_.caFile();
    http_ = std::make_unique<CurlHttpClient>(options);
  }
  void TearDown() override {
    stopServer();
    http_.reset();
  }

  // Creates alice's account (secret in aliceSecret_) before the first start.
  void startServer(std::optional<std::string> autoApprove = std::nullopt,
                   std::optional<std::filesystem::path> downloads = std::nullopt,
                   std::optional<std::string> enrolSecret = std::nullopt) {
    ServerConfig config;
    config.enrolSecret = std::move(enrolSecret);
    config.dataDir = dir_ / "data";
    config.port = 0;
    config.tlsCert = certs_.certFile();
    config.tlsKey = certs_.keyFile();
    config.autoApproveHandle = std::move(autoApprove);
    config.downloadsDir = std::move(downloads);
    service_ = std::make_unique<Service>(config, clock_);
    if (aliceSecret_.empty()) aliceSecret_ = *service_->accounts().addAccount("alice", service_->nowMs());
    server_ = std::make_unique<HttpServer>(*service_);
    server_->start();
    api_ = "https://127.0.0.1:" + std::to_string(server_->port());
  }
  void stopServer() {
    server_.reset();
    service_.reset();
  }

  template <class T>
  T await(boost::asio::awaitable<T> task) {
    return test::runToEnd(io_, std::move(task));
  }

  HttpResponse request(const std::string& method, const std::string& path, std::string body = {},
                       std::vector<std::pair<std::string, std::string>> headers = {}) {
    HttpRequest r;
    r.method = method;
    r.url = api_ + path;
    r.body = std::move(body);
    r.headers = std::move(headers);
    auto result = await(http_->send(std::move(r)));
    EXPECT_TRUE(result.ok()) << (result.failure ? result.failure->message : "");
    return result.response.value_or(HttpResponse{});
  }

  // A second connection to the server's database, for looking at what was stored.
  std::unique_ptr<Database> inspect() { return std::make_unique<Database>(dir_ / "data" / "quorvin-server.sqlite3"); }

  test::TestCertificates certs_;
  test::TempFolder folder_{"quorvin-e2e"};
  std::filesystem::path dir_ = folder_.path();
  VirtualClock clock_;
  std::unique_ptr<CurlHttpClient> http_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<HttpServer> server_;
  boost::asio::io_context io_;
  std::string api_;
  std::string aliceSecret_;
};

}  // namespace quorvin::server
