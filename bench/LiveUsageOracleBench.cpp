// Live usage oracle figures, each next to its yardstick measured in the same run:
//   idle snapshot over 1,000 and 10,000 unchanged files vs a bare stat loop over them;
//   appended bytes counted per second while a writer process appends, vs the parser alone
//   over the same bytes; peak memory of `quorvin usage` after tailing 1,000 files that
//   received --rss-bytes in total; CPU of an idle `quorvin usage --interval 1`.
// Prints one "name: value unit" line per figure; exits non-zero on a wrong sum.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/json/parse.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "corpus/BenchKit.h"
#include "corpus/LogCorpus.h"
#include "usage/LiveUsageOracle.h"
#include "usage/UsageLogParser.h"

extern char** environ;

namespace {

using namespace quorvin;
using namespace std::chrono;
namespace fs = std::filesystem;

using bench::cpuSeconds;
using bench::figure;
using bench::statusKiB;

class SystemTime final : public Clock {
 public:
  WallTime now() const override { return system_clock::now(); }
};

struct ScratchHome : bench::ScratchFolder {};

double secondsOf(steady_clock::duration d) { return duration<double>(d).count(); }

// CPU time of this process (all its threads): unlike wall time it does not grow while
// other programs on a busy machine hold the cores.
double processCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// ---- idle snapshot vs stat loop ------------------------------------------------------

std::vector<std::string> makeIdleFiles(const fs::path& home, size_t count) {
  std::vector<std::string> paths;
  bench::ClaudeSessionGenerator generator(count, system_clock::now() - hours(1));
  std::string content;
  generator.append(content, 2048);
  for (size_t i = 0; i < count; ++i) {
    fs::path dir = home / ".claude/projects" / ("project-" + std::to_string(i / 100));
    fs::create_directories(dir);
    std::string path = (dir / ("session-" + std::to_string(i) + ".jsonl")).string();
    std::ofstream(path, std::ios::binary) << content;
    paths.push_back(path);
  }
  return paths;
}

void idleSnapshot(size_t count) {
  ScratchHome home;
  auto paths = makeIdleFiles(home.path, count);
  SystemTime clock;
  LiveUsageOracle oracle(home.path, clock.now(), clock, LiveUsageOracle::Environment{});
  oracle.snapshot(false);
  oracle.snapshot(false);

  constexpr int kRounds = 41;
  std::vector<double> snapshotTimes, statTimes;
  size_t statted = 0;
  for (int round = 0; round < kRounds; ++round) {
    // Alternating which goes first keeps cache effects out of the comparison.
    std::optional<LiveUsageOracle::Snapshot> snapshot;
    auto timeSnapshot = [&] {
      auto t0 = steady_clock::now();
      snapshot = oracle.snapshot(false);
      snapshotTimes.push_back(secondsOf(steady_clock::now() - t0));
    };
    auto timeStatLoop = [&] {
      auto t0 = steady_clock::now();
      for (const auto& path : paths) {
        struct stat st {};
        statted += ::stat(path.c_str(), &st) == 0;
      }
      statTimes.push_back(secondsOf(steady_clock::now() - t0));
    };
    if (round % 2) {
      timeSnapshot();
      timeStatLoop();
    } else {
      timeStatLoop();
      timeSnapshot();
    }
    if (!snapshot || snapshot->counters.total() != 0) {
      std::fprintf(stderr, "idle snapshot counted usage\n");
      std::exit(1);
    }
  }
  if (statted != paths.size() * kRounds || oracle.files().size() != count) {
    std::fprintf(stderr, "idle: %zu files known, %zu expected\n", oracle.files().size(), count);
    std::exit(1);
  }
  std::sort(snapshotTimes.begin(), snapshotTimes.end());
  std::sort(statTimes.begin(), statTimes.end());
  double snapshotMedian = snapshotTimes[kRounds / 2], statMedian = statTimes[kRounds / 2];
  std::string n = std::to_string(count);
  figure("idle_snapshot_" + n + "_files", snapshotMedian * 1e6, "us");
  figure("stat_loop_" + n + "_files", statMedian * 1e6, "us");
  figure("idle_snapshot_vs_stat_loop_" + n + "_files", snapshotMedian / statMedian, "x");
}

// ---- appended bytes through the oracle ------------------------------------------------

// Appends generated sessions to `files` files under `home`, round robin in pieces of a
// few KiB as agents do, until `bytes` were written. Returns the expected sums. With a
// `mirror`, every piece is also appended to a file of the same relative path there.
bench::GroundTruth writeSessions(const fs::path& home, size_t files, size_t bytes, uint64_t seed,
                                 const fs::path& mirror = {}) {
  std::vector<bench::ClaudeSessionGenerator> claude;
  std::vector<bench::CodexSessionGenerator> codex;
  std::vector<std::string> paths;
  std::vector<size_t> generatorOf;  // file -> index into claude or codex
  WallTime start = system_clock::now();
  for (size_t i = 0; i < files; ++i) {
    if (i % 4 == 3) {
      generatorOf.push_back(codex.size());
      codex.emplace_back(seed + i, start, i % 8 == 7);
      fs::create_directories(home / ".codex/sessions/2026/01/01");
      paths.push_back((home / ".codex/sessions/2026/01/01" / ("rollout-" + std::to_string(i) + ".jsonl")).string());
    } else {
      generatorOf.push_back(claude.size());
      claude.emplace_back(seed + i, start);
      fs::path dir = home / ".claude/projects" / ("p" + std::to_string(i % 50));
      fs::create_directories(dir);
      paths.push_back((dir / ("s" + std::to_string(i) + ".jsonl")).string());
    }
  }
  std::vector<int> fds, mirrorFds;
  for (const auto& path : paths) {
    fds.push_back(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!mirror.empty()) {
      fs::path copy = mirror / fs::path(path).lexically_relative(home);
      fs::create_directories(copy.parent_path());
      mirrorFds.push_back(::open(copy.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    }
  }
  size_t written = 0;
  std::string chunk;
  const size_t perWrite = 16u << 10;
  while (written < bytes) {
    for (size_t i = 0; i < files && written < bytes; ++i) {
      chunk.clear();
      if (i % 4 == 3) {
        codex[generatorOf[i]].append(chunk, perWrite);
      } else {
        claude[generatorOf[i]].append(chunk, perWrite);
      }
      // Whole lines in one write, sometimes split in two to exercise partial lines.
      size_t split = (i % 5 == 0) ? chunk.size() / 2 : chunk.size();
      if (::write(fds[i], chunk.data(), split) < 0 ||
          (split < chunk.size() && ::write(fds[i], chunk.data() + split, chunk.size() - split) < 0)) {
        std::perror("write");
        std::exit(1);
      }
      if (!mirror.empty() && ::write(mirrorFds[i], chunk.data(), chunk.size()) < 0) {
        std::perror("write");
        std::exit(1);
      }
      written += chunk.size();
    }
  }
  for (int fd : fds) ::close(fd);
  for (int fd : mirrorFds) ::close(fd);
  bench::GroundTruth total;
  for (const auto& g : claude) total += g.truth();
  for (const auto& g : codex) total += g.truth();
  return total;
}

void appendThroughput(size_t bytes, int cadenceMs) {
  ScratchHome home;
  ScratchHome mirror;
  fs::create_directories(home.path / ".claude/projects");
  fs::create_directories(home.path / ".codex/sessions");
  constexpr size_t kFiles = 64;

  int go[2], result[2];
  if (::pipe(go) != 0 || ::pipe(result) != 0) std::exit(1);
  // The writer is forked before the oracle starts any thread.
  pid_t writer = ::fork();
  if (writer == 0) {
    char start;
    if (::read(go[0], &start, 1) != 1) ::_exit(1);
    bench::GroundTruth truth = writeSessions(home.path, kFiles, bytes, 4242, mirror.path);
    if (::write(result[1], &truth, sizeof truth) != sizeof truth) ::_exit(1);
    ::_exit(0);
  }

  SystemTime clock;
  LiveUsageOracle oracle(home.path, clock.now() - seconds(2), clock, LiveUsageOracle::Environment{});
  oracle.snapshot(false);
  auto begin = steady_clock::now();
  double cpuBegin = processCpuSeconds();
  if (::write(go[1], "g", 1) != 1) std::exit(1);

  bench::GroundTruth truth;
  bool writerDone = false;
  steady_clock::duration inSnapshots{};
  UsageCounters counted;
  auto deadline = steady_clock::now() + minutes(10);
  for (;;) {
    auto t0 = steady_clock::now();
    counted = oracle.snapshot(false)->counters;
    inSnapshots += steady_clock::now() - t0;
    if (!writerDone) {
      int status = 0;
      if (::waitpid(writer, &status, WNOHANG) == writer) {
        writerDone = true;
        if (::read(result[0], &truth, sizeof truth) != sizeof truth) std::exit(1);
        continue;  // one more snapshot over the complete files
      }
    } else if (counted == truth.counters || steady_clock::now() > deadline) {
      break;
    }
    std::this_thread::sleep_for(milliseconds(cadenceMs));
  }
  double wall = secondsOf(steady_clock::now() - begin);
  double oracleCpu = processCpuSeconds() - cpuBegin;
  if (counted != truth.counters) {
    std::fprintf(stderr, "oracle counted %lld tokens, the corpus holds %lld\n", (long long)counted.total(),
                 (long long)truth.counters.total());
    std::exit(1);
  }
  double megabytes = double(truth.bytes) / 1e6;

  // The parser alone over the same bytes, read and framed the cheapest way. It reads the
  // writer's second copy: the first read of freshly written pages costs the kernel more
  // than a repeated one, and the oracle always reads fresh pages.
  auto p0 = steady_clock::now();
  double parserCpuBegin = processCpuSeconds();
  UsageCounters parsed;
  std::vector<char> buffer(256u << 10);
  std::string carry;
  // The same parser work as the oracle's: Claude lines go through one shared ledger and
  // the start-time filter, so the ratio shows the oracle's own cost.
  UsageEventLedger ledger;
  UsageLogParser::Context claudeContext{system_clock::now() - hours(1), &ledger, system_clock::now()};
  for (const auto& state : oracle.files()) {
    UsageParserState parserState;
    UsageLogParser::Context context = state.second.source == UsageSource::claude ? claudeContext : UsageLogParser::Context{};
    fs::path copy = mirror.path / fs::path(state.first).lexically_relative(home.path);
    int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    carry.clear();
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      std::string_view rest(buffer.data(), size_t(n));
      for (size_t feed; (feed = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(feed + 1)) {
        std::string_view line = rest.substr(0, feed);
        if (!carry.empty()) {
          carry.append(line);
          line = carry;
        }
        if (auto event = UsageLogParser::parse(line, state.second.source, parserState, context)) {
          parsed += event->counters;
        }
        carry.clear();
      }
      carry.append(rest);
    }
    ::close(fd);
  }
  double parserSeconds = secondsOf(steady_clock::now() - p0);
  double parserCpu = processCpuSeconds() - parserCpuBegin;
  if (parsed != truth.counters) {
    std::fprintf(stderr, "the parser alone counted %lld tokens, the corpus holds %lld\n", (long long)parsed.total(),
                 (long long)truth.counters.total());
    std::exit(1);
  }

  figure("append_corpus", megabytes, "MB");
  figure("append_wall_rate", megabytes / wall, "MB/s");
  figure("append_counted_in_snapshots", megabytes / secondsOf(inSnapshots), "MB/s");
  figure("append_parser_alone", megabytes / parserSeconds, "MB/s");
  figure("append_oracle_vs_parser_wall", 100.0 * parserSeconds / secondsOf(inSnapshots), "%");
  // The same per CPU second, which a busy shared machine disturbs far less.
  figure("append_oracle_cpu", megabytes / oracleCpu, "MB/cpu-s");
  figure("append_parser_alone_cpu", megabytes / parserCpu, "MB/cpu-s");
  figure("append_oracle_vs_parser_cpu", 100.0 * parserCpu / oracleCpu, "%");
}

// ---- `quorvin usage` as a program ------------------------------------------------------

struct Child {
  pid_t pid = -1;
  FILE* output = nullptr;
};

Child spawnUsage(const fs::path& home, const char* interval) {
  std::string binary = std::string(QUORVIN_BINARY_DIR) + "/src/app/quorvin";
  int out[2];
  if (::pipe(out) != 0) std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string homeText = home.string();
  const char* argv[] = {binary.c_str(), "usage", "--home", homeText.c_str(), "--interval", interval, "--json", nullptr};
  Child child;
  if (posix_spawn(&child.pid, binary.c_str(), &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", binary.c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  child.output = ::fdopen(out[0], "r");
  return child;
}

// The total of the next snapshot line, or -1 at the end of the output.
int64_t nextTotal(Child& child) {
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = ::getline(&line, &capacity, child.output);
  int64_t total = -1;
  if (length > 0) {
    boost::system::error_code ec;
    auto value = boost::json::parse(std::string_view(line, size_t(length)), ec);
    if (!ec) {
      total = 0;
      for (const auto& [key, field] : value.at("counters").as_object()) total += field.as_int64();
    }
  }
  std::free(line);
  return total;
}

int stopChild(Child& child) {
  ::kill(child.pid, SIGTERM);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ::fclose(child.output);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void usagePeakMemory(size_t bytes) {
  ScratchHome home;
  fs::create_directories(home.path / ".claude/projects");
  fs::create_directories(home.path / ".codex/sessions");
  Child child = spawnUsage(home.path, "0.5");
  if (nextTotal(child) != 0) std::exit(1);  // started: the initial inventory is done
  bench::GroundTruth truth = writeSessions(home.path, 1000, bytes, 777);
  int64_t total = 0;
  while (total >= 0 && total != truth.counters.total()) total = nextTotal(child);
  double peak = statusKiB(child.pid, "VmHWM:");
  int exit = stopChild(child);
  if (total != truth.counters.total() || exit != 0) {
    std::fprintf(stderr, "quorvin usage counted %lld of %lld tokens, exit %d\n", (long long)total,
                 (long long)truth.counters.total(), exit);
    std::exit(1);
  }
  figure("usage_tailed_bytes", double(truth.bytes) / 1e6, "MB");
  figure("usage_peak_rss", peak / 1024.0, "MiB");
}

void usageIdleCpu(int idleSeconds) {
  ScratchHome home;
  makeIdleFiles(home.path, 1000);
  Child child = spawnUsage(home.path, "1");
  if (nextTotal(child) != 0) std::exit(1);
  double before = cpuSeconds(child.pid);
  auto t0 = steady_clock::now();
  // Drain the output as it comes, as a terminal would.
  while (steady_clock::now() - t0 < seconds(idleSeconds)) nextTotal(child);
  double used = cpuSeconds(child.pid) - before;
  double wall = secondsOf(steady_clock::now() - t0);
  int exit = stopChild(child);
  if (exit != 0) std::exit(1);
  figure("usage_idle_cpu_1000_files", 100.0 * used / wall, "% of a core");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Live usage oracle benchmarks"};
  size_t streamBytes = 256u << 20;
  size_t rssBytes = size_t(1) << 30;
  int cpuSeconds = 60;
  app.add_option("--stream-bytes", streamBytes, "Bytes appended for the throughput figure");
  app.add_option("--rss-bytes", rssBytes, "Bytes appended to 1,000 files for the memory figure (default 1 GiB)");
  app.add_option("--cpu-seconds", cpuSeconds, "Seconds of idle `quorvin usage` for the CPU figure");
  int cadenceMs = 100;
  app.add_option("--cadence-ms", cadenceMs, "Milliseconds between snapshots while the writer appends");
  std::vector<std::string> only;
  app.add_option("--only", only, "Run only these parts: idle, append, rss, cpu")->delimiter(',');
  CLI11_PARSE(app, argc, argv);
  auto runs = [&](const char* part) { return only.empty() || std::find(only.begin(), only.end(), part) != only.end(); };

  if (runs("idle")) {
    idleSnapshot(1000);
    idleSnapshot(10000);
  }
  if (runs("append")) appendThroughput(streamBytes, cadenceMs);
  if (runs("rss")) usagePeakMemory(rssBytes);
  if (runs("cpu")) usageIdleCpu(cpuSeconds);
  return 0;
}
