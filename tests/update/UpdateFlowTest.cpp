#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <boost/asio/post.hpp>

#include "platform/Browser.h"
#include "update/ServedReleaseTest.h"
#include "update/TerminalUpdate.h"
#include "update/UpdateFlow.h"
#include "update/UpdateLaunchHandshake.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;

// No browser can run here: record what would have been opened.
class RecordingBrowser final : public Browser {
 public:
  bool open(std::string_view url) override {
    opened.emplace_back(url);
    return true;
  }
  std::vector<std::string> opened;
};

class UpdateFlowTest : public test::ServedReleaseTest {
 protected:
  std::unique_ptr<UpdateFlow> makeFlow(const fs::path& bundle) {
    UpdateFlow::Config config;
    config.api = server_.api;
    config.currentVersion = "1.0.0";
    config.bundle = bundle;
    config.processID = 99999;
    config.home = home_;
    config.updatesDirectory = updates_;
    UpdateFlow::Hooks hooks;
    hooks.changed = [this] {
      const auto& status = flow_->updateStatus();
      if (status && (statuses_.empty() || statuses_.back() != *status)) statuses_.push_back(*status);
    };
    hooks.needsAttention = [this] { ++attention_; };
    hooks.terminate = [this] { ++terminated_; };
    hooks.launch = [this](const UpdateInstaller::RelaunchPlan& plan) { launched_.push_back(plan.scriptURL); };
    return std::make_unique<UpdateFlow>(runtime_.model(), clock_, *http_, runtime_.pool(), browser_, config, hooks);
  }
  void runUntil(const std::function<bool()>& done) { ASSERT_TRUE(clock_.run(runtime_, done)); }
  // Runs `command` on the model thread, then until the flow is settled: no install running
  // and, while checks are scheduled, the loop asleep until its next check.
  void runCommand(const std::function<void()>& command) {
    bool ran = false;
    boost::asio::post(runtime_.model(), [&] {
      command();
      ran = true;
    });
    runUntil([&] { return ran && !flow_->isUpdating() && (!checking_ || clock_.sleepers() > 0); });
  }
  void startChecks() {
    checking_ = true;
    runCommand([this] { flow_->startUpdateChecks(); });
  }

  RecordingBrowser browser_;
  std::unique_ptr<UpdateFlow> flow_;
  std::vector<std::string> statuses_;
  std::vector<fs::path> launched_;
  int attention_ = 0;
  int terminated_ = 0;
  bool checking_ = false;
};

// `quorvin update`: a service that cannot be asked, or has no release manifest, is a failure
// with its reason, never "up to date".
TEST_F(UpdateFlowTest, TerminalUpdateNeverCallsAnUnansweredCheckUpToDate) {
  auto update = [this](std::string api, bool checkOnly, std::string& out, std::string& err) {
    UpdateFlow::Config config;
    config.api = std::move(api);
    config.currentVersion = "1.0.0";
    config.bundle = installed_;
    config.home = home_;
    config.updatesDirectory = updates_;
    std::ostringstream o, e;
    const int code =
        runTerminalUpdate(checkOnly, TerminalUpdateParts{runtime_, clock_, *http_, &browser_, config}, o, e);
    out = o.str();
    err = e.str();
    return code;
  };
  std::string out, err;
  EXPECT_EQ(update("https://127.0.0.1:9", true, out, err), 1);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(err.starts_with("Quorvin could not check for updates at https://127.0.0.1:9: ")) << err;
  EXPECT_EQ(update(server_.api, false, out, err), 1) << "nothing published yet";
  EXPECT_EQ(err, "Quorvin could not check for updates at " + server_.api + ": the service answered HTTP 404\n");
  EXPECT_TRUE(browser_.opened.empty());
}

TEST_F(UpdateFlowTest, SixHourlyCheckFindsAReleaseAndInstallsItWithoutAsking) {
  flow_ = makeFlow(installed_);
  const auto start = clock_.now();
  startChecks();
  EXPECT_FALSE(flow_->availableUpdate()) << "nothing published yet";
  EXPECT_EQ(clock_.sleepers(), 1u);

  publish("2.0.0");
  runUntil([this] { return terminated_ > 0; });
  EXPECT_EQ(clock_.now() - start, std::chrono::seconds(21'600));
  EXPECT_EQ(flow_->updateVersion(), "2.0.0");
  ASSERT_EQ(launched_.size(), 1u);
  EXPECT_TRUE(fs::exists(launched_[0]));
  EXPECT_EQ(statuses_, (std::vector<std::string>{"Downloading v2.0.0\u2026", "Installing v2.0.0 and restarting\u2026"}));
  EXPECT_FALSE(flow_->isUpdating());
  EXPECT_EQ(attention_, 0);
  checking_ = false;
  runCommand([this] { flow_->stopUpdateChecks(); });
  runUntil([this] { return clock_.sleepers() == 0; });
}

TEST_F(UpdateFlowTest, FailedInstallsEndAsSentencesAndOnlyTheUsersAskForAttention) {
  publish("2.0.0", [](const fs::path& b) { test::writeFile(b / "bin/extra", "x"); });
  flow_ = makeFlow(installed_);
  startChecks();
  const std::string failure = "Update failed: The system rejected the update signature. file added: bin/extra";
  EXPECT_EQ(flow_->updateStatus(), failure);
  EXPECT_EQ(attention_, 0) << "an automatic install fails quietly";

  runCommand([this] { flow_->openUpdate(); });
  EXPECT_EQ(flow_->updateStatus(), failure);
  EXPECT_EQ(attention_, 1);
  EXPECT_TRUE(launched_.empty());
  EXPECT_TRUE(browser_.opened.empty());

  // Two commands in one turn start one install.
  statuses_.clear();
  runCommand([this] {
    flow_->openUpdate();
    flow_->openUpdate();
  });
  EXPECT_EQ(std::count(statuses_.begin(), statuses_.end(), "Downloading v2.0.0\u2026"), 1);
}

TEST_F(UpdateFlowTest, OpenUpdateOpensTheDownloadPageWhenItCannotInstall) {
  const fs::path desktop = home_ / "Desktop/Quorvin";
  test::makeSealedBundle(desktop, "1.0.0");
  flow_ = makeFlow(desktop);
  runCommand([this] { flow_->openUpdate(); });  // nothing found yet
  publish("2.0.0");
  startChecks();
  EXPECT_EQ(flow_->updateVersion(), "2.0.0");
  EXPECT_FALSE(flow_->isUpdating()) << "no automatic install from an unsupported location";
  runCommand([this] { flow_->openUpdate(); });
  EXPECT_EQ(browser_.opened, (std::vector<std::string>(2, server_.api + "/download")));
  EXPECT_FALSE(fs::exists(updates_)) << "nothing downloaded";
}

}  // namespace
}  // namespace quorvin
