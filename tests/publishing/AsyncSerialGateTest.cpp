// The serial gate: strict arrival order, direct hand-over, and cancelled tasks that must
// never leave the gate locked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Runtime.h"
#include "platform/Task.h"
#include "platform/VirtualClock.h"
#include "publishing/AsyncSerialGate.h"

namespace quorvin {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

class AsyncSerialGateTest : public ::testing::Test {
 protected:
  Runtime runtime{1};
  VirtualClock clock;
  AsyncSerialGate gate;
  std::vector<std::string> events;

  Task start(asio::awaitable<void> body) { return Task::start(runtime.model(), std::move(body)); }
  bool runUntil(const std::function<bool()>& done) { return clock.run(runtime, done); }
};

// Acquires, records, holds the gate for `hold` of virtual time, records, releases.
asio::awaitable<void> section(AsyncSerialGate* gate, VirtualClock* clock, std::vector<std::string>* events,
                              std::string name, Duration hold) {
  auto lease = co_await gate->acquire();
  events->push_back(name + " in");
  co_await clock->sleep(hold);
  events->push_back(name + " out");
}

asio::awaitable<void> holdUntilReleased(AsyncSerialGate* gate, std::vector<std::string>* events,
                                        AsyncSerialGate::Lease* out) {
  *out = co_await gate->acquire();
  events->push_back("holder in");
}

TEST_F(AsyncSerialGateTest, WaitersAreServedInArrivalOrderOnePerRelease) {
  AsyncSerialGate::Lease held;
  Task holder = start(holdUntilReleased(&gate, &events, &held));
  runUntil([&] { return holder.ended(); });
  ASSERT_TRUE(held.holds());

  Task a = start(section(&gate, &clock, &events, "a", 0s));
  Task b = start(section(&gate, &clock, &events, "b", 0s));
  Task c = start(section(&gate, &clock, &events, "c", 0s));
  clock.runUntilIdle(runtime);
  EXPECT_EQ(gate.waiting(), 3u);
  EXPECT_EQ(events, std::vector<std::string>{"holder in"});

  held.release();
  clock.runUntilIdle(runtime);
  EXPECT_EQ(events, (std::vector<std::string>{"holder in", "a in", "a out", "b in", "b out", "c in", "c out"}));
  EXPECT_FALSE(gate.locked());
}

TEST_F(AsyncSerialGateTest, ReleaseWithNoWaitersFreesTheGateAndTheNextAcquireDoesNotSuspend) {
  AsyncSerialGate::Lease first;
  Task one = start(holdUntilReleased(&gate, &events, &first));
  runUntil([&] { return one.ended(); });
  first.release();
  EXPECT_FALSE(gate.locked());
  first.release();  // a second release of the same lease changes nothing
  EXPECT_FALSE(gate.locked());

  // Taken within the same model-thread step in which the task starts.
  AsyncSerialGate::Lease second;
  Task two = start(holdUntilReleased(&gate, &events, &second));
  runtime.modelContext().restart();
  while (!two.ended() && runtime.modelContext().poll_one() > 0) {
  }
  EXPECT_TRUE(second.holds());
  EXPECT_EQ(gate.waiting(), 0u);
}

asio::awaitable<void> releaseThenArrive(AsyncSerialGate* gate, VirtualClock* clock,
                                        std::vector<std::string>* events, AsyncSerialGate::Lease* held,
                                        Task* newcomer, asio::any_io_executor model) {
  held->release();  // hands the gate to the waiter, which has not resumed yet
  *newcomer = Task::start(model, section(gate, clock, events, "newcomer", 0s));
  co_return;
}

TEST_F(AsyncSerialGateTest, NewcomerCannotSlipInBeforeTheWaiterThatWasHandedTheGate) {
  AsyncSerialGate::Lease held;
  Task holder = start(holdUntilReleased(&gate, &events, &held));
  runUntil([&] { return holder.ended(); });
  Task waiter = start(section(&gate, &clock, &events, "waiter", 10s));
  clock.runUntilIdle(runtime);
  ASSERT_EQ(gate.waiting(), 1u);

  Task newcomer;
  Task handOver = start(releaseThenArrive(&gate, &clock, &events, &held, &newcomer, runtime.model()));
  clock.runUntilIdle(runtime);
  EXPECT_EQ(events, (std::vector<std::string>{"holder in", "waiter in", "waiter out", "newcomer in", "newcomer out"}));
}

TEST_F(AsyncSerialGateTest, CancelledWaiterGetsTheGateInTurnAndPassesItOn) {
  AsyncSerialGate::Lease held;
  Task holder = start(holdUntilReleased(&gate, &events, &held));
  runUntil([&] { return holder.ended(); });
  Task cancelled = start(section(&gate, &clock, &events, "cancelled", 10s));
  Task next = start(section(&gate, &clock, &events, "next", 1s));
  clock.runUntilIdle(runtime);
  ASSERT_EQ(gate.waiting(), 2u);

  cancelled.cancel();
  clock.runUntilIdle(runtime);
  // Still queued: the gate does not watch cancellation, and order is kept.
  EXPECT_EQ(gate.waiting(), 2u);

  held.release();
  ASSERT_TRUE(runUntil([&] { return cancelled.ended() && next.ended(); }));
  // The cancelled task held the gate only until its next suspension ended it.
  EXPECT_EQ(events, (std::vector<std::string>{"holder in", "cancelled in", "next in", "next out"}));
  EXPECT_FALSE(gate.locked());
  EXPECT_EQ(cancelled.failure(), nullptr);
}

TEST_F(AsyncSerialGateTest, CancelledHolderReleasesTheGateOnItsWayOut) {
  Task holder = start(section(&gate, &clock, &events, "holder", 3600s));
  Task waiter = start(section(&gate, &clock, &events, "waiter", 1s));
  runUntil([&] { return gate.waiting() == 1; });
  holder.cancel();
  ASSERT_TRUE(runUntil([&] { return holder.ended() && waiter.ended(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"holder in", "waiter in", "waiter out"}));
  EXPECT_FALSE(gate.locked());
  EXPECT_EQ(clock.now(), WallTime(std::chrono::seconds(1'767'225'600)) + 1s);
}

}  // namespace
}  // namespace quorvin
