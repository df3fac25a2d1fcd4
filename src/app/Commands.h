#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace quorvin::app {

// Each subcommand adds itself to the CLI and leaves the action to run after parsing.
class CommandRegistry {
 public:
  void onRun(CLI::App* command, std::function<int()> action) { actions_.emplace_back(command, std::move(action)); }
  int run() const {
    for (const auto& [command, action] : actions_) {
      if (command->parsed()) return action();
    }
    return 0;
  }

 private:
  std::vector<std::pair<CLI::App*, std::function<int()>>> actions_;
};

void registerCommands(CLI::App& app, CommandRegistry& registry);

}  // namespace quorvin::app
