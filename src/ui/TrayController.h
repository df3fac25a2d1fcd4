#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <memory>

#include "core/Clock.h"
#include "presentation/StateFeed.h"
#include "presentation/StatusMenu.h"
#include "presentation/TrayCrowding.h"

class QMenu;
class QScrollArea;
class QSystemTrayIcon;
class QVBoxLayout;
class QWidget;

namespace quorvin::presentation {
class PresentationCommands;
}

namespace quorvin::ui {

class DashboardWidget;
class FallbackOverlay;
class SavingsPlanWindow;

// The application's presence in the tray: the heat item and the cost item, the popup
// dashboard (left click) with the action entries below it, the action menu (right click),
// the fallback overlay when there is no tray, and the savings window. Lives on the Qt thread;
// re-reads the state once per batch of change notifications.
class TrayController : public QObject {
 public:
  TrayController(presentation::StateSource& source, presentation::PresentationCommands& commands,
                 const Clock& clock);
  ~TrayController() override;

  // Opens the dashboard under the best visible item, or under the overlay (second launch,
  // attention requests).
  void openPreferredStatusItem(bool allowCompactRetry = true);
  // A later launch, a finished pairing or the first run: an open action menu closes, else the
  // dashboard opens.
  void showFromPeer();
  void showSavingsWindow(presentation::SavingsPlanPage page);
  void perform(presentation::MenuAction action);
  void tearDown();

  // For tests and screenshots.
  QSystemTrayIcon* chartItem() const { return chart_; }
  QSystemTrayIcon* costItem() const { return cost_; }
  QMenu* actionMenu() const { return menu_; }
  QWidget* popup() const { return popup_; }
  FallbackOverlay* overlay() const { return overlay_; }
  SavingsPlanWindow* savingsWindow() const { return savings_; }
  int redrawCount() const { return redraws_; }
  const presentation::TrayCrowding& crowding() const { return crowding_; }
  bool isUsable(const QSystemTrayIcon* item) const;

 private:
  void scheduleDisplayUpdate();
  void updateStatusItems();
  void scheduleCrowdingCheck(int milliseconds);
  void reconcileCrowding();
  void screensChanged();
  void populateMenu();
  void populatePopupActions();
  void refreshPopup();
  void showPopupAt(const QRect& anchor);
  void popupOpened();
  void popupClosed();
  void confirmDisconnect();
  QString geometryText(const QSystemTrayIcon* item) const;

  presentation::StateSource& source_;
  presentation::PresentationCommands& commands_;
  const Clock& clock_;
  std::shared_ptr<const presentation::PresentationState> state_;
  presentation::TrayCrowding crowding_;
  // What the tray icons were last drawn from.
  struct HeatIconInputs {
    double tokensPerMinute = -1;
    bool active = false;
    qint64 palette = 0;
    bool operator==(const HeatIconInputs&) const = default;
  };
  struct CostIconInputs {
    std::string exactText;
    presentation::StatusBarCostDisplayMode mode{};
    unsigned rgba = 0;
    qint64 palette = 0;
    bool operator==(const CostIconInputs&) const = default;
  };
  HeatIconInputs heatShown_;
  CostIconInputs costShown_;

  QSystemTrayIcon* chart_ = nullptr;
  QSystemTrayIcon* cost_ = nullptr;
  QMenu* menu_ = nullptr;
  QWidget* popup_ = nullptr;
  DashboardWidget* dashboard_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QWidget* popupActions_ = nullptr;
  FallbackOverlay* overlay_ = nullptr;
  SavingsPlanWindow* savings_ = nullptr;

  // Set from any thread by the state source; cleared on the Qt thread.
  // Lets queued notifications see that the controller is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::shared_ptr<std::atomic<bool>> changePending_ = std::make_shared<std::atomic<bool>>(false);
  bool displayUpdateScheduled_ = false;
  bool crowdingCheckScheduled_ = false;
  bool loggedInitialGeometry_ = false;
  bool popupOpen_ = false;
  int redraws_ = 0;
};

}  // namespace quorvin::ui
