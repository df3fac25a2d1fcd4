#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "core/Log.h"
#include "server/Service.h"
#include "server/WallClock.h"
#include "server/http/HttpServer.h"

namespace {

using namespace quorvin::server;

bool parseListen(const std::string& text, ServerConfig& config) {
  // ADDR:PORT, with [v6]:PORT for IPv6.
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  int port = 0;
  try {
    size_t used = 0;
    port = std::stoi(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1) return false;
  } catch (...) {
    return false;
  }
  if (port < 0 || port > 65535 || host.empty()) return false;
  config.listenAddress = host;
  config.port = static_cast<uint16_t>(port);
  return true;
}

int addAccount(ServerConfig config, const std::string& handleText) {
  const std::string handle = normalisedHandle(handleText);
  if (handle.empty() || isReservedHandle(handle)) {
    std::cerr << "quorvin-server: a handle is 1 to 39 letters, digits or '-', and not a reserved word\n";
    return 2;
  }
  WallClock clock;
  Service service(std::move(config), clock);
  auto secret = service.accounts().addAccount(handle, service.nowMs());
  if (!secret) {
    std::cerr << "quorvin-server: the handle " << handle << " is taken\n";
    return 1;
  }
  // The secret goes to the operator's terminal only; it is not kept anywhere in clear.
  std::cout << "Account " << handle << " created. Its secret (shown once):\n" << *secret << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Quorvin web service: pairing, ingest, live candles, signed checkpoints, downloads"};
  ServerConfig config;
  std::string dataDir = "quorvin-data";
  std::string listen = "127.0.0.1:8443";
  std::string tlsCert, tlsKey, downloads, autoApprove;
  app.add_option("--data", dataDir, "Data folder (SQLite database)")->capture_default_str();
  app.add_option("--listen", listen, "ADDR:PORT to listen on")->capture_default_str();
  app.add_option("--tls-cert", tlsCert, "PEM certificate chain; without it the service speaks plain HTTP")
      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", tlsKey, "PEM private key for --tls-cert")->check(CLI::ExistingFile);
  app.add_option("--public-url", config.publicUrl, "Origin users reach the service at (links, approval URLs)");
  app.add_option("--downloads", downloads, "Folder served byte for byte under /downloads/")
      ->check(CLI::ExistingDirectory);
  app.add_option("--auto-approve", autoApprove, "Approve every pair code for this account (single-user hosts)");
  app.add_option("--threads", config.ioThreads, "Connection threads")->capture_default_str();
  auto* account = app.add_subcommand("account", "Manage accounts");
  auto* add = account->add_subcommand("add", "Create an account and print its secret");
  std::string handle;
  add->add_option("HANDLE", handle, "Profile handle")->required();
  account->require_subcommand(1);
  CLI11_PARSE(app, argc, argv);

  if (!tlsKey.empty() && tlsCert.empty()) {
    std::cerr << "quorvin-server: --tls-key needs --tls-cert\n";
    return 2;
  }
  if (!parseListen(listen, config)) {
    std::cerr << "quorvin-server: --listen expects ADDR:PORT\n";
    return 2;
  }
  config.dataDir = dataDir;
  if (!tlsCert.empty()) config.tlsCert = tlsCert;
  if (!tlsKey.empty()) config.tlsKey = tlsKey;
  if (!downloads.empty()) config.downloadsDir = downloads;
  if (!autoApprove.empty()) config.autoApproveHandle = normalisedHandle(autoApprove);

  try {
    std::filesystem::create_directories(config.dataDir);
    std::filesystem::permissions(config.dataDir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    if (add->parsed()) return addAccount(config, handle);

    WallClock clock;
    Service service(config, clock);
    if (config.autoApproveHandle && !service.accounts().account(*config.autoApproveHandle)) {
      std::cerr << "quorvin-server: --auto-approve names no account; create it with 'account add'\n";
      return 2;
    }
    HttpServer server(service);
    server.start();
    quorvin::logLine("Quorvin server listening on " + config.listenAddress + ":" + std::to_string(server.port()) + " as " +
            service.publicUrl());
    // Scripts that start the service read this line to learn the port.
    std::printf("listening on %s:%u\n", config.listenAddress.c_str(), static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    server.runUntilSignal();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "quorvin-server: " << e.what() << "\n";
    return 1;
  }
}
