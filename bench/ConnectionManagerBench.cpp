// The application core's figures, each next to its yardstick measured in the same run:
//   one streaming tick (pulse read, display rule, history, cache write, upload decision) with
//   1,000 known log files vs the bare live snapshot over the same files;
//   a connected `quorvin --headless` with no agent activity for --idle seconds: CPU share of one
//   core and resident memory (needs quorvin-server and quorvin beside this program's build).
// Prints one "name: value unit" line per figure.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "corpus/BenchKit.h"
#include "corpus/LogCorpus.h"
#include "platform/CurlHttpClient.h"
#include "platform/MemoryUserDefaults.h"
#include "platform/SecretStore.h"
#include "platform/SystemClock.h"
#include "publishing/ConnectionManager.h"
#include "shell/LocalUsageFeed.h"
#include "usage/LiveUsageOracle.h"

extern char** environ;

namespace {

using namespace quorvin;
using namespace std::chrono;
namespace fs = std::filesystem;

using bench::cpuSeconds;

void figure(const std::string& name, double value, const char* unit) { bench::figure(name, value, unit, 2); }

struct Scratch : bench::ScratchFolder {
  Scratch() : ScratchFolder("quorvin-core-bench") {}
};

void writeFiles(const fs::path& home, int files) {
  const WallTime start = system_clock::now();
  for (int i = 0; i < files; ++i) {
    bench::ClaudeSessionGenerator generator(static_cast<uint64_t>(i) + 1, start);
    std::string text;
    generator.append(text, 4096);
    const fs::path dir = home / ".claude/projects" / ("p" + std::to_string(i % 50));
    fs::create_directories(dir);
    std::ofstream(dir / ("s" + std::to_string(i) + ".jsonl")) << text;
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void tickVersusSnapshot(int files, int rounds) {
  Scratch scratch;
  writeFiles(scratch.path, files);
  SystemClock clock;
  Runtime runtime(2);
  LiveUsageOracle oracle(scratch.path, clock.now() - hours(1), clock, LiveUsageOracle::Environment{},
                         LiveUsageOracle::Options{false});
  oracle.snapshot(false);  // the first inventory is not what a tick pays

  std::vector<double> bare;
  for (int i = 0; i < rounds; ++i) {
    const auto t = steady_clock::now();
    auto snapshot = oracle.snapshot(false);
    bare.push_back(duration<double>(steady_clock::now() - t).count());
    if (!snapshot) std::abort();
  }

  MemoryUserDefaults defaults;
  CurlHttpClient http(CurlHttpClient::Options{.pending = &runtime.pending()});
  CredentialStore store(makeFileSecretStore(scratch.path / "secret.json"), defaults, "0123456789abcdef01234567");
  store.saveDeviceToken("bench-token", store.mutationGeneration());
  defaults.setString("login", "bench");
  AsyncCredentialStore credentials(store, runtime.pool());
  auto strand = runtime.pool().makeStrand();
  ProcessRunner runner(clock, runtime);
  LocalUsageFeed feed(LocalUsageFeed::Parts{&oracle, strand, nullptr, scratch.path / "none.json", &runner,
                                            &runtime.pool(), Ccusage::Environment{}, &clock});
  // A service that refuses at once: uploads fail and back off, as a tick's decision expects.
  ConnectionManager manager(ConnectionManager::Services{runtime, clock, http, defaults, credentials, feed, nullptr,
                                                        nullptr, "http://127.0.0.1:9", API::Publisher{"p", "1"}},
                            PairingDependencies{}, true);
  // Its own loops keep running (one tick a second); the measured ticks come on top.
  auto& io = runtime.modelContext();
  boost::asio::post(io, [&] { manager.start(); });
  runtime.runUntil([&] { return manager.state().status.is(ConnectionStatus::Kind::connected); });
  std::vector<double> ticks;
  for (int i = 0; i < rounds; ++i) {
    const auto t = steady_clock::now();
    auto future = boost::asio::co_spawn(io, manager.pulseTick(manager.publishingEpoch(), clock.now()),
                                        boost::asio::use_future);
    io.restart();
    while (future.wait_for(seconds(0)) != std::future_status::ready) io.run_one_for(milliseconds(5));
    future.get();
    ticks.push_back(duration<double>(steady_clock::now() - t).count());
  }
  boost::asio::post(io, [&] { manager.cancelAll(); });
  const auto deadline = steady_clock::now() + seconds(10);
  io.restart();
  while (!manager.allTasksEnded() && steady_clock::now() < deadline) io.run_one_for(milliseconds(10));

  const std::string n = std::to_string(files);
  figure("bare_snapshot_" + n + "_files", median(bare) * 1e6, "us");
  figure("streaming_tick_" + n + "_files", median(ticks) * 1e6, "us");
  figure("streaming_tick_vs_bare_snapshot_" + n + "_files", median(ticks) / median(bare), "x");
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<char*> a, e;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, a[0], nullptr, nullptr, a.data(), e.data()) != 0) return -1;
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);  // negative: the signal that ended it
}

