// logind's PrepareForSleep on a private bus standing in for the system bus
// (tests/support/with-system-bus): the shell stops publishing before sleep and resumes after.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <boost/asio/io_context.hpp>
#include <cstdlib>
#include <vector>

#include "platform/SleepWatcher.h"

namespace quorvin {
namespace {

// A client of the private bus; with `name`, it owns that name.
struct BusClient {
  explicit BusClient(const char* name = nullptr) {
    EXPECT_GE(sd_bus_open_system(&bus), 0);
    if (name != nullptr) {
      EXPECT_GE(sd_bus_request_name(bus, name, 0), 0);
    }
  }
  ~BusClient() { sd_bus_flush_close_unref(bus); }

  // Returns once the bus daemon has routed the signal: a call answered by the daemon comes
  // back after everything this client sent before it.
  void prepareForSleep(bool sleeping) {
    ASSERT_GE(sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                                 "b", static_cast<int>(sleeping)),
              0);
    sd_bus_message* reply = nullptr;
    ASSERT_GE(sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                                 nullptr, &reply, ""),
              0);
    sd_bus_message_unref(reply);
  }

  sd_bus* bus = nullptr;
};

TEST(SleepWatcherTest, FollowsLogindOnlyAndStaysQuietWithoutASystemBus) {
  ASSERT_NE(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), nullptr) << "run under tests/support/with-system-bus";
  boost::asio::io_context context;
  std::vector<bool> seen;
  SleepWatcher watcher(context, [&](bool sleeping) { seen.push_back(sleeping); });
  ASSERT_TRUE(watcher.active());

  // The same signal from a client that is not logind is not a sleep.
  BusClient impostor;
  impostor.prepareForSleep(true);
  BusClient logind("org.freedesktop.login1");
  logind.prepareForSleep(true);
  logind.prepareForSleep(false);
  while (seen.size() < 2) context.run_one();
  context.poll();
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));

  // No system bus (containers, some SSH sessions): never active, never reports.
  const std::string address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quorvin-test", 1);
  boost::asio::io_context quiet;
  SleepWatcher none(quiet, [&](bool) { ADD_FAILURE() << "no bus, no events"; });
  EXPECT_FALSE(none.active());
  quiet.poll();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
}

}  // namespace
}  // namespace quorvin
