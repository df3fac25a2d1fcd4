#include "ui/TrayController.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include "core/Log.h"
#include "presentation/PresentationCommands.h"
#include "presentation/StatusBarPresentation.h"
#include "ui/DashboardWidget.h"
#include "ui/FallbackOverlay.h"
#include "ui/SavingsPlanWindow.h"
#include "ui/TrayIcons.h"
#include "ui/UiColors.h"

namespace quorvin::ui {

using namespace presentation;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

QString entryText(const MenuEntry& entry) {
  return qs(entry.title);
}

// The popup closes itself on outside clicks; tell the controller either way.
class Popup : public QFrame {
 public:
  Popup(std::function<void()> shown, std::function<void()> hidden)
      : QFrame(nullptr, Qt::Popup), shown_(std::move(shown)), hidden_(std::move(hidden)) {
    setFrameShape(QFrame::StyledPanel);
    setObjectName("quorvin-dashboard-popup");
  }

 protected:
  void showEvent(QShowEvent* e) override {
    QFrame::showEvent(e);
    shown_();
  }
  void hideEvent(QHideEvent* e) override {
    QFrame::hideEvent(e);
    hidden_();
  }

 private:
  std::function<void()> shown_;
  std::function<void()> hidden_;
};

}  // namespace

TrayController::TrayController(StateSource& source, PresentationCommands& commands, const Clock& clock)
    : source_(source), commands_(commands), clock_(clock), state_(source.current()) {
  chart_ = new QSystemTrayIcon(this);
  chart_->setToolTip("Quorvin live usage heat");
  cost_ = new QSystemTrayIcon(this);
  cost_->setToolTip("Quorvin exact estimated cost");

  menu_ = new QMenu;
  menu_->setWindowTitle("Quorvin actions");
  menu_->setMinimumWidth(static_cast<int>(kMenuWidth) / 2);
  connect(menu_, &QMenu::aboutToShow, this, [this] { populateMenu(); });
  populateMenu();
  chart_->setContextMenu(menu_);
  cost_->setContextMenu(menu_);

  popup_ = new Popup([this] { popupOpened(); }, [this] { popupClosed(); });
  // Named so window lists and desktop tools can tell the dashboard apart.
  popup_->setWindowTitle("Quorvin dashboard");
  auto* layout = new QVBoxLayout(popup_);
  layout->setContentsMargins(0, 0, 0, 6);
  layout->setSpacing(0);
  dashboard_ = new DashboardWidget(commands_);
  scroll_ = new QScrollArea;
  scroll_->setWidget(dashboard_);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  layout->addWidget(scroll_);
  popupActions_ = new QWidget;
  popupActions_->setLayout(new QVBoxLayout);
  popupActions_->layout()->setContentsMargins(8, 0, 8, 0);
  popupActions_->layout()->setSpacing(0);
  layout->addWidget(popupActions_);

  for (auto* item : {chart_, cost_}) {
    connect(item, &QSystemTrayIcon::activated, this, [this, item](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        if (popup_->isVisible()) {
          popup_->hide();
        } else {
          showPopupAt(item->geometry());
        }
      }
    });
  }

  overlay_ = new FallbackOverlay([this] {
    if (popup_->isVisible()) {
      popup_->hide();
    } else {
      showPopupAt(overlay_->geometry());
    }
  });

  connect(qApp, &QGuiApplication::screenAdded, this, [this] { screensChanged(); });
  connect(qApp, &QGuiApplication::screenRemoved, this, [this] { screensChanged(); });
  connect(qApp, &QGuiApplication::primaryScreenChanged, this, [this] { screensChanged(); });

  std::weak_ptr<int> alive = alive_;
  auto pending = changePending_;
  source_.subscribe([this, alive, pending] {
    // Any number of notifications before the Qt thread runs make one redraw.
    if (pending->exchange(true)) {
      return;
    }
    QMetaObject::invokeMethod(
        qApp,
        [this, alive] {
          if (alive.lock()) {
            changePending_->store(false);
            scheduleDisplayUpdate();
          }
        },
        Qt::QueuedConnection);
  });

  // Draw once before showing: a tray item without an icon is not shown at all.
  updateStatusItems();
  chart_->show();
  cost_->show();
  scheduleCrowdingCheck(650);
}

