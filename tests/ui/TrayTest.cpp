#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>

#include "presentation/StatusBarPresentation.h"
#include "support/RecordingCommands.h"
#include "support/SampleStates.h"
#include "ui/FallbackOverlay.h"
#include "ui/TrayController.h"

namespace quorvin::ui {
namespace {

using presentation::MenuEntryKind;

// Runs under tests/support/with-xvfb-tray: a real X server with the trayer tray host.
class TrayHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "tray_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals may be gone by the time statics are torn down.
    static auto* app = new QApplication(argc, argv);
    (void)app;
    QApplication::setQuitOnLastWindowClosed(false);
  }

  static std::vector<QWidget*> trayWindows() {
    std::vector<QWidget*> out;
    for (auto* w : QApplication::topLevelWidgets()) {
      if (QString(w->metaObject()->className()) == "QSystemTrayIconSys" && w->isVisible()) {
        out.push_back(w);
      }
    }
    return out;
  }

  static QStringList texts(const std::vector<presentation::MenuEntry>& entries) {
    QStringList out;
    for (const auto& e : entries) {
      if (e.kind == MenuEntryKind::action) {
        out << QString::fromStdString(e.title);
      }
    }
    return out;
  }

  // `zoom` enlarges small crops (tray slots are 22 pixels) so the artifact is readable.
  static void saveScreenshot(const QString& name, const QRect& area, int zoom = 1) {
    QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    if (!area.isNull()) {
      shot = shot.copy(area);
    }
    if (zoom > 1) {
      shot = shot.scaled(shot.size() * zoom, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    shot.save(QStringLiteral(QUORVIN_BINARY_DIR) + "/" + name + ".png");
    const QString docs = qEnvironmentVariable("QUORVIN_DOCS_SCREENSHOTS");
    if (!docs.isEmpty()) {
      shot.save(docs + "/" + name + ".png");
    }
  }

  presentation::StateFeed feed;
  testing::RecordingCommands commands;
  testing::SampleClock clock;
};

TEST_F(TrayHost, ShowsBothItemsOpensTheDashboardAndRunsTheMenu) {
  ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000))
      << "trayer did not take the tray selection";
  feed.publish(testing::connectedSample());
  TrayController tray(feed, commands, clock);
  ASSERT_TRUE(QTest::qWaitFor([&] { return tray.isUsable(tray.chartItem()) && tray.isUsable(tray.costItem()); },
                              15000));
  EXPECT_EQ(tray.chartItem()->toolTip().toStdString(), presentation::tooltipText(*feed.current()));
  ASSERT_EQ(trayWindows().size(), 2u);
  QTest::qWait(300);  // let trayer paint the embedded icons before the screenshot
  EXPECT_FALSE(tray.overlay()->isVisible());

  // A left click on the heat item opens the dashboard with the actions below it.
  QTest::mouseClick(trayWindows().front(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return tray.popup()->isVisible(); }, 5000));
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"setMenuBarPopoverVisible true", "refreshSavingsAdvisor",
                                      "startPublicCandleUpdatesIfNeeded", "startProviderQuotaUpdatesIfNeeded",
                                      "refreshPulse"}));
  QStringList popupButtons;
  for (auto* button : tray.popup()->findChildren<QPushButton*>()) {
    if (button->isVisible() && button->accessibleName().isEmpty()) {
      popupButtons << button->text();
    }
  }
  const auto expected = texts(presentation::menuEntries(*feed.current(), false));
  EXPECT_EQ(popupButtons, expected);
  bool streaming = false;
  for (auto* label : tray.popup()->findChildren<QLabel*>()) {
    streaming = streaming || label->text() == "Streaming";
  }
  EXPECT_TRUE(streaming);
  QTest::qWait(200);
  saveScreenshot("tray-dashboard", {});
  const QRect trayArea = trayWindows().front()->geometry().united(trayWindows().back()->geometry());
  saveScreenshot("tray-items", trayArea.adjusted(-16, -4, 4, 4).intersected(QRect(0, 0, 1280, 800)), 6);

  commands.calls.clear();
  tray.popup()->hide();
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"setMenuBarPopoverVisible false", "stopPublicCandleUpdates",
                                                      "stopProviderQuotaUpdates"}));

  // The right-click menu has the same entries; each runs its command.
  emit tray.actionMenu()->aboutToShow();
  QStringList menuTexts;
  QAction* refresh = nullptr;
  for (auto* action : tray.actionMenu()->actions()) {
    if (!action->isSeparator()) {
      menuTexts << action->text();
    }
    if (action->text() == "Refresh exact totals") {
      refresh = action;
    }
  }
  EXPECT_EQ(menuTexts, expected);
  ASSERT_NE(refresh, nullptr);
  commands.calls.clear();
  refresh->trigger();
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"refreshNow"}));

  // Cancelling the disconnect alert leaves the connection alone.
  commands.calls.clear();
  QTimer cancel;
  QObject::connect(&cancel, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      for (auto* button : box->buttons()) {
        if (button->text() == "Cancel") {
          button->click();
        }
      }
    }
  });
  cancel.start(20);
  tray.perform(presentation::MenuAction::disconnect);
  cancel.stop();
  EXPECT_TRUE(commands.calls.empty());
}

TEST_F(TrayHost, ChangesFromAnotherThreadRedrawOnceAndReachTheItems) {
  ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000));
  TrayController tray(feed, commands, clock);
  ASSERT_TRUE(QTest::qWaitFor([&] { return tray.redrawCount() >= 1; }, 5000));
  QTest::qWait(50);
  const int before = tray.redrawCount();

  std::thread publisher([&] {
    for (int i = 0; i < 10; ++i) {
      auto s = testing::pairingSample();
      s.status = ConnectionStatus::pairing("CODE-" + std::to_string(i));
      feed.publish(std::move(s));
    }
  });
  publisher.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return tray.redrawCount() > before; }, 5000));
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::processEvents();
  }
  EXPECT_EQ(tray.redrawCount(), before + 1);
  EXPECT_EQ(tray.costItem()->toolTip(), "Quorvin · pair code CODE-9");
  emit tray.actionMenu()->aboutToShow();
  EXPECT_EQ(tray.actionMenu()->actions().front()->text(), "Approve pair code CODE-9");

  // The icons are replaced only when their picture changes: the tray host refetches each one.
  const auto iconsNow = [&] { return std::pair(tray.chartItem()->icon().cacheKey(), tray.costItem()->icon().cacheKey()); };
  const auto publishAndRedraw = [&](presentation::PresentationState s) {
    const int redraws = tray.redrawCount();
    feed.publish(std::move(s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tray.redrawCount() > redraws; }, 5000));
  };
  auto s = testing::connectedSample();
  publishAndRedraw(s);
  const auto first = iconsNow();
  s.login = "someone else";  // drawn in neither icon
  publishAndRedraw(s);
  EXPECT_EQ(iconsNow(), first);
  s.cost += 1;
  s.tokensPerMinuteNow *= 2;
  publishAndRedraw(s);
  EXPECT_NE(iconsNow().first, first.first);
  EXPECT_NE(iconsNow().second, first.second);
}

}  // namespace
}  // namespace quorvin::ui
