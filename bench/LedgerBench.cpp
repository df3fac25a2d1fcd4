// `quorvin ledger` over a generated history of at least 1 GiB: a cold run, a repeat run
// with nothing changed, runs after 1 MiB appended; each as a child process, with its
// wall time (and the cold runs' peak resident memory). The baselines, measured in the same run: reading
// the bytes alone, and ccusage over the same home when it is installed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "corpus/LogCorpus.h"

namespace {

using namespace quorvin;
namespace fs = std::filesystem;

struct Run {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
  std::string output;
};

// A forked child starts out with this process's memory, and Linux keeps that peak across
// exec: wait4 would report this process's generated corpus as the child's. GNU time, a
// small process, measures the program instead when it is installed.
constexpr const char* kTime = "/usr/bin/time";

Run runDirect(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

Run runChild(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) {
  if (::access(kTime, X_OK) != 0) return runDirect(argv, environment);
  const std::string peakFile = (fs::temp_directory_path() / ("quorvin-ledger-bench-peak-" + std::to_string(::getpid()))).string();
  std::vector<std::string> timed{kTime, "-f", "%M", "-o", peakFile};
  timed.insert(timed.end(), argv.begin(), argv.end());
  Run run = runDirect(timed, environment);
  std::ifstream peak(peakFile);
  long kib = 0;
  if (peak >> kib) run.peakKiB = kib;
  fs::remove(peakFile);
  return run;
}

// Runs a program with its output captured; its peak memory comes from wait4.
Run runDirect(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    for (const auto& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Run run;
  char buffer[65536];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  struct rusage usage {};
  int status = 0;
  ::wait4(child, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.peakKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

double readAll(const std::vector<fs::path>& files) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<char> buffer(8 << 20);
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::optional<UsageCounters> totalsOf(const std::string& json) {
  std::error_code ec;
  auto root = boost::json::parse(json, ec);
  if (ec || !root.is_object()) return std::nullopt;
  const auto* totals = root.as_object().if_contains("totals");
  if (!totals || !totals->is_object()) return std::nullopt;
  auto get = [&](const char* key) {
    const auto* value = totals->as_object().if_contains(key);
    return value && value->is_number() ? value->to_number<int64_t>() : int64_t{-1};
  };
  return UsageCounters{get("inputTokens"), get("outputTokens"), get("cacheReadTokens"), get("cacheCreationTokens")};
}

void figure(const char* name, double value, const char* unit) { std::printf("%s: %.3f %s\n", name, value, unit); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"quorvin ledger against reading the bytes and against ccusage"};
  std::string directory = (fs::temp_directory_path() / "quorvin-ledger-bench").string();
  size_t mib = 1024;
  std::string ccusage = "/tmp/qv-ccusage/node_modules/.bin/ccusage";
  app.add_option("--dir", directory, "home directory for the generated history");
  app.add_option("--mib", mib, "history size in MiB (3/4 Claude Code, 1/4 Codex)");
  app.add_option("--ccusage", ccusage, "ccusage 20.0.24 executable");
  CLI11_PARSE(app, argc, argv);

  const fs::path home = fs::absolute(directory);
  fs::remove_all(home);
  bench::CorpusOptions claudeOptions;
  claudeOptions.claudeFileBytes = 32u << 20;
  claudeOptions.claudeFiles = std::max<size_t>(1, mib * 3 / 4 / 32);
  claudeOptions.codexFiles = 0;
  bench::CorpusOptions codexOptions;
  codexOptions.claudeFiles = 0;
  codexOptions.codexFileBytes = 16u << 20;
  codexOptions.codexFiles = std::max<size_t>(1, mib / 4 / 16);
  const auto claude = bench::writeCorpus(home / ".claude/projects/bench", claudeOptions);
  const auto codex = bench::writeCorpus(home / ".codex/sessions/2026/03/01", codexOptions);
  UsageCounters truth = claude.total(UsageSource::claude).counters + codex.total(UsageSource::codex).counters;
  std::vector<fs::path> paths;
  uint64_t bytes = 0;
  for (const auto* corpus : {&claude, &codex}) {
    for (const auto& file : corpus->files) {
      paths.push_back(file.path);
      bytes += fs::file_size(file.path);
    }
  }
  figure("corpus", static_cast<double>(bytes) / (1 << 20), "MiB");

  const double baseline = readAll(paths);  // also warms the page cache
  figure("read bytes only", baseline, "s");

  const std::string quorvin = std::string(QUORVIN_BINARY_DIR) + "/src/app/quorvin";
  const std::vector<std::string> ledger{quorvin, "ledger", "--home", home.string(), "--json"};
  int failures = 0;
  const Run cold = runChild(ledger);
  figure("ledger cold", cold.seconds, "s");
  figure("ledger cold peak RSS", cold.peakKiB / 1024.0, "MiB");
  figure("ledger cold / read bytes only", cold.seconds / baseline, "x");
  const auto totals = totalsOf(cold.output);
  if (cold.status != 0 || !totals || !(*totals == truth)) {
    std::printf("ledger totals differ from the ground truth\n");
    ++failures;
  } else {
    std::printf("ledger totals equal the ground truth: %lld tokens\n", static_cast<long long>(truth.total()));
  }
  // Runs of tens of milliseconds are timed without GNU time in between, five times each,
  // and their median reported: one such run is at the mercy of a single scheduling delay.
  const auto median = [](std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  };
  const auto medianOfRuns = [&](const std::vector<std::string>& argv) {
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) ms.push_back(runDirect(argv, {}).seconds * 1000);
    return median(ms);
  };
  // What a run costs before it reads anything: loading the program and its libraries. The
  // ledger is in the executable itself; the other commands load the program module too.
  figure("ledger start (quorvin ledger --help)", medianOfRuns({quorvin, "ledger", "--help"}), "ms");
  figure("program start (quorvin --help)", medianOfRuns({quorvin, "--help"}), "ms");
  figure("ledger repeat, nothing changed", medianOfRuns(ledger), "ms");
  std::vector<double> appendedMs;
  UsageCounters appendedClaude;
  for (int round = 0; round < 5; ++round) {
    bench::ClaudeSessionGenerator more(77 + round, WallTime{} + std::chrono::hours(24 * 20600));
    std::string text;
    more.append(text, 1u << 20);
    std::ofstream(claude.files.front().path, std::ios::binary | std::ios::app) << text;
    truth += more.truth().counters;
    appendedClaude += more.truth().counters;
    const Run appended = runDirect(ledger, {});
    appendedMs.push_back(appended.seconds * 1000);
    if (appended.status != 0 || !(totalsOf(appended.output) == std::optional(truth))) {
      std::printf("ledger totals after an append differ from the ground truth\n");
      ++failures;
    }
  }
  figure("ledger repeat, 1 MiB appended", median(appendedMs), "ms");

  if (::access(ccusage.c_str(), X_OK) != 0) {
    std::printf("ccusage 20.0.24 is not installed at %s (npm install ccusage@20.0.24): no comparison\n",
                ccusage.c_str());
    return failures;
  }
  // ccusage reads the history with the appends: compare with a fresh cold run.
  const std::vector<std::string> environment{"HOME=" + home.string(), "CLAUDE_CONFIG_DIR=" + (home / ".claude").string(),
                                             "CODEX_HOME=" + (home / ".codex").string()};
  fs::remove(home / ".quorvin/tokens.json.cache");
  const Run again = runChild(ledger);
  const Run claudeRun = runChild({ccusage, "claude", "daily", "--json", "--offline"}, environment);
  const Run codexRun = runChild({ccusage, "codex", "daily", "--json", "--offline"}, environment);
  const double theirs = claudeRun.seconds + codexRun.seconds;
  const long theirPeak = std::max(claudeRun.peakKiB, codexRun.peakKiB);
  figure("ccusage claude+codex", theirs, "s");
  figure("ccusage peak RSS", theirPeak / 1024.0, "MiB");
  figure("ccusage / ledger cold (time)", theirs / again.seconds, "x");
  figure("ccusage / ledger cold (peak RSS)", static_cast<double>(theirPeak) / static_cast<double>(again.peakKiB), "x");
  const auto theirClaude = totalsOf(claudeRun.output);
  if (claudeRun.status != 0 || !theirClaude) {
    std::printf("ccusage claude failed (status %d)\n", claudeRun.status);
  } else {
    const UsageCounters ours = claude.total(UsageSource::claude).counters + appendedClaude;
    std::printf("Claude Code: ccusage %lld tokens, ground truth %lld, ours cold %s\n",
                static_cast<long long>(theirClaude->total()), static_cast<long long>(ours.total()),
                again.status == 0 && totalsOf(again.output) == std::optional(truth) ? "equal the ground truth"
                                                                                   : "differ from the ground truth");
  }
  if (codexRun.status != 0) std::printf("ccusage codex failed (status %d)\n", codexRun.status);
  return failures;
}