double residentMiB(pid_t pid) { return bench::statusKiB(pid, "VmRSS:") / 1024.0; }

// A connected agent with no agent activity: pair against a local quorvin-server, then run
// `quorvin --headless` for `idle` seconds. Private HOME and no session bus, so the token goes to
// the file store and nothing of the user's is touched.
void headlessIdle(int idle, int files) {
  const fs::path build = QUORVIN_BINARY_DIR;
  const fs::path server = build / "server/quorvin-server", quorvin = build / "src/app/quorvin";
  if (!fs::exists(server) || !fs::exists(quorvin)) {
    std::printf("headless_idle: skipped (build quorvin and quorvin-server)\n");
    return;
  }
  Scratch scratch;
  writeFiles(scratch.path / "home", files);
  const std::string data = (scratch.path / "server").string();
  const std::string port = std::to_string(20000 + ::getpid() % 20000);
  waitFor(spawn({server.string(), "--data", data, "account", "add", "bench"}, {}));
  const pid_t service =
      spawn({server.string(), "--data", data, "--listen", "127.0.0.1:" + port, "--auto-approve", "bench"}, {});
  std::this_thread::sleep_for(seconds(1));
  const std::string home = (scratch.path / "home").string();
  const std::vector<std::string> env{"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                                     "XDG_DATA_HOME=" + home + "/.local/share", "PATH=/usr/bin:/bin",
                                     "QUORVIN_API_URL=http://127.0.0.1:" + port};
  if (waitFor(spawn({quorvin.string(), "pair"}, env)) != 0) {
    std::printf("headless_idle: pairing failed\n");
    ::kill(service, SIGTERM);
    waitFor(service);
    return;
  }
  const pid_t agent = spawn({quorvin.string(), "--headless"}, env);
  std::this_thread::sleep_for(seconds(5));  // settle: first inventory, first reconciliation
  const double cpuBefore = cpuSeconds(agent);
  std::this_thread::sleep_for(seconds(idle));
  const double cpu = cpuSeconds(agent) - cpuBefore;
  const double rss = residentMiB(agent);
  ::kill(agent, SIGTERM);
  const int agentExit = waitFor(agent);
  ::kill(service, SIGTERM);
  waitFor(service);
  figure("headless_idle_cpu_share_of_one_core", cpu / idle * 100.0, "%");
  figure("headless_idle_resident_memory", rss, "MiB");
  figure("headless_exit_code_after_sigterm", agentExit, "");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Connection manager benchmarks"};
  int files = 1000, rounds = 200, idle = 60;
  app.add_option("--files", files, "Known log files")->capture_default_str();
  app.add_option("--rounds", rounds, "Ticks and snapshots measured")->capture_default_str();
  app.add_option("--idle", idle, "Seconds of idle headless agent measured (0: skip)")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  tickVersusSnapshot(files, rounds);
  if (idle > 0) headlessIdle(idle, files);
  return 0;
}
