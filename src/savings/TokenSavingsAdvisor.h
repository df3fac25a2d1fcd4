#pragma once

#include <array>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "wire/UsageTotals.h"
#include "platform/BlockingPool.h"
#include "platform/ProcessRunner.h"
#include "savings/TokenSavingsSnapshot.h"

// RTK shortens noisy shell output before it reaches a coding agent's context. The advisor
// finds the rtk executable, reads its savings report, tells whether its hooks are installed
// into the user's coding tools, installs it through Homebrew when asked, and adds or removes
// its integrations by running RTK's own `init` commands. It keeps no state; every child
// process runs under a time limit through the ProcessRunner, awaited on the model thread.
namespace quorvin::TokenSavingsAdvisor {

enum class Target { claude, codex, cursor };
inline constexpr std::array<Target, 3> kAllTargets{Target::claude, Target::codex, Target::cursor};

std::string_view rawValue(Target target);
std::string_view label(Target target);  // "Claude Code", "Codex", "Cursor"

// One run of rtk.
struct Command {
  std::vector<std::string> arguments;
  std::optional<Target> target;
  bool operator==(const Command&) const = default;
};
std::string_view label(const Command& command);  // the target's label, "Agent" without one

struct CommandResult {
  int32_t status = 0;  // the exit status; 128 + the signal for a child killed by one
  std::string standardOutput;
  std::string standardError;
  // The non-empty ones of standard output and standard error, joined by a line feed.
  std::string output() const;
};

// RTK's `gain --format json` summary; every key is required.
struct GainSummary {
  int64_t totalCommands = 0;
  int64_t totalInput = 0;
  int64_t totalOutput = 0;
  int64_t totalSaved = 0;
  double avgSavingsPct = 0;
  bool operator==(const GainSummary&) const = default;
};

inline constexpr std::string_view kRepositoryUrl = "https://github.com/rtk-ai/rtk";
inline constexpr std::string_view kReportUnavailable = "RTK is installed, but its savings report is unavailable.";
inline constexpr std::string_view kNoDiagnostic = "No diagnostic was returned.";
inline constexpr size_t kMaxOutputBytes = 262'144;
inline constexpr Duration kVersionTimeLimit{5'000};
inline constexpr Duration kReportTimeLimit{10'000};
inline constexpr Duration kInitTimeLimit{30'000};
inline constexpr Duration kInstallTimeLimit{300'000};

// A failure of configure(); what() is the sentence shown to the user.
class AdvisorError : public std::runtime_error {
 public:
  enum class Kind { installFailed, commandFailed, timedOut, homebrewMissing, incompatibleBinary, cancelled };

  static AdvisorError installFailed(std::string_view text);
  static AdvisorError commandFailed(std::string_view text);
  static AdvisorError timedOut(std::string_view commandLine);
  static AdvisorError homebrewMissing();
  static AdvisorError incompatibleBinary();
  static AdvisorError cancelled();

  Kind kind() const { return kind_; }

 private:
  AdvisorError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}
  Kind kind_;
};

// A child that could not be started; what() is the system's reason.
class LaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where executables are looked for and temporary output goes.
struct Environment {
  std::filesystem::path home;
  std::filesystem::path temporaryDirectory = std::filesystem::temp_directory_path();
  // Searched after the home directory's folders, in order.
  std::vector<std::filesystem::path> systemDirectories{"/opt/homebrew/bin", "/home/linuxbrew/.linuxbrew/bin",
                                                       "/usr/local/bin", "/usr/bin"};
  // Folders of the home directory searched first for rtk (its installer and cargo put it there).
  std::vector<std::filesystem::path> rtkHomeDirectories{".local/bin", ".cargo/bin"};
};

struct Context {
  ProcessRunner& processes;
  BlockingPool& pool;
  Environment environment;
};

// The first executable regular file among home/dir/name for each home directory, then
// each system directory.
std::optional<std::filesystem::path> findExecutable(const Environment& environment, std::string_view name,
                                                    const std::vector<std::filesystem::path>& homeDirectories);
std::optional<std::filesystem::path> findRtk(const Environment& environment);
std::optional<std::filesystem::path> findBrew(const Environment& environment);

// Runs the executable with its output in two temporary files (removed however the run
// ends), keeping at most kMaxOutputBytes of each, decoded as UTF-8 with invalid sequences
// replaced. Throws LaunchError, AdvisorError::timedOut past the limit and
// AdvisorError::cancelled when the calling task is cancelled; in both of the last cases the
// child's whole process tree has been stopped.
boost::asio::awaitable<CommandResult> run(Context& context, std::filesystem::path executable,
                                          std::vector<std::string> arguments, Duration timeLimit);

// Report and text helpers.
std::optional<GainSummary> parseGain(std::string_view json);
std::optional<std::string> versionText(std::string_view output);
std::string lastUsefulLine(std::string_view output);
// Whether any coding tool under `home` carries RTK's integration (reads small files; blocks).
bool integrationEnabled(const std::filesystem::path& home);

// Never throws: every problem becomes fields of the snapshot. Cancellation of the calling
// task still ends it with operation_aborted.
boost::asio::awaitable<TokenSavingsSnapshot> inspect(Context& context);

// Installs (enabled) or removes RTK's integrations for the targets, stopping at the first
// failing command. Throws AdvisorError or LaunchError.
boost::asio::awaitable<void> configure(Context& context, bool enabled, std::vector<Target> targets);

// The coding tools to configure: those named among the source names (trimmed, any case) or
// whose folder exists in the home directory; Codex alone when none qualifies.
std::vector<Target> targets(const std::vector<std::string>& sourceNames, const std::filesystem::path& home,
                            const std::function<bool(const std::filesystem::path&)>& fileExists);

std::vector<Command> installCommands(const std::vector<Target>& targets);
std::vector<Command> uninstallCommands(const std::vector<Target>& targets);

// The dollar value of measured savings (or, before RTK has any, of the scenario share of
// the observed fresh input) at the observed blended input price of the model mix.
TokenSavingsProjection projection(const std::vector<API::ModelRow>& models, int64_t inputTotal,
                                  const TokenSavingsSnapshot& snapshot, double scenarioReduction);

// The optimizer counters attached to uploads: none unless RTK is installed.
std::optional<API::OptimizerStats> optimizerStats(const TokenSavingsSnapshot& snapshot);

}  // namespace quorvin::TokenSavingsAdvisor
