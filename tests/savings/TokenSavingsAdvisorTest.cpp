// The advisor with real child processes: fake rtk and brew programs written by the tests.
#include <gtest/gtest.h>

#include <tuple>

#include "platform/Runtime.h"
#include "platform/SystemClock.h"
#include "savings/SavingsTestKit.h"
#include "support/AwaitOnModel.h"

namespace quorvin {
namespace {

using namespace std::chrono_literals;
using namespace TokenSavingsAdvisor;

class TokenSavingsAdvisorTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(files_.temporaryEmpty()) << "output files left behind"; }

  TokenSavingsSnapshot inspect() {
    Context context{processes_, runtime_.pool(), files_.environment()};
    return test::awaitOnModel(runtime_, TokenSavingsAdvisor::inspect(context));
  }
  // The error's sentence, or nothing on success.
  std::optional<std::string> configure(bool enabled, std::vector<Target> targets) {
    Context context{processes_, runtime_.pool(), files_.environment()};
    try {
      test::awaitOnModel(runtime_, TokenSavingsAdvisor::configure(context, enabled, std::move(targets)));
    } catch (const std::exception& error) {
      return error.what();
    }
    return std::nullopt;
  }

  test::SavingsHome files_;
  Runtime runtime_{1};
  SystemClock clock_;
  ProcessRunner processes_{clock_, runtime_};
};

TEST_F(TokenSavingsAdvisorTest, WithoutRtkNothingRunsAndSetUpNeedsHomebrew) {
  EXPECT_EQ(inspect(), TokenSavingsSnapshot{});
  EXPECT_EQ(configure(false, {Target::claude}), std::nullopt);
  EXPECT_EQ(configure(true, {Target::claude}), AdvisorError::homebrewMissing().what());
  EXPECT_EQ(files_.calls(), "");
}

TEST_F(TokenSavingsAdvisorTest, InspectReadsTheReportAndTheIntegrations) {
  files_.rtk(R"({"summary":{"total_commands":42,"total_input":-10,"total_output":2500,"total_saved":7500,"avg_savings_pct":130}})");
  // Negative figures read as 0 and the percentage is clamped to 100.
  EXPECT_EQ(inspect(), (TokenSavingsSnapshot{.installed = true, .version = "0.9.1", .totalCommands = 42,
                                             .outputTokens = 2500, .savedTokens = 7500, .savingsPercent = 100}));
  EXPECT_EQ(files_.calls(), "rtk --version\nrtk gain --format json\n");

  // Any one marker in any one file, in any case; a marker in another tool's file does not count.
  const std::tuple<const char*, const char*, bool> markers[] = {
      {".claude/settings.json", R"({"hooks":{"PreToolUse":[{"command":"RTK HOOK CLAUDE"}]}})", true},
      {".cursor/hooks.json", R"({"hooks":[{"command":"~/.cursor/rtk-rewrite.sh"}]})", true},
      {".cursor/hooks.json", R"({"hooks":[{"command":"rtk hook claude"}]})", false},
      {".codex/RTK.md", "# Rtk\n", true},
  };
  for (const auto& [file, content, enabled] : markers) {
    test::writeFile(files_.home / file, content);
    EXPECT_EQ(inspect().enabled, enabled) << file << ": " << content;
    std::filesystem::remove(files_.home / file);
  }
}

TEST_F(TokenSavingsAdvisorTest, ABrokenReportIsAnErrorOfTheSnapshot) {
  TokenSavingsSnapshot unavailable{.installed = true, .error = std::string(kReportUnavailable)};

  files_.rtk("Usage: rtk gain [OPTIONS]");  // exits 0, but is no report
  EXPECT_EQ(inspect(), unavailable);

  // The report fails: the version is still known.
  files_.program(files_.home / ".local/bin/rtk", "[ \"$1\" = --version ] && echo 'rtk 0.9.1' && exit 0\nexit 3\n");
  auto withVersion = unavailable;
  withVersion.version = "0.9.1";
  EXPECT_EQ(inspect(), withVersion);

  // Not an rtk that answers at all.
  files_.program(files_.home / ".local/bin/rtk", "exit 1\n");
  EXPECT_EQ(inspect(), TokenSavingsSnapshot{});

  // A report past the 256 KiB bound is cut, so it no longer decodes.
  files_.program(files_.home / ".local/bin/rtk",
                 "[ \"$1\" = --version ] && echo 'rtk 0.9.1' && exit 0\n"
                 "head -c 300000 /dev/zero | tr '\\0' ' '\nprintf '%s\\n' '" + std::string(test::SavingsHome::kGain) + "'\n");
  EXPECT_EQ(inspect(), unavailable);

  // Invalid UTF-8 is repaired, not passed on.
  files_.program(files_.home / ".local/bin/rtk",
                 "[ \"$1\" = --version ] && printf 'rtk 1.0\\377\\n' && exit 0\n"
                 "printf '%s\\n' '" + std::string(test::SavingsHome::kGain) + "'\n");
  EXPECT_EQ(inspect().version, "1.0\xEF\xBF\xBD");

  // Something else named rtk lower in the search order is not consulted.
  files_.rtk(test::SavingsHome::kGain, files_.systemBin / "rtk");
  EXPECT_EQ(inspect().version, "1.0\xEF\xBF\xBD");
}

