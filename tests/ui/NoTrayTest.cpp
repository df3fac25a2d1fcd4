#include <QApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <gtest/gtest.h>

#include "support/RecordingCommands.h"
#include "support/SampleStates.h"
#include "ui/FallbackOverlay.h"
#include "ui/TrayController.h"

namespace quorvin::ui {
namespace {

// Runs under tests/support/with-xvfb-tray --no-tray: an X server without any tray host.
TEST(NoTrayHost, TheOverlayStandsInAndOpensTheDashboard) {
  static int argc = 1;
  static char name[] = "notray_tests";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());

  presentation::StateFeed feed;
  feed.publish(testing::connectedSample());
  testing::RecordingCommands commands;
  testing::SampleClock clock;
  TrayController tray(feed, commands, clock);

  // compact, cost item suppressed, restored compact, then the overlay.
  ASSERT_TRUE(QTest::qWaitFor([&] { return tray.overlay()->isVisible(); }, 15000));
  EXPECT_TRUE(tray.crowding().chartRecoveryAttempted);
  EXPECT_EQ(tray.crowding().mode, presentation::StatusBarCostDisplayMode::compact);
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const QRect frame = tray.overlay()->geometry();
  EXPECT_EQ(frame.right(), screen.right() - 8);
  EXPECT_EQ(frame.top(), 0);
  EXPECT_EQ(frame.height(), 22);

  QTest::mouseClick(tray.overlay(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return tray.popup()->isVisible(); }, 5000));
  EXPECT_GE(tray.popup()->geometry().top(), frame.bottom());
}

}  // namespace
}  // namespace quorvin::ui
