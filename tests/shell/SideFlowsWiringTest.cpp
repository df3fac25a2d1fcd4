// The quota, savings and update flows as the running application drives them: through
// AppServices and the connection manager, against a real quorvin-server (pairing, the release
// manifest), a provider quota host on loopback and a stand-in rtk, on one virtual clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "shell/AppOnLoopback.h"
#include "support/LoopbackHttpServer.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kCodexUsage =
    R"({"rate_limit":{"primary_window":{"used_percent":42,"limit_window_seconds":18000,"reset_after_seconds":7200}}})";
constexpr std::string_view kGain =
    R"({"summary":{"total_commands":42,"total_input":10000,"total_output":2500,"total_saved":7500,"avg_savings_pct":75.0}})";

void writeProgram(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
}

// A release the service offers: complete, signed and notarised, newer than any build here.
std::string manifest(const std::string& version) {
  const std::string digest(64, 'a');
  auto artifact = [&](const char* file) {
    return std::string(R"({"file":")") + file + R"(","size":10,"sha256":")" + digest +
           R"(","signed":true,"notarized":true})";
  };
  return R"({"appVersion":")" + version + R"(","verified":true,"tarball":)" + artifact("quorvin-linux.tar.gz") +
         R"(,"deb":)" + artifact("quorvin-linux.deb") + R"(,"source":)" + artifact("quorvin-source.tar.gz") + "}";
}

class SideFlowsWiring : public AppOnLoopback {
 protected:
  void SetUp() override {
    AppOnLoopback::SetUp();
    fs::create_directories(home_ / ".claude" / "projects");
    fs::create_directories(dir_ / "downloads");
    std::ofstream(dir_ / "downloads" / "quorvin-linux.manifest.json") << manifest("99.0.0");
    writeProgram(dir_ / "ccusage", "echo '{\"daily\":[],\"totals\":{}}'\n");
    writeProgram(home_ / ".local" / "bin" / "rtk",
                 "case \"$1\" in\n  --version) echo 'rtk 0.9.1' ;;\n  gain) printf '%s\\n' '" + std::string(kGain) +
                     "' ;;\n  *) exit 2 ;;\nesac\n");
    fs::create_directories(home_ / ".codex");
    std::ofstream(home_ / ".codex" / "auth.json") << R"({"tokens":{"access_token":"codex-token"}})";
    quotaHost_.route("GET", "/backend-api/wham/usage", [](const test::TestHttpRequest&) {
      return test::TestHttpReply{200, {{"Content-Type", "application/json"}}, std::string(kCodexUsage)};
    });
  }
  void launch() {
    AppServices::Options options = baseOptions();
    options.ccusageTool = dir_ / "ccusage";
    options.codexBaseUrl = quotaHost_.baseUrl();
    options.grokBaseUrl = quotaHost_.baseUrl();  // no Grok sign-in: never asked
    TokenSavingsAdvisor::Environment savings;
    savings.home = home_;
    savings.temporaryDirectory = dir_;
    savings.systemDirectories = {};
    options.savingsEnvironment = savings;
    AppOnLoopback::launch(std::move(options));
  }
  std::shared_ptr<const ConnectionState> published() { return app_->manager().snapshot(); }
  size_t quotaRequests() { return quotaHost_.requests().size(); }

  test::LoopbackHttpServer quotaHost_{certs_};
};

TEST_F(SideFlowsWiring, StartChecksForUpdatesAndPublishesSavingsQuotasFollowStreamingAndSleep) {
  startServer("alice", dir_ / "downloads");
  launch();
  ConnectionManager& manager = app_->manager();

  // Start: the update check runs at once and the advisor's figures reach the published value.
  post([&] { manager.start(); });
  ASSERT_TRUE(drive([&] {
    auto s = published();
    return s->updateVersion.has_value() && s->savingsSnapshot.installed;
  }));
  EXPECT_EQ(published()->updateVersion, "99.0.0");
  EXPECT_FALSE(published()->isUpdating) << "a build tree cannot update itself";
  // The report's own percent too: the savings window's measured rate reads it.
  EXPECT_EQ(published()->savingsSnapshot,
            (SavingsFigures{true, published()->savingsSnapshot.enabled, 42, 10000, 2500, 7500, 75}));

  // The dashboard is open but nothing is connected: no quota loop yet.
  post([&] { manager.setMenuBarPopoverVisible(true); });
  drive([&] { return !app_->sideFlows().flows().savingsRefreshRunning(); });
  EXPECT_FALSE(app_->sideFlows().flows().providerQuotaLoopRunning());
  EXPECT_EQ(quotaRequests(), 0u);

  // Pairing starts streaming, and streaming starts the quota loop: one fetch now, one per 300 s.
  post([&] { manager.connect(); });
  ASSERT_TRUE(drive([&] { return manager.state().status.is(ConnectionStatus::Kind::connected); }));
  ASSERT_TRUE(drive([&] {
    return published()->providerQuotas.at(0).availability == ProviderQuotaAvailability::available;
  }));
  const WallTime firstFetch = *published()->providerQuotas.at(0).fetchedAt;
  EXPECT_EQ(quotaRequests(), 1u);
  EXPECT_EQ(published()->providerQuotas.at(0).windows.at(0).usedPercent, 42);
  EXPECT_EQ(published()->providerQuotas.at(1).availability, ProviderQuotaAvailability::unavailable);
  ASSERT_TRUE(drive([&] { return quotaRequests() == 2; }));
  EXPECT_EQ(clock_.now(), firstFetch + 300s);
  ASSERT_TRUE(drive([&] { return published()->providerQuotas.at(0).fetchedAt == firstFetch + 300s; }));

  // Sleep stops the loop and the update checks; streaming is stopped too.
  post([&] { manager.prepareForSleep(); });
  ASSERT_TRUE(drive([&] { return !app_->sideFlows().flows().providerQuotaLoopRunning(); }));
  clock_.advance(3600s);
  drive([] { return false; });
  EXPECT_EQ(quotaRequests(), 2u);

  // Wake: streaming again, and with it the quota loop.
  post([&] { manager.resumeAfterWake(); });
  ASSERT_TRUE(drive([&] { return quotaRequests() == 3; }));

  // Closing the dashboard ends the loop.
  post([&] { manager.setMenuBarPopoverVisible(false); });
  drive([&] { return !app_->sideFlows().flows().providerQuotaLoopRunning(); });
  const WallTime closed = clock_.now();
  drive([&] { return clock_.now() >= closed + 900s; });
  EXPECT_EQ(quotaRequests(), 3u);
}

}  // namespace
}  // namespace quorvin
