#include "shell/HeadlessAgent.h"

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <cstdio>

#include "core/Log.h"
#include "platform/SleepWatcher.h"

namespace quorvin {

namespace {

std::string money(double dollars) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "$%.2f", dollars);
  return buffer;
}

}  // namespace

std::vector<std::string> stateChangeLogLines(const ConnectionState* previous, const ConnectionState& next) {
  std::vector<std::string> lines;
  const ConnectionState before = previous ? *previous : ConnectionState{};
  if (!(before.status == next.status)) {
    switch (next.status.kind) {
      case ConnectionStatus::Kind::connected:
        lines.push_back("Quorvin connected as " + next.login);
        break;
      case ConnectionStatus::Kind::pairing:
        lines.push_back("Quorvin pairing: approve the code " + next.status.code +
                        (next.pairingURL ? " at " + *next.pairingURL : std::string()));
        break;
      case ConnectionStatus::Kind::disconnected:
        if (previous) lines.push_back("Quorvin disconnected");
        break;
    }
  }
  if (next.lastError && next.lastError != before.lastError) lines.push_back("Quorvin: " + *next.lastError);
  if (next.lastReconciled && next.lastReconciled != before.lastReconciled) {
    lines.push_back("Quorvin reconciled: " + std::to_string(next.tokens) + " tokens, " + money(next.cost));
  }
  if (next.oracleSequence && next.oracleSequence != before.oracleSequence && !before.oracleSequence) {
    lines.push_back("Quorvin checkpoint chain at " + std::to_string(*next.oracleSequence));
  }
  return lines;
}

int HeadlessAgent::run() {
  Runtime& runtime = services_.runtime();
  ConnectionManager& manager = services_.manager();
  boost::asio::signal_set signals(runtime.modelContext(), SIGINT, SIGTERM);
  signals.async_wait([this](const boost::system::error_code& error, int) {
    if (!error) stop();
  });
  // Stop publishing before the machine sleeps; start again after it woke.
  SleepWatcher sleep(runtime.modelContext(), [&manager](bool sleeping) {
    if (sleeping) {
      manager.prepareForSleep();
    } else {
      manager.resumeAfterWake();
    }
  });
  boost::asio::post(runtime.model(), [this, &manager] {
    manager.observe([this](const std::shared_ptr<const ConnectionState>& next) {
      for (const auto& line : stateChangeLogLines(last_.get(), *next)) logLine(line);
      last_ = next;
    });
    manager.start();
    const ConnectionState& state = manager.state();
    if (state.login.empty() && !state.disconnectCleanupPending) logLine(kNotPairedHint);
  });
  runtime.run();
  signals.cancel();
  services_.shutdown();  // while this agent, which the observer uses, still exists
  return 0;
}

void HeadlessAgent::stop() {
  services_.manager().stopPublishing();
  services_.defaults().flush();
  services_.runtime().stop();
}

}  // namespace quorvin
