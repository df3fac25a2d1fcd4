#include "savings/TokenSavingsAdvisor.h"

#include <algorithm>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <set>

#include "core/TextCut.h"
#include "sources/SourceText.h"

namespace quorvin::TokenSavingsAdvisor {

namespace {

namespace fs = std::filesystem;

TokenSavingsSnapshot reportUnavailable(bool enabled, std::optional<std::string> version) {
  TokenSavingsSnapshot snapshot;
  snapshot.installed = true;
  snapshot.enabled = enabled;
  snapshot.version = std::move(version);
  snapshot.error = std::string(kReportUnavailable);
  return snapshot;
}

boost::asio::awaitable<bool> detectIntegration(Context& context) {
  auto detect = [home = context.environment.home] { return integrationEnabled(home); };
  auto detecting = runBlocking(context.pool, std::move(detect));
  co_return co_await std::move(detecting);
}

boost::asio::awaitable<TokenSavingsSnapshot> inspectOrThrow(Context& context) {
  const auto rtk = findRtk(context.environment);
  if (!rtk) co_return TokenSavingsSnapshot{};
  auto detecting = detectIntegration(context);
  const bool enabled = co_await std::move(detecting);

  CommandResult version;
  try {
    auto running = run(context, *rtk, {"--version"}, kVersionTimeLimit);
    version = co_await std::move(running);
  } catch (const std::exception&) {
    co_return reportUnavailable(enabled, std::nullopt);
  }
  // Not RTK, or a broken install: nothing to report.
  if (version.status != 0) co_return TokenSavingsSnapshot{};

  CommandResult report;
  try {
    auto running = run(context, *rtk, {"gain", "--format", "json"}, kReportTimeLimit);
    report = co_await std::move(running);
  } catch (const std::exception&) {
    co_return reportUnavailable(enabled, std::nullopt);
  }
  if (report.status != 0) co_return reportUnavailable(enabled, versionText(version.standardOutput));
  const auto gain = parseGain(report.standardOutput);
  if (!gain) co_return reportUnavailable(enabled, std::nullopt);

  TokenSavingsSnapshot snapshot;
  snapshot.installed = true;
  snapshot.enabled = enabled;
  snapshot.version = versionText(version.standardOutput);
  snapshot.totalCommands = std::max<int64_t>(gain->totalCommands, 0);
  snapshot.originalTokens = std::max<int64_t>(gain->totalInput, 0);
  snapshot.outputTokens = std::max<int64_t>(gain->totalOutput, 0);
  snapshot.savedTokens = std::max<int64_t>(gain->totalSaved, 0);
  snapshot.savingsPercent = std::clamp(gain->avgSavingsPct, 0.0, 100.0);
  co_return snapshot;
}

// By value: a coroutine outlives the full expression that created its arguments.
boost::asio::awaitable<void> runEach(Context& context, fs::path rtk, std::vector<Command> commands) {
  for (const Command& command : commands) {
    auto running = run(context, rtk, command.arguments, kInitTimeLimit);
    const CommandResult result = co_await std::move(running);
    if (result.status != 0) {
      throw AdvisorError::commandFailed(std::string(label(command)) + " \u2014 " + lastUsefulLine(result.output()));
    }
  }
}

}  // namespace

std::string_view rawValue(Target target) {
  switch (target) {
    case Target::claude: return "claude";
    case Target::codex: return "codex";
    case Target::cursor: return "cursor";
  }
  return "codex";
}

std::string_view label(Target target) {
  switch (target) {
    case Target::claude: return "Claude Code";
    case Target::codex: return "Codex";
    case Target::cursor: return "Cursor";
  }
  return "Agent";
}

std::string_view label(const Command& command) { return command.target ? label(*command.target) : "Agent"; }

std::string CommandResult::output() const {
  if (standardOutput.empty()) return standardError;
  if (standardError.empty()) return standardOutput;
  return standardOutput + "\n" + standardError;
}

AdvisorError AdvisorError::installFailed(std::string_view text) {
  return {Kind::installFailed, "RTK could not be installed through Homebrew. " + std::string(text)};
}
AdvisorError AdvisorError::commandFailed(std::string_view text) {
  return {Kind::commandFailed, "RTK setup did not finish. " + std::string(text)};
}
AdvisorError AdvisorError::timedOut(std::string_view commandLine) {
  return {Kind::timedOut, std::string(commandLine) + " took too long and was stopped."};
}
AdvisorError AdvisorError::homebrewMissing() {
  return {Kind::homebrewMissing, "Homebrew is required for one-click RTK setup. Install RTK from " +
                                     std::string(kRepositoryUrl) + ", then try again."};
}
AdvisorError AdvisorError::incompatibleBinary() {
  return {Kind::incompatibleBinary, "The installed rtk command is not the RTK token optimizer from rtk-ai/rtk."};
}
AdvisorError AdvisorError::cancelled() { return {Kind::cancelled, "RTK setup was cancelled."}; }

std::vector<Command> installCommands(const std::vector<Target>& targets) {
  std::vector<Command> commands;
  for (const Target target : targets) {
    switch (target) {
      case Target::claude:
        commands.push_back({{"init", "-g", "--auto-patch", "--no-trust-filters"}, target});
        break;
      case Target::codex:
        commands.push_back({{"init", "-g", "--codex", "--no-trust-filters"}, target});
        break;
      case Target::cursor:
        commands.push_back({{"init", "-g", "--agent", "cursor", "--no-trust-filters"}, target});
        break;
    }
  }
  return commands;
}

std::vector<Command> uninstallCommands(const std::vector<Target>& targets) {
  std::vector<Command> commands;
  for (const Target target : targets) {
    switch (target) {
      case Target::claude:
        commands.push_back({{"init", "-g", "--uninstall"}, target});
        break;
      case Target::codex:
        commands.push_back({{"init", "-g", "--codex", "--uninstall"}, target});
        break;
      case Target::cursor:
        commands.push_back({{"init", "-g", "--agent", "cursor", "--uninstall"}, target});
        break;
    }
  }
  return commands;
}

std::vector<Target> targets(const std::vector<std::string>& sourceNames, const fs::path& home,
                            const std::function<bool(const fs::path&)>& fileExists) {
  std::set<std::string> names;
  for (const auto& name : sourceNames) names.insert(SourceText::lowercased(trimWhitespace(name)));
  const auto named = [&names](std::string_view name) { return names.count(std::string(name)) > 0; };

  std::vector<Target> result;
  if (named("claude") || named("claude code") || fileExists(home / ".claude")) result.push_back(Target::claude);
  if (named("codex") || fileExists(home / ".codex")) result.push_back(Target::codex);
  if (named("cursor") || fileExists(home / ".cursor")) result.push_back(Target::cursor);
  if (result.empty()) result.push_back(Target::codex);
  return result;
}

boost::asio::awaitable<TokenSavingsSnapshot> inspect(Context& context) {
  std::optional<TokenSavingsSnapshot> snapshot;
  try {
    auto inspecting = inspectOrThrow(context);
    snapshot = co_await std::move(inspecting);
  } catch (const boost::system::system_error& error) {
    if (error.code() == boost::asio::error::operation_aborted) throw;
  } catch (...) {
  }
  // Only a failure outside any child run (memory, the pool) lands here.
  co_return snapshot ? std::move(*snapshot) : TokenSavingsSnapshot{};
}

boost::asio::awaitable<void> configure(Context& context, bool enabled, std::vector<Target> targets) {
  auto rtk = findRtk(context.environment);
  if (!enabled) {
    // Nothing installed means nothing to remove.
    if (!rtk) co_return;
    auto removing = runEach(context, *rtk, uninstallCommands(targets));
    co_await std::move(removing);
    co_return;
  }

  if (!rtk) {
    const auto brew = findBrew(context.environment);
    if (!brew) throw AdvisorError::homebrewMissing();
    auto installing = run(context, *brew, {"install", "rtk"}, kInstallTimeLimit);
    const CommandResult installed = co_await std::move(installing);
    if (installed.status != 0) throw AdvisorError::installFailed(lastUsefulLine(installed.output()));
    rtk = findRtk(context.environment);
    if (!rtk) throw AdvisorError::incompatibleBinary();
  }

  // Another program may be called rtk; only the optimizer prints this report.
  auto validating = run(context, *rtk, {"gain", "--format", "json"}, kReportTimeLimit);
  const CommandResult report = co_await std::move(validating);
  if (report.status != 0 || !parseGain(report.standardOutput)) throw AdvisorError::incompatibleBinary();

  auto adding = runEach(context, *rtk, installCommands(targets));
  co_await std::move(adding);
}

std::optional<API::OptimizerStats> optimizerStats(const TokenSavingsSnapshot& snapshot) {
  if (!snapshot.installed) return std::nullopt;
  return API::OptimizerStats{.enabled = snapshot.enabled,
                             .commands = snapshot.totalCommands,
                             .originalTokens = snapshot.originalTokens,
                             .outputTokens = snapshot.outputTokens,
                             .savedTokens = snapshot.savedTokens};
}

}  // namespace quorvin::TokenSavingsAdvisor
