#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/ProgramRun.h"
#include "support/ServerProcess.h"
#include "support/TestCertificates.h"
#include "update/RelaunchScript.h"
#include "update/UpdateTestKit.h"

namespace quorvin {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const fs::path kBinary = QUORVIN_BINARY_DIR;

// Runs a command line under the real /bin/sh.
test::ProgramRun sh(const std::string& command) { return test::runProgram(command); }

std::string q(const fs::path& path) { return RelaunchScript::shellQuote(path.string()); }

// The real quorvin-server, serving a downloads folder over HTTPS on loopback.
test::ServerProcess serveDownloads(const fs::path& dir, const test::TestCertificates& certs, const fs::path& downloads) {
  return test::ServerProcess(dir, {"--data", (dir / "server-data").string(), "--tls-cert", certs.certFile().string(),
                                   "--tls-key", certs.keyFile().string(), "--downloads", downloads.string()});
}

class UpdateEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_ / ".local/opt");
    // Version A, published by the release tool into a folder of its own and unpacked by tar.
    release("1.0.0", kBinary / "tests/update/quorvin_update_probe_a", root_ / "downloads-a");
    ASSERT_EQ(sh("tar -xzf " + q(root_ / "downloads-a/quorvin-linux.tar.gz") + " -C " + q(home_ / ".local/opt")).status, 0);
    ASSERT_TRUE(fs::exists(installed_ / "bin/quorvin"));
  }
  void TearDown() override {
    // Whatever still runs from the temporary install.
    sh("/usr/bin/pkill -f -x " + q(RelaunchScript::regexLiteral((installed_ / "bin/quorvin").string())));
  }

  void release(const std::string& version, const fs::path& program, const fs::path& downloads) {
    const fs::path files = root_ / ("files-" + version + "-" + crypto::randomHex(3));
    fs::create_directories(files / "bin");
    fs::copy_file(program, files / "bin/quorvin");
    test::writeFile(root_ / "standins/quorvin-linux.deb", "deb stand-in\n");
    test::writeFile(root_ / "standins/quorvin-source.tar.gz", "source stand-in\n");
    const fs::path keys = fs::path(QUORVIN_TEST_DATA) / "update";
    const auto result =
        sh(q(kBinary / "tools/release/quorvin-release") + " --version " + version + " --files " + q(files) +
           " --release-key " + q(keys / "release-test.key") + " --notary-key " + q(keys / "notary-test.key") +
           " --downloads " + q(downloads) + " --deb " + q(root_ / "standins/quorvin-linux.deb") + " --source " +
           q(root_ / "standins/quorvin-source.tar.gz"));
    ASSERT_EQ(result.status, 0) << result.output;
  }

  // Runs the installed copy's `update` command as the user would, from a shell.
  test::ProgramRun runInstalledUpdate(const std::string& api) {
    return sh("env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u QUORVIN_UPDATE_READY_FILE HOME=" + q(home_) +
              " QUORVIN_API_URL=" + q(api) + " QUORVIN_CA_FILE=" + q(certs_.caFile()) + " " +
              q(installed_ / "bin/quorvin") + " update");
  }

  // The relaunch script removes itself last: wait for it, bounded in real time.
  bool waitForScript() {
    const auto deadline = Clock::now() + std::chrono::seconds(150);
    while (Clock::now() < deadline) {
      bool running = false;
      for (const auto& entry : fs::directory_iterator(updates_)) {
        running |= entry.path().filename().string().starts_with("install-");
      }
      if (!running) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // an outside process, in real time
    }
    return false;
  }

  // The one process running the installed executable, with its binary compared to `program`.
  pid_t runningInstalled(const fs::path& program) {
    const auto found = sh("/usr/bin/pgrep -f -x " + q(RelaunchScript::regexLiteral((installed_ / "bin/quorvin").string())));
    if (found.status != 0 || found.output.find('\n') + 1 != found.output.size()) {
      ADD_FAILURE() << "running copies: " << found.output;
      return -1;
    }
    const pid_t pid = std::stoi(found.output);
    EXPECT_EQ(sh("cmp -s /proc/" + std::to_string(pid) + "/exe " + q(program)).status, 0) << "another program runs";
    return pid;
  }

  std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(updates_)) names.push_back(entry.path().filename().string());
    for (const auto& entry : fs::directory_iterator(installed_.parent_path())) {
      if (entry.path() != installed_) names.push_back(entry.path().filename().string());
    }
    return names;
  }

  test::TempFolder root_{"quorvin-update-e2e"};
  // A single quote in every path the relaunch script handles.
  fs::path home_ = root_ / "o'brien home";
  fs::path installed_ = home_ / ".local/opt/Quorvin";
  fs::path updates_ = home_ / ".local/share/quorvin/updates";
  test::TestCertificates certs_;
};

TEST_F(UpdateEndToEndTest, InstalledCopyUpdatesItselfAndTheNewVersionRuns) {
  release("2.0.0", kBinary / "tests/update/quorvin_update_probe_b", root_ / "downloads");
  auto server = serveDownloads(root_.path(), certs_, root_ / "downloads");

  const auto update = runInstalledUpdate(server.url("https"));
  ASSERT_EQ(update.status, 0) << update.output;
  EXPECT_NE(update.output.find("Installing v2.0.0 and restarting\u2026"), std::string::npos) << update.output;
  ASSERT_TRUE(waitForScript());

  EXPECT_NE(test::readFile(installed_ / "Info.json").find("\"2.0.0\""), std::string::npos);
  EXPECT_TRUE(leftovers().empty()) << "backup, download, script and marker are removed";
  const pid_t b = runningInstalled(kBinary / "tests/update/quorvin_update_probe_b");
  if (b > 0) ::kill(b, SIGTERM);
}

TEST_F(UpdateEndToEndTest, ANewVersionThatNeverSignalsIsReplacedByTheOldOne) {
  release("2.0.0", kBinary / "tests/update/quorvin_update_probe_silent", root_ / "downloads");
  auto server = serveDownloads(root_.path(), certs_, root_ / "downloads");

  const auto update = runInstalledUpdate(server.url("https"));
  ASSERT_EQ(update.status, 0) << update.output;
  ASSERT_TRUE(waitForScript());

  EXPECT_NE(test::readFile(installed_ / "Info.json").find("\"1.0.0\""), std::string::npos);
  EXPECT_TRUE(leftovers().empty()) << "the failed copy and the backup are gone";
  const pid_t a = runningInstalled(kBinary / "tests/update/quorvin_update_probe_a");
  if (a > 0) ::kill(a, SIGTERM);
}

}  // namespace
}  // namespace quorvin
