// The runtime's task model under the virtual clock: schedules, cancellation, retirement,
// pool hops and the coalesced change notification.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/AwaitOn.h"
#include "platform/BlockingPool.h"
#include "platform/ChangeNotifier.h"
#include "platform/Runtime.h"
#include "platform/Task.h"
#include "platform/VirtualClock.h"

namespace quorvin {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

class RuntimeTest : public ::testing::Test {
 protected:
  // The clock is destroyed first: sleepers it still holds use the runtime's executors.
  Runtime runtime{2};
  VirtualClock clock;
  const WallTime start = clock.now();

  long secondsSinceStart() const {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(clock.now() - start).count());
  }
};

asio::awaitable<void> poll(VirtualClock* clock, BlockingPool* pool, int* polls, int count) {
  for (int i = 0; i < count; ++i) {
    co_await clock->sleep(3s);
    // Every poll does a little blocking work, as a real poll would do its HTTP call.
    *polls += co_await runBlocking(*pool, [] { return 1; });
  }
}

TEST_F(RuntimeTest, ThreeHundredPollsThreeSecondsApartRunWithoutWaiting) {
  int polls = 0;
  Task task = Task::start(runtime.model(), poll(&clock, &runtime.pool(), &polls, 300));
  ASSERT_TRUE(clock.run(runtime, [&] { return task.ended(); }));
  EXPECT_EQ(polls, 300);
  EXPECT_EQ(secondsSinceStart(), 900);
  EXPECT_EQ(task.failure(), nullptr);
}

asio::awaitable<void> stampAroundBlockingWork(VirtualClock* clock, BlockingPool* pool, std::vector<WallTime>* stamps) {
  stamps->push_back(clock->now());
  auto work = [clock] {
    std::this_thread::sleep_for(30ms);  // real work that takes real time
    return clock->now();
  };
  WallTime inside = co_await runBlocking(*pool, work);
  stamps->push_back(inside);
  stamps->push_back(clock->now());
}

asio::awaitable<void> sleepThenStamp(VirtualClock* clock, Duration duration, std::vector<WallTime>* stamps) {
  co_await clock->sleep(duration);
  stamps->push_back(clock->now());
}

// Blocking work in flight, awaited from the model thread or from a strand of the pool, holds
// virtual time still: a sleeper wakes only once the work is done.
TEST_F(RuntimeTest, TimeDoesNotJumpWhileWorkIsInFlightOnThePool) {
  std::vector<WallTime> fromModel, onStrand, sleeper;
  Task a = Task::start(runtime.model(), stampAroundBlockingWork(&clock, &runtime.pool(), &fromModel));
  Task b = Task::start(runtime.pool().makeStrand(), stampAroundBlockingWork(&clock, &runtime.pool(), &onStrand));
  Task c = Task::start(runtime.model(), sleepThenStamp(&clock, 5s, &sleeper));
  ASSERT_TRUE(clock.run(runtime, [&] { return a.ended() && b.ended() && c.ended(); }));
  EXPECT_EQ(fromModel, std::vector<WallTime>(3, start));
  EXPECT_EQ(onStrand, std::vector<WallTime>(3, start));
  EXPECT_EQ(sleeper, std::vector<WallTime>{start + 5s});
}

// Hops to the pool and back, then lingers in its last step on the strand, where a cancellation
// posted from the model thread has to queue behind it.
asio::awaitable<int> answerSlowly(BlockingPool* pool, std::atomic<bool>* lastStep) {
  const int answer = co_await runBlocking(*pool, [] { return 42; });
  lastStep->store(true);
  std::this_thread::sleep_for(std::chrono::microseconds(300));
  co_return answer;
}

asio::awaitable<void> awaitOnStrand(asio::strand<TrackedExecutor> strand, asio::awaitable<int> work, int* answer) {
  auto onStrand = awaitOn(strand, std::move(work));
  *answer = co_await std::move(onStrand);
}

