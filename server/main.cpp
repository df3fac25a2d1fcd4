#include <sys/resource.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <fstream>
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

// Runs an operator command against the database; the service need not be stopped, SQLite
// serialises the writes.
template <class F>
int withAccount(const ServerConfig& config, const std::string& handleText, F&& command) {
  WallClock clock;
  Service service(config, clock);
  const std::string handle = normalisedHandle(handleText);
  auto account = handle.empty() ? std::nullopt : service.accounts().account(handle);
  if (!account) {
    std::cerr << "quorvin-server: no account " << handleText << "\n";
    return 1;
  }
  return command(service, *account);
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

std::string shownTime(std::optional<int64_t> ms) {
  if (!ms) return "-";
  const std::time_t seconds = static_cast<std::time_t>(*ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%MZ", &tm);
  return buffer;
}

std::optional<std::string> readEnrolSecret(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string secret;
  std::getline(in, secret);
  while (!secret.empty() && (secret.back() == '\r' || secret.back() == ' ')) secret.pop_back();
  if (!in && !in.eof()) return std::nullopt;
  // Short secrets could be guessed; the operator hands this to their own machines.
  if (secret.size() < 16) return std::nullopt;
  return secret;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Quorvin web service: pairing, ingest, live candles, signed checkpoints, downloads"};
  ServerConfig config;
  std::string dataDir = "quorvin-data";
  std::string listen = "127.0.0.1:8443";
  std::string tlsCert, tlsKey, downloads, autoApprove, enrolSecretFile;
  app.add_option("--data", dataDir, "Data folder (SQLite database)")->capture_default_str();
  app.add_option("--listen", listen, "ADDR:PORT to listen on")->capture_default_str();
  app.add_option("--tls-cert", tlsCert, "PEM certificate chain; without it the service speaks plain HTTP")
      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", tlsKey, "PEM private key for --tls-cert")->check(CLI::ExistingFile);
  app.add_option("--public-url", config.publicUrl, "Origin users reach the service at (links, approval URLs)");
  app.add_option("--downloads", downloads, "Folder served byte for byte under /downloads/")
      ->check(CLI::ExistingDirectory);
  app.add_option("--auto-approve", autoApprove,
                 "Approve pair codes for this account at once: on a loopback listener, or for machines that "
                 "present the --enrol-secret-file secret");
  app.add_option("--enrol-secret-file", enrolSecretFile,
                 "File whose first line (16 characters or more) machines send to be approved automatically")
      ->check(CLI::ExistingFile);
  app.add_option("--threads", config.ioThreads, "Connection threads")->capture_default_str();
  auto* account = app.add_subcommand("account", "Manage accounts");
  auto* add = account->add_subcommand("add", "Create an account and print its secret");
  std::string handle;
  add->add_option("HANDLE", handle, "Profile handle")->required();
  auto* rotate = account->add_subcommand("rotate-secret", "Replace an account's secret and print the new one");
  rotate->add_option("HANDLE", handle, "Profile handle")->required();
  account->require_subcommand(1);
  auto* device = app.add_subcommand("device", "Manage paired machines");
  auto* list = device->add_subcommand("list", "List an account's machines");
  list->add_option("HANDLE", handle, "Profile handle")->required();
  auto* revoke = device->add_subcommand("revoke", "Disconnect one machine");
  int64_t deviceId = 0;
  revoke->add_option("HANDLE", handle, "Profile handle")->required();
  revoke->add_option("ID", deviceId, "Machine number from 'device list'")->required();
  device->require_subcommand(1);
  auto* chain = app.add_subcommand("chain", "Manage signed checkpoint chains");
  auto* reset = chain->add_subcommand("reset", "Forget a profile's checkpoints and key, so a new key can start again");
  reset->add_option("HANDLE", handle, "Profile handle")->required();
  chain->require_subcommand(1);
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

  if (!enrolSecretFile.empty()) {
    config.enrolSecret = readEnrolSecret(enrolSecretFile);
    if (!config.enrolSecret) {
      std::cerr << "quorvin-server: --enrol-secret-file must hold a secret of 16 characters or more\n";
      return 2;
    }
  }

  try {
    ::umask(077);
    if (auto problem = prepareDataFolder(config.dataDir)) {
      std::cerr << "quorvin-server: " << *problem << "\n";
      return 2;
    }
    if (add->parsed()) return addAccount(config, handle);
    if (rotate->parsed()) {
      return withAccount(config, handle, [](Service& service, const Account& a) {
        std::cout << "Account " << a.handle << " has a new secret (shown once):\n"
                  << service.accounts().rotateSecret(a.id) << "\n";
        return 0;
      });
    }
    if (list->parsed()) {
      return withAccount(config, handle, [](Service& service, const Account& a) {
        std::cout << "ID\tPAIRED\tLAST UPLOAD\tDISCONNECTED\n";
        for (const auto& d : service.accounts().devices(a.id)) {
          std::cout << d.id << "\t" << shownTime(d.createdMs) << "\t" << shownTime(d.lastSeenMs) << "\t"
                    << shownTime(d.revokedMs) << "\n";
        }
        return 0;
      });
    }
    if (revoke->parsed()) {
      return withAccount(config, handle, [&](Service& service, const Account& a) {
        if (!service.accounts().revokeDevice(a.id, deviceId, service.nowMs())) {
          std::cerr << "quorvin-server: " << a.handle << " has no connected machine " << deviceId << "\n";
          return 1;
        }
        std::cout << "Machine " << deviceId << " of " << a.handle << " is disconnected.\n";
        return 0;
      });
    }
    if (reset->parsed()) {
      return withAccount(config, handle, [](Service& service, const Account& a) {
        service.oracle().reset(a.id);
        std::cout << "The checkpoint chain of " << a.handle << " is cleared; the next signed checkpoint binds its key.\n";
        return 0;
      });
    }
    if (auto problem = configProblem(config)) {
      std::cerr << "quorvin-server: " << *problem << "\n";
      return 2;
    }
    // Descriptors run out before the connection cap otherwise: keep room for the database,
    // downloads and the listener.
    if (rlimit limit{}; ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      const size_t room = limit.rlim_cur > 128 ? static_cast<size_t>(limit.rlim_cur) - 64 : 64;
      config.maxConnections = std::min(config.maxConnections, room);
    }

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