TrayController::~TrayController() {
  tearDown();
  delete popup_;
  delete menu_;
  delete overlay_;
  delete savings_;
}

void TrayController::tearDown() {
  alive_.reset();
  menu_->hide();
  popup_->hide();
  chart_->hide();
  cost_->hide();
  overlay_->hide();
  if (savings_) {
    savings_->hide();
  }
}

void TrayController::scheduleDisplayUpdate() {
  if (displayUpdateScheduled_) {
    return;
  }
  displayUpdateScheduled_ = true;
  QTimer::singleShot(0, this, [this] {
    displayUpdateScheduled_ = false;
    updateStatusItems();
  });
}

void TrayController::updateStatusItems() {
  ++redraws_;
  state_ = source_.current();
  const auto& s = *state_;
  const QPalette palette = QApplication::palette();
  const bool active = s.status.is(ConnectionStatus::Kind::connected);
  const QString tooltip = qs(tooltipText(s));

  // A new icon makes the tray host fetch and repaint it: replace one only when its picture changes.
  const HeatIconInputs heat{s.tokensPerMinuteNow, active, palette.cacheKey()};
  if (heat != heatShown_) {
    heatShown_ = heat;
    chart_->setIcon(heatBarIcon(heat.tokensPerMinute, active, palette));
  }
  const CostIconInputs costShown{cost(s.publicCost(), StatusBarCostDisplayMode::exact), crowding_.mode,
                                 resolveColor(statusColor(s), palette).rgba(), palette.cacheKey()};
  if (costShown != costShown_) {
    costShown_ = costShown;
    cost_->setIcon(costIcon(state_, crowding_.mode, palette));
  }
  chart_->setToolTip(tooltip);
  cost_->setToolTip(tooltip);
  if (redraws_ > 1) {  // the first redraw runs before the items are shown
    cost_->setVisible(!crowding_.costItemSuppressed);
  }

  QImage bar(76, 15, QImage::Format_ARGB32_Premultiplied);
  bar.fill(Qt::transparent);
  {
    QPainter painter(&bar);
    paintHeatBar(painter, QRectF(0, 0, 76, 15), s.tokensPerMinuteNow, active, palette);
  }
  overlay_->update(bar, qs(cost(s.publicCost(), StatusBarCostDisplayMode::exact)),
                   resolveColor(statusColor(s), palette), tooltip);
  // Tray items have no accessibility API of their own; the overlay carries the bar's text.
  overlay_->setAccessibleDescription(qs(heatAccessibilityText(s.tokensPerMinuteNow, active)));

  if (popup_->isVisible()) {
    refreshPopup();
  }
  if (savings_) {
    savings_->setState(state_);
  }
  scheduleCrowdingCheck(180);
}

bool TrayController::isUsable(const QSystemTrayIcon* item) const {
  return QSystemTrayIcon::isSystemTrayAvailable() && item->isVisible() && !item->geometry().isEmpty();
}

QString TrayController::geometryText(const QSystemTrayIcon* item) const {
  const QRect g = item->geometry();
  return QString("visible=%1 frame=%2,%3 %4x%5 tray=%6")
      .arg(item->isVisible() ? "true" : "false")
      .arg(g.x())
      .arg(g.y())
      .arg(g.width())
      .arg(g.height())
      .arg(QSystemTrayIcon::isSystemTrayAvailable() ? "true" : "false");
}

void TrayController::scheduleCrowdingCheck(int milliseconds) {
  if (crowdingCheckScheduled_) {
    return;
  }
  crowdingCheckScheduled_ = true;
  QTimer::singleShot(milliseconds, this, [this] {
    crowdingCheckScheduled_ = false;
    reconcileCrowding();
  });
}

