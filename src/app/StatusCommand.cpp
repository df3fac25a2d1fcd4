#include "app/StatusCommand.h"

#include <boost/json/parse.hpp>
#include <iostream>
#include <memory>

#include "app/StatusFormat.h"
#include "platform/Paths.h"
#include "shell/PeerChannel.h"

namespace quorvin::app {

namespace {

constexpr int kNotRunning = 3;

int runStatus(StatusOutput output) {
  const auto reply = PeerChannel::request(PeerChannel::defaultPath(Paths::fromEnvironment()), PeerChannel::kStatus);
  boost::system::error_code error;
  const auto report = reply ? boost::json::parse(*reply, error) : boost::json::value();
  if (!reply || error || !report.is_object()) {
    // Bars show nothing rather than an error text when the agent is not running.
    if (output == StatusOutput::waybar) std::cout << R"({"text":"","tooltip":"Quorvin is not running","class":"stopped"})" << "\n";
    if (output == StatusOutput::polybar) std::cout << "\n";
    std::cerr << "Quorvin is not running. Start it with `quorvin` (or `quorvin --headless` without a display)."
              << std::endl;
    return kNotRunning;
  }
  std::cout << formatStatus(report.get_object(), output);
  if (output != StatusOutput::text) std::cout << "\n";
  std::cout.flush();
  return 0;
}

}  // namespace

void registerStatusCommand(CLI::App& app, CommandRegistry& registry) {
  auto* status = app.add_subcommand("status", "Show the running copy's state: connection, totals, cost, last sync");
  auto json = std::make_shared<bool>(false);
  auto waybar = std::make_shared<bool>(false);
  auto polybar = std::make_shared<bool>(false);
  auto* jsonFlag = status->add_flag("--json", *json, "Print one JSON object");
  auto* waybarFlag = status->add_flag("--waybar", *waybar, "Print a waybar custom module line");
  auto* polybarFlag = status->add_flag("--polybar", *polybar, "Print a polybar line");
  jsonFlag->excludes(waybarFlag)->excludes(polybarFlag);
  waybarFlag->excludes(polybarFlag);
  registry.onRun(status, [json, waybar, polybar] {
    return runStatus(*json     ? StatusOutput::json
                     : *waybar ? StatusOutput::waybar
                     : *polybar ? StatusOutput::polybar
                                : StatusOutput::text);
  });
}

}  // namespace quorvin::app