// A cancellation sent from the model thread while the work on a strand is ending must not
// reach freed memory (plain co_spawn did), and must still stop work that is waiting.
TEST_F(RuntimeTest, CancellingWorkOnAStrandIsSafeAtEveryMoment) {
  auto strand = runtime.pool().makeStrand();
  for (int round = 0; round < 50; ++round) {
    int answer = 0;
    std::atomic<bool> lastStep = false;
    Task task = Task::start(runtime.model(), awaitOnStrand(strand, answerSlowly(&runtime.pool(), &lastStep), &answer));
    runtime.modelContext().restart();
    while (!lastStep.load()) runtime.modelContext().poll_one();
    task.cancel();
    runtime.runUntil([&] { return task.ended(); });
  }

  int answered = 0;
  bool woke = false;
  Task waiting = Task::start(runtime.model(), awaitOnStrand(strand, [](VirtualClock* c, bool* w) -> asio::awaitable<int> {
                               co_await c->sleep(3600s);
                               *w = true;
                               co_return 1;
                             }(&clock, &woke), &answered));
  clock.run(runtime, [&] { return clock.sleepers() == 1; });
  waiting.cancel();
  runtime.runUntil([&] { return waiting.ended(); });
  EXPECT_FALSE(woke);
  EXPECT_EQ(clock.now(), start);
}

asio::awaitable<void> sleepLong(VirtualClock* clock, bool* woke) {
  co_await clock->sleep(3600s);
  *woke = true;
}

TEST_F(RuntimeTest, CancelEndsASleepingTaskWithoutMovingTime) {
  bool woke = false;
  Task task = Task::start(runtime.model(), sleepLong(&clock, &woke));
  clock.run(runtime, [&] { return clock.sleepers() == 1; });
  task.cancel();
  clock.runUntilIdle(runtime);
  EXPECT_TRUE(task.ended());
  EXPECT_FALSE(woke);
  EXPECT_EQ(task.failure(), nullptr);  // cancellation is not a failure
  EXPECT_EQ(clock.sleepers(), 0u);
  EXPECT_EQ(clock.now(), start);

  // Cancelled before it ever ran: the body does not start.
  bool secondWoke = false;
  Task early = Task::start(runtime.model(), sleepLong(&clock, &secondWoke));
  early.cancel();
  clock.runUntilIdle(runtime);
  EXPECT_TRUE(early.ended());
  EXPECT_FALSE(secondWoke);
  EXPECT_EQ(clock.now(), start);
}

asio::awaitable<void> sleepThenCleanUp(VirtualClock* clock, bool* cleaned) {
  try {
    co_await clock->sleep(3600s);
  } catch (const boost::system::system_error&) {
  }
  // Cleanup that itself suspends: leave the cancelled state first.
  co_await asio::this_coro::reset_cancellation_state();
  co_await clock->sleep(5s);
  *cleaned = true;
}

asio::awaitable<void> retireAndWait(RetiredTasks* retired, Task task, bool* cleaned, bool* sawCleaned) {
  retired->retire(std::move(task));
  co_await retired->waitAll();
  *sawCleaned = *cleaned;
}

TEST_F(RuntimeTest, RetiredTaskIsKeptUntilItEnds) {
  bool cleaned = false, sawCleaned = false;
  RetiredTasks retired;
  Task worker = Task::start(runtime.model(), sleepThenCleanUp(&clock, &cleaned));
  clock.run(runtime, [&] { return clock.sleepers() == 1; });
  Task owner = Task::start(runtime.model(), retireAndWait(&retired, worker, &cleaned, &sawCleaned));
  ASSERT_TRUE(clock.run(runtime, [&] { return owner.ended(); }));
  EXPECT_TRUE(sawCleaned);
  EXPECT_EQ(secondsSinceStart(), 5);
  EXPECT_EQ(retired.size(), 0u);
}

asio::awaitable<void> hopAndCheck(BlockingPool* pool, std::thread::id model, std::shared_ptr<int> shared,
                                  std::vector<bool>* checks) {
  // Function objects are named before the co_await (GCC 12 destroys lambdas created inside
  // a co_await expression twice); the shared capture shows each copy is destroyed once.
  auto offModel = [model, shared] { return std::this_thread::get_id() == model ? -1 : 42 + *shared - 1; };
  int value = co_await runBlocking(*pool, offModel);
  checks->push_back(value == 42);
  checks->push_back(std::this_thread::get_id() == model);
  auto failing = [] { throw std::runtime_error("disk gone"); };
  try {
    co_await runBlocking(*pool, failing);
    checks->push_back(false);
  } catch (const std::runtime_error& e) {
    checks->push_back(std::string(e.what()) == "disk gone");
  }
  checks->push_back(std::this_thread::get_id() == model);
}

