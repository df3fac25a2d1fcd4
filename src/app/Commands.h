#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace quorvin::app {

// Each subcommand adds itself to the CLI and leaves the action to run after parsing.
class CommandRegistry {
 public:
  void onRun(CLI::App* command, std::function<int()> action) { actions_.emplace_back(command, std::move(action)); }
  // Runs when no subcommand was given; -1 means "not mine".
  void onRunWithoutCommand(std::function<int()> action) { fallbacks_.push_back(std::move(action)); }
  int run() const {
    for (const auto& [command, action] : actions_) {
      if (command->parsed()) return action();
    }
    for (const auto& action : fallbacks_) {
      if (int code = action(); code >= 0) return code;
    }
    return 0;
  }

 private:
  std::vector<std::pair<CLI::App*, std::function<int()>>> actions_;
  std::vector<std::function<int()>> fallbacks_;
};

void registerCommands(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
