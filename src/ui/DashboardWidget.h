#pragma once

#include <QWidget>
#include <memory>

#include "presentation/PresentationState.h"

class QVBoxLayout;

namespace quorvin::presentation {
class PresentationCommands;
}

namespace quorvin::ui {

// The popup dashboard: a header with the handle and a one-word status, then the disconnected
// summary, the pairing summary or the connected strips. Rebuilt from each new state.
class DashboardWidget : public QWidget {
 public:
  DashboardWidget(presentation::PresentationCommands& commands, QWidget* parent = nullptr);
  // `now` makes time-relative labels reproducible (renders, tests).
  void setState(std::shared_ptr<const presentation::PresentationState> state, WallTime now);

 protected:
  // A theme switch re-resolves every colour role.
  void changeEvent(QEvent* event) override;

 private:
  void build(const presentation::PresentationState& s, WallTime now);
  QWidget* header(const presentation::PresentationState& s);
  QWidget* disconnectedBody(const presentation::PresentationState& s);
  QWidget* pairingBody(const presentation::PresentationState& s);
  QWidget* connectedBody(const presentation::PresentationState& s, WallTime now);

  presentation::PresentationCommands& commands_;
  QVBoxLayout* layout_;
  QWidget* content_ = nullptr;
  std::shared_ptr<const presentation::PresentationState> state_;
  WallTime now_{};
};

}  // namespace quorvin::ui
