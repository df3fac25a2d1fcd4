// Costs of the runtime pieces: a virtual-time schedule, a settings save, a child process.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/FileUserDefaults.h"
#include "platform/ProcessRunner.h"
#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "platform/Task.h"
#include "platform/VirtualClock.h"

namespace {

namespace asio = boost::asio;
using namespace quorvin;
using namespace std::chrono_literals;

asio::awaitable<void> polls(VirtualClock* clock, BlockingPool* pool, int count, bool hop) {
  auto work = [] { return 1; };
  for (int i = 0; i < count; ++i) {
    co_await clock->sleep(3s);
    if (hop) co_await runBlocking(*pool, work);
  }
}

void BM_VirtualSchedule300Polls(benchmark::State& state) {
  const bool hop = state.range(0) != 0;
  for (auto _ : state) {
    Runtime runtime{2};
    VirtualClock clock;
    Task task = Task::start(runtime.model(), polls(&clock, &runtime.pool(), 300, hop));
    clock.run(runtime, [&] { return task.ended(); });
  }
}
BENCHMARK(BM_VirtualSchedule300Polls)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_SettingsSave(benchmark::State& state) {
  char pattern[] = "/tmp/quorvin-bench-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  FileUserDefaults store(dir / "defaults.json");
  for (int i = 0; i < 50; ++i) store.setString("key" + std::to_string(i), std::string(40, 'v'));
  int64_t round = 0;
  for (auto _ : state) {
    store.setInteger("round", ++round);
    store.flush();  // temporary, fsync, rename, fsync of the folder
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SettingsSave)->Unit(benchmark::kMicrosecond);

asio::awaitable<void> runOnce(ProcessRunner* runner, ProcessResult* out) {
  *out = co_await runner->run({.argv = {"/bin/true"}});
}

void BM_ProcessRunTrue(benchmark::State& state) {
  Runtime runtime{1};
  SystemClock clock;
  ProcessRunner runner(clock, runtime);
  auto& io = runtime.modelContext();
  auto guard = asio::make_work_guard(io);
  for (auto _ : state) {
    ProcessResult result;
    Task task = Task::start(runtime.model(), runOnce(&runner, &result));
    while (!task.ended()) io.run_one();
    if (!result.succeeded()) state.SkipWithError("run failed");
  }
}
BENCHMARK(BM_ProcessRunTrue)->Unit(benchmark::kMicrosecond);

}  // namespace