void TrayController::reconcileCrowding() {
  const bool chartOK = isUsable(chart_);
  const bool costOK = isUsable(cost_);
  if (!loggedInitialGeometry_) {
    loggedInitialGeometry_ = true;
    logLine(("Quorvin status items chart=" + geometryText(chart_) + " cost=" + geometryText(cost_)).toStdString());
  }
  const auto step = crowding_.reconcile(chartOK, costOK);
  cost_->setVisible(!crowding_.costItemSuppressed);
  if (step.logChartVisible) {
    logLine(QString("Quorvin status-item crowding chartVisible=%1 costVisible=%2 chart=%3 cost=%4; the system exposes "
                    "no public status-item priority API")
                .arg(*step.logChartVisible ? "true" : "false", costOK ? "true" : "false", geometryText(chart_),
                     geometryText(cost_))
                .toStdString());
  }
  if (step.hideOverlay) {
    overlay_->hide();
  }
  if (step.showOverlay) {
    overlay_->present();
  }
  if (step.redraw) {
    scheduleDisplayUpdate();
  }
  if (step.recheck) {
    scheduleCrowdingCheck(350);
  }
}

void TrayController::screensChanged() {
  crowding_.screensChanged();
  cost_->setVisible(true);
  scheduleDisplayUpdate();
  scheduleCrowdingCheck(350);
}

void TrayController::populateMenu() {
  menu_->clear();
  const auto& s = *state_;
  for (const auto& entry : menuEntries(s, false)) {
    if (entry.kind == MenuEntryKind::separator) {
      menu_->addSeparator();
      continue;
    }
    QAction* action = menu_->addAction(entryText(entry));
    action->setEnabled(entry.enabled);
    action->setCheckable(entry.checkable);
    action->setChecked(entry.checked);
    if (!entry.shortcut.empty()) {
      action->setShortcut(QKeySequence(QString("Ctrl+") + qs(entry.shortcut).toUpper()));
    }
    action->setObjectName(qs(entry.symbol));
    const auto what = entry.action;
    connect(action, &QAction::triggered, this, [this, what] { perform(what); });
  }
}

void TrayController::populatePopupActions() {
  auto* layout = popupActions_->layout();
  while (auto* item = layout->takeAt(0)) {
    if (auto* w = item->widget()) {
      w->hide();
      w->deleteLater();
    }
    delete item;
  }
  for (const auto& entry : menuEntries(*state_, false)) {
    if (entry.kind == MenuEntryKind::separator) {
      auto* line = new QFrame;
      line->setFrameShape(QFrame::HLine);
      line->setFrameShadow(QFrame::Plain);
      line->setEnabled(false);
      layout->addWidget(line);
      continue;
    }
    QString text = entryText(entry);
    if (entry.checkable && entry.checked) {
      text = "✓ " + text;
    }
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setStyleSheet("text-align: left; padding: 4px 8px;");
    button->setEnabled(entry.enabled);
    button->setObjectName(qs(entry.symbol));
    const auto what = entry.action;
    connect(button, &QPushButton::clicked, this, [this, what] {
      popup_->hide();
      perform(what);
    });
    layout->addWidget(button);
  }
}

void TrayController::refreshPopup() {
  dashboard_->setState(state_, clock_.now());
  // A tall dashboard scrolls inside a bounded entry.
  const auto height = hostedDashboardHeight(dashboard_->sizeHint().height());
  scroll_->setFixedSize(dashboard_->width() + (height < dashboard_->sizeHint().height() ? 14 : 0),
                        static_cast<int>(height));
  populatePopupActions();
  popup_->adjustSize();
}

