// The tray application's model side without Qt: the launch opening, the feed the views read
// and the peer socket a later launch talks to.
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>

#include "shell/DesktopStartup.h"
#include "shell/PeerChannel.h"
#include "sources/CursorLedger.h"
#include "support/TempFolder.h"

namespace quorvin {
namespace {

using Kind = LaunchOpening::Kind;
using presentation::SavingsPlanPage;
constexpr auto disconnected = ConnectionStatus::Kind::disconnected;
constexpr auto connected = ConnectionStatus::Kind::connected;

TEST(LaunchOpeningTest, ScreenshotHooksWinAndOnlyAnUnpairedFirstRunOpensAndMarks) {
  // First run of an unpaired machine: opens once and sets the flag.
  auto first = launchOpening({}, false, disconnected);
  EXPECT_EQ(first.kind, Kind::dashboard);
  EXPECT_TRUE(first.marksFirstRun);
  // Later launches, and a paired machine (which must not set the flag either).
  EXPECT_EQ(launchOpening({}, true, disconnected).kind, Kind::nothing);
  auto paired = launchOpening({}, false, connected);
  EXPECT_EQ(paired.kind, Kind::nothing);
  EXPECT_FALSE(paired.marksFirstRun);
  EXPECT_EQ(launchOpening({}, false, ConnectionStatus::Kind::pairing).kind, Kind::nothing);

  // A hook replaces the first run entirely: it opens its window and leaves the flag alone.
  LaunchHooks savings{.captureSavings = "results", .captureDashboard = true};
  auto opened = launchOpening(savings, false, disconnected);
  EXPECT_EQ(opened.kind, Kind::savings);
  EXPECT_EQ(opened.page, SavingsPlanPage::results);
  EXPECT_FALSE(opened.marksFirstRun);
  EXPECT_EQ(launchOpening({.captureSavings = "apply"}, true, connected).page, SavingsPlanPage::apply);
  EXPECT_EQ(launchOpening({.captureSavings = "nonsense"}, true, connected).page, SavingsPlanPage::opportunity);
  auto dashboard = launchOpening({.captureDashboard = true}, true, connected);
  EXPECT_EQ(dashboard.kind, Kind::dashboard);
  EXPECT_FALSE(dashboard.marksFirstRun);
}

TEST(LaunchOpeningTest, OnlyTheValueOneTurnsTheDashboardHookOn) {
  ::setenv("QUORVIN_CAPTURE", "yes", 1);
  ::setenv("QUORVIN_CAPTURE_DASHBOARD", "0", 1);
  ::unsetenv("QUORVIN_CAPTURE_SAVINGS");
  EXPECT_FALSE(LaunchHooks::fromEnvironment().captureDashboard);
  ::setenv("QUORVIN_CAPTURE", "1", 1);
  EXPECT_TRUE(LaunchHooks::fromEnvironment().captureDashboard);
  ::setenv("QUORVIN_CAPTURE_SAVINGS", "", 1);
  EXPECT_FALSE(LaunchHooks::fromEnvironment().captureSavings);
  ::unsetenv("QUORVIN_CAPTURE");
  ::unsetenv("QUORVIN_CAPTURE_DASHBOARD");
  ::unsetenv("QUORVIN_CAPTURE_SAVINGS");
}

// What the front end was asked to do, from the model thread.
struct RecordingFront {
  std::mutex mutex;
  std::condition_variable changed;
  int shows = 0;

  DesktopStartup::Front front() {
    DesktopStartup::Front f;
    f.showFromPeer = [this] {
      std::lock_guard lock(mutex);
      ++shows;
      changed.notify_all();
    };
    return f;
  }
  void waitForShows(int count) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return shows >= count; });
  }
};

TEST(DesktopStartupTest, UnpairedFirstRunOpensTheDashboardAndAnswersLaterLaunches) {
  test::TempFolder dir;
  AppServices::Options options;
  options.paths.home = dir / "home";
  options.paths.configHome = dir / "config";
  options.paths.dataHome = dir / "data";
  options.paths.runtimeDir = dir / "run";
  options.apiUrl = "https://127.0.0.1:9";  // nothing listens: the machine stays unpaired
  options.watchChanges = false;
  options.poolThreads = 1;
  // The Cursor ledger on disk reaches the views as an extra the manager does not carry.
  test::writeFile(options.paths.appDataDir() / std::string(CursorLedgerFormat::kFileName),
                  R"({"version":1,"accounts":{}})");
  // So do the coding tools the savings window would set RTK up for.
  std::filesystem::create_directories(options.paths.home / ".claude");

  RecordingFront recorder;
  {
    DesktopStartup desktop(options, {});
    std::mutex mutex;
    std::condition_variable published;
    int publications = 0;
    desktop.source().subscribe([&] {
      std::lock_guard lock(mutex);
      ++publications;
      published.notify_all();
    });
    desktop.start(recorder.front());
    recorder.waitForShows(1);  // the first run, about a second after launch
    {
      std::unique_lock lock(mutex);
      published.wait(lock, [&] { return publications > 0; });
    }
    const auto state = desktop.source().current();
    EXPECT_EQ(state->status, ConnectionStatus::disconnected());
    EXPECT_TRUE(state->cursorStoreExists);
    EXPECT_EQ(state->savingsTargets, std::vector<std::string>{"Claude Code"});

    // A later launch: the running copy is asked to show itself, and `quorvin status` answers.
    const auto socket = PeerChannel::defaultPath(options.paths);
    EXPECT_EQ(PeerChannel::request(socket, PeerChannel::kShowPopover), "ok");
    recorder.waitForShows(2);
    const auto reply = PeerChannel::request(socket, PeerChannel::kStatus);
    ASSERT_TRUE(reply);
    const auto report = boost::json::parse(*reply).as_object();
    EXPECT_EQ(report.at("status").as_string(), "disconnected");
    EXPECT_FALSE(report.at("headless").as_bool());
    desktop.stop();
  }
  // The flag was written with the settings at the end.
  std::ifstream in(options.paths.defaultsFile());
  std::stringstream text;
  text << in.rdbuf();
  const auto defaults = boost::json::parse(text.str()).as_object();
  ASSERT_TRUE(defaults.contains(LaunchOpening::kFirstRunKey)) << text.str();
  EXPECT_TRUE(defaults.at(LaunchOpening::kFirstRunKey).as_bool());
  EXPECT_FALSE(std::filesystem::exists(PeerChannel::defaultPath(options.paths)));
}

}  // namespace
}  // namespace quorvin