TEST_F(TokenSavingsAdvisorTest, ConfigureEachTargetAndBack) {
  files_.rtk();
  const std::vector<Target> all(kAllTargets.begin(), kAllTargets.end());
  EXPECT_EQ(configure(true, all), std::nullopt);
  EXPECT_EQ(files_.calls(),
            "rtk gain --format json\n"
            "rtk init -g --auto-patch --no-trust-filters\n"
            "rtk init -g --codex --no-trust-filters\n"
            "rtk init -g --agent cursor --no-trust-filters\n");
  std::filesystem::remove(files_.log);
  EXPECT_EQ(configure(false, all), std::nullopt);
  EXPECT_EQ(files_.calls(),
            "rtk init -g --uninstall\n"
            "rtk init -g --codex --uninstall\n"
            "rtk init -g --agent cursor --uninstall\n");
}

TEST_F(TokenSavingsAdvisorTest, TheFirstFailingCommandStopsTheRest) {
  files_.program(files_.home / ".local/bin/rtk",
                 "[ \"$1\" = gain ] && printf '%s\\n' '" + std::string(test::SavingsHome::kGain) + "' && exit 0\n"
                 "case \"$*\" in *--codex*) echo 'checking ~/.codex' ; echo \"error: $(printf 'x%.0s' $(seq 1 500))\" >&2 ; "
                 "echo '   ' >&2 ; exit 1 ;; esac\n");
  const auto failure = configure(false, {Target::claude, Target::codex, Target::cursor});
  EXPECT_EQ(failure, "RTK setup did not finish. Codex \u2014 error: " + std::string(233, 'x'));
  EXPECT_EQ(files_.calls(), "rtk init -g --uninstall\nrtk init -g --codex --uninstall\n");

  // A program that is not the optimizer is refused before any init runs.
  std::filesystem::remove(files_.log);
  files_.rtk("not a report");
  EXPECT_EQ(configure(true, {Target::claude}), AdvisorError::incompatibleBinary().what());
  EXPECT_EQ(files_.calls(), "rtk gain --format json\n");

  // A file that is not executable is not an rtk at all.
  ::chmod((files_.home / ".local/bin/rtk").c_str(), 0644);
  EXPECT_EQ(inspect(), TokenSavingsSnapshot{});
}

TEST_F(TokenSavingsAdvisorTest, HomebrewInstallsWhenRtkIsMissing) {
  // brew puts rtk into its own bin folder, as a real install would.
  files_.program(files_.systemBin / "brew",
                 "[ \"$*\" = 'install rtk' ] || exit 9\n"
                 "cp '" + files_.dir.path().string() + "/rtk-template' '" + files_.systemBin.string() + "/rtk'\n");
  files_.rtk(test::SavingsHome::kGain, files_.dir.path() / "rtk-template");
  EXPECT_EQ(configure(true, {Target::codex}), std::nullopt);
  EXPECT_EQ(files_.calls(), "brew install rtk\nrtk gain --format json\nrtk init -g --codex --no-trust-filters\n");

  std::filesystem::remove(files_.systemBin / "rtk");
  files_.program(files_.systemBin / "brew", "echo '==> Fetching rtk'\necho 'Error: No formulae found.' >&2\nexit 1\n");
  EXPECT_EQ(configure(true, {Target::codex}), "RTK could not be installed through Homebrew. Error: No formulae found.");

  files_.program(files_.systemBin / "brew", "exit 0\n");
  EXPECT_EQ(configure(true, {Target::codex}), AdvisorError::incompatibleBinary().what());
}

TEST_F(TokenSavingsAdvisorTest, AHangingCommandIsStoppedWithItsChildren) {
  const auto pidFile = files_.dir.path() / "child.pid";
  const auto rtk = files_.program(files_.home / ".local/bin/rtk",
                                  "sleep 300 &\necho $! > '" + pidFile.string() + "'\nwait\n");
  Context context{processes_, runtime_.pool(), files_.environment()};
  try {
    test::awaitOnModel(runtime_, run(context, rtk, {"gain", "--format", "json"}, 300ms));
    FAIL() << "the run should have timed out";
  } catch (const AdvisorError& error) {
    EXPECT_EQ(error.kind(), AdvisorError::Kind::timedOut);
    EXPECT_STREQ(error.what(), "rtk gain --format json took too long and was stopped.");
  }
  const pid_t child = std::stoi(test::readFile(pidFile));
  EXPECT_TRUE(test::processEndsSoon(child));
}

}  // namespace
}  // namespace quorvin