TEST_F(RuntimeTest, BlockingWorkRunsOnThePoolAndResumesOnTheModelThread) {
  std::vector<bool> checks;
  auto shared = std::make_shared<int>(1);
  Task task = Task::start(runtime.model(), hopAndCheck(&runtime.pool(), std::this_thread::get_id(), shared, &checks));
  ASSERT_TRUE(clock.run(runtime, [&] { return task.ended(); }));
  EXPECT_EQ(checks, (std::vector<bool>{true, true, true, true}));
  EXPECT_EQ(shared.use_count(), 1);
}

asio::awaitable<void> failWith(VirtualClock* clock) {
  co_await clock->sleep(1s);
  throw std::runtime_error("parse failed");
}

asio::awaitable<void> waitFor(Task task, VirtualClock* clock, WallTime* endedAt) {
  co_await task.wait();
  *endedAt = clock->now();
}

TEST_F(RuntimeTest, WaitResumesWhenTheTaskEndsAndKeepsItsFailure) {
  WallTime endedAt{};
  Task failing = Task::start(runtime.model(), failWith(&clock));
  Task waiter = Task::start(runtime.model(), waitFor(failing, &clock, &endedAt));
  ASSERT_TRUE(clock.run(runtime, [&] { return waiter.ended(); }));
  EXPECT_EQ(endedAt, start + 1s);
  ASSERT_NE(failing.failure(), nullptr);
  EXPECT_THROW(std::rethrow_exception(failing.failure()), std::runtime_error);
  EXPECT_EQ(waiter.failure(), nullptr);
}

TEST_F(RuntimeTest, ChangesInOneTurnGiveOneNotificationOnTheSubscribersThread) {
  ChangeNotifier notifier(runtime.model());
  asio::io_context front;
  auto keepFront = asio::make_work_guard(front);
  std::thread frontThread([&front] { front.run(); });
  std::mutex mutex;
  std::vector<std::thread::id> deliveries;
  auto subscription = notifier.subscribe(front.get_executor(), [&] {
    std::lock_guard lock(mutex);
    deliveries.push_back(std::this_thread::get_id());
  });
  int modelCalls = 0;
  auto onModel = notifier.subscribe(runtime.model(), [&] { ++modelCalls; });
  // A front end's own queue (Qt's queued calls) takes notifications through a function.
  std::vector<std::function<void()>> queued;
  auto ownQueue = notifier.subscribe([&](std::function<void()> job) { queued.push_back(std::move(job)); },
                                     [&] { ++modelCalls; });

  asio::post(runtime.model(), [&] {
    for (int i = 0; i < 5; ++i) notifier.changed();
  });
  clock.runUntilIdle(runtime);
  EXPECT_EQ(notifier.notifications(), 1u);
  EXPECT_EQ(modelCalls, 1);
  ASSERT_EQ(queued.size(), 1u);
  queued[0]();
  EXPECT_EQ(modelCalls, 2);
  ownQueue.reset();
  queued[0]();  // delivered late, after the subscription ended: dropped
  EXPECT_EQ(modelCalls, 2);
  modelCalls = 1;

  asio::post(runtime.model(), [&] { notifier.changed(); });
  clock.runUntilIdle(runtime);
  asio::post(runtime.model(), [&] { notifier.changed(); });
  clock.runUntilIdle(runtime);
  EXPECT_EQ(notifier.notifications(), 3u);
  EXPECT_EQ(modelCalls, 3);

  onModel.reset();
  asio::post(runtime.model(), [&] { notifier.changed(); });
  clock.runUntilIdle(runtime);
  EXPECT_EQ(modelCalls, 3);

  keepFront.reset();
  frontThread.join();
  ASSERT_EQ(deliveries.size(), 4u);
  for (auto id : deliveries) EXPECT_EQ(id, deliveries[0]);
  EXPECT_NE(deliveries[0], std::this_thread::get_id());
}

}  // namespace
}  // namespace quorvin