void TrayController::showPopupAt(const QRect& anchor) {
  refreshPopup();
  QScreen* screen = QGuiApplication::screenAt(anchor.center());
  if (!screen) {
    screen = QGuiApplication::primaryScreen();
  }
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  // On a short screen the dashboard scrolls so the popup fits beside the anchor.
  const int room = std::max(anchor.top() - area.top(), area.bottom() - anchor.bottom()) - 8;
  const int overflow = popup_->sizeHint().height() - room;
  if (overflow > 0) {
    scroll_->setFixedHeight(std::max(160, scroll_->height() - overflow));
    scroll_->setFixedWidth(dashboard_->width() + 14);
    popup_->adjustSize();
  }
  const QSize size = popup_->sizeHint();
  // Below the anchor when it sits in the upper half, above it otherwise; kept on screen.
  int x = anchor.isValid() ? anchor.center().x() - size.width() / 2 : area.right() - size.width();
  int y = anchor.isValid() && anchor.center().y() > area.center().y() ? anchor.top() - size.height()
                                                                       : anchor.bottom() + 4;
  x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
  y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
  popup_->move(x, y);
  popup_->show();
}

void TrayController::popupOpened() {
  if (popupOpen_) {
    return;
  }
  popupOpen_ = true;
  commands_.setMenuBarPopoverVisible(true);
  commands_.refreshSavingsAdvisor();
  commands_.startPublicCandleUpdatesIfNeeded();
  commands_.startProviderQuotaUpdatesIfNeeded();
  commands_.refreshPulse();
}

void TrayController::popupClosed() {
  if (!popupOpen_) {
    return;
  }
  popupOpen_ = false;
  commands_.setMenuBarPopoverVisible(false);
  commands_.stopPublicCandleUpdates();
  commands_.stopProviderQuotaUpdates();
}

void TrayController::perform(MenuAction action) {
  const auto effect = performMenuAction(action, *state_, commands_);
  switch (effect.kind) {
    case MenuEffect::Kind::none:
      break;
    case MenuEffect::Kind::showSavingsWindow:
      showSavingsWindow(effect.page);
      break;
    case MenuEffect::Kind::confirmDisconnect:
      confirmDisconnect();
      break;
    case MenuEffect::Kind::quit:
      QCoreApplication::quit();
      break;
  }
}

void TrayController::confirmDisconnect() {
  QMessageBox box(QMessageBox::Warning, "Quorvin", kDisconnectMessage);
  box.setInformativeText(kDisconnectInformative);
  auto* confirm = box.addButton("Disconnect", QMessageBox::AcceptRole);
  box.addButton("Cancel", QMessageBox::RejectRole);
  box.setObjectName("quorvin-disconnect-alert");
  box.exec();
  if (box.clickedButton() == confirm) {
    commands_.disconnect();
  }
}

void TrayController::showSavingsWindow(SavingsPlanPage page) {
  if (!savings_) {
    savings_ = new SavingsPlanWindow(commands_);
    savings_->setState(state_);
  }
  savings_->show(page);
}

void TrayController::showFromPeer() {
  if (menu_->isVisible()) {
    menu_->close();
    return;
  }
  openPreferredStatusItem();
}

void TrayController::openPreferredStatusItem(bool allowCompactRetry) {
  reconcileCrowding();
  for (auto* item : {chart_, cost_}) {
    if (isUsable(item)) {
      showPopupAt(item->geometry());
      return;
    }
  }
  if (allowCompactRetry) {
    if (crowding_.mode == StatusBarCostDisplayMode::exact) {
      crowding_.mode = StatusBarCostDisplayMode::compact;
      scheduleDisplayUpdate();
      QTimer::singleShot(150, this, [this] { openPreferredStatusItem(false); });
      return;
    }
    if (!crowding_.costItemSuppressed && !crowding_.chartRecoveryAttempted) {
      crowding_.costItemSuppressed = true;
      crowding_.chartRecoveryAttempted = true;
      cost_->setVisible(false);
      QTimer::singleShot(200, this, [this] { openPreferredStatusItem(false); });
      return;
    }
  }
  // Neither item can be shown: the overlay and the dashboard under it.
  overlay_->present();
  showPopupAt(overlay_->geometry());
}

}  // namespace quorvin::ui
