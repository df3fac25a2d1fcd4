#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QPainter>
#include <QStyle>
#include <gtest/gtest.h>

#include "presentation/LiveCandlestickChart.h"
#include "support/ImageCompare.h"
#include "support/RecordingCommands.h"
#include "support/SampleStates.h"
#include "ui/CandleChartWidget.h"
#include "ui/DashboardWidget.h"
#include "ui/SavingsPlanWindow.h"
#include "ui/TrayIcons.h"

namespace quorvin::ui {
namespace {

using testing::matchGolden;
using presentation::StatusBarCostDisplayMode;

QPalette darkPalette() {
  QPalette p = QApplication::style()->standardPalette();
  const QColor window(30, 30, 32);
  const QColor text(235, 235, 240);
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    p.setColor(group, QPalette::Window, window);
    p.setColor(group, QPalette::Base, QColor(22, 22, 24));
    p.setColor(group, QPalette::Button, QColor(48, 48, 52));
    p.setColor(group, QPalette::WindowText, text);
    p.setColor(group, QPalette::Text, text);
    p.setColor(group, QPalette::ButtonText, text);
  }
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    p.setColor(QPalette::Disabled, role, QColor(120, 120, 126));
  }
  return p;
}

struct Theme {
  const char* suffix;
  QPalette palette;
};

class Render : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "render_tests";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    QApplication::setStyle("Fusion");
    QApplication::setPalette(QApplication::style()->standardPalette());
  }

  static std::vector<Theme> themes() {
    return {{"", QApplication::style()->standardPalette()}, {"-dark", darkPalette()}};
  }

  static QImage grab(QWidget& widget, const QPalette& palette) {
    widget.setPalette(palette);
    widget.setAttribute(Qt::WA_DontShowOnScreen);
    widget.show();
    widget.resize(widget.sizeHint());
    return widget.grab().toImage();
  }

  static void expectGolden(const QImage& image, const QString& name) {
    const auto match = matchGolden(image, name);
    EXPECT_TRUE(match.ok) << match.message.toStdString();
  }
};

TEST_F(Render, HeatBarAtRestTrickleAndFull) {
  for (const auto& theme : themes()) {
    QImage strip(76 * 2, 15 * 2 * 4, QImage::Format_ARGB32_Premultiplied);
    strip.fill(theme.palette.color(QPalette::Window));
    QPainter painter(&strip);
    const std::pair<double, bool> rows[] = {{0, false}, {1, true}, {180'000, true}, {30'000'000, true}};
    int y = 0;
    for (const auto& [rate, active] : rows) {
      paintHeatBar(painter, QRectF(0, y, 152, 30), rate, active, theme.palette);
      y += 30;
    }
    painter.end();
    expectGolden(strip, QString("heatbar") + theme.suffix);
    // The tray slot: the bar fills the slot's width.
    expectGolden(heatBarIconImage(22, 180'000, true, theme.palette), QString("heatbar-icon22") + theme.suffix);
  }
}

TEST_F(Render, CostIconIsExactWhenItFitsAndCompactOtherwise) {
  auto s = testing::connectedSample();
  s.cost = 42;
  EXPECT_EQ(costIconText(s, 32, StatusBarCostDisplayMode::exact).mode, StatusBarCostDisplayMode::exact);
  EXPECT_EQ(costIconText(s, 32, StatusBarCostDisplayMode::compact).text, "$42");
  s.cost = 4321.49;
  EXPECT_EQ(costIconText(s, 22, StatusBarCostDisplayMode::exact).text, "$4K");
  for (const auto& theme : themes()) {
    expectGolden(costIconImage(22, s, StatusBarCostDisplayMode::exact, theme.palette),
                 QString("cost-icon22") + theme.suffix);
    s.status = ConnectionStatus::pairing("ABCD-1234");
    expectGolden(costIconImage(32, s, StatusBarCostDisplayMode::exact, theme.palette),
                 QString("cost-icon32-pairing") + theme.suffix);
    s.status = ConnectionStatus::connected();
  }
}

TEST_F(Render, CandleChartSeriesAndPlaceholder) {
  for (const auto& theme : themes()) {
    CandleChartWidget chart;
    chart.setFixedSize(336, 120);
    chart.setSeries(testing::sampleCandles(36), false);
    expectGolden(grab(chart, theme.palette), QString("candles") + theme.suffix);
    chart.setSeries({}, true);
    expectGolden(grab(chart, theme.palette), QString("candles-empty") + theme.suffix);
  }
}

TEST_F(Render, DashboardInEachConnectionState) {
  testing::RecordingCommands commands;
  const std::pair<const char*, presentation::PresentationState> states[] = {
      {"dashboard-connected", testing::connectedSample()},
      {"dashboard-disconnected", testing::disconnectedSample()},
      {"dashboard-pairing", testing::pairingSample()}};
  for (const auto& theme : themes()) {
    for (const auto& [name, state] : states) {
      DashboardWidget dashboard(commands);
      dashboard.setState(std::make_shared<const presentation::PresentationState>(state), testing::sampleNow());
      const QImage image = grab(dashboard, theme.palette);
      EXPECT_EQ(image.width(), 368);
      expectGolden(image, QString(name) + theme.suffix);
    }
  }
}

TEST_F(Render, PairingBannerOpensTheProfileShowsWhyItCouldNotAndDismisses) {
  testing::RecordingCommands commands;
  auto state = testing::connectedSample();
  state.pairingSuccessHandle = "alice";
  state.profileOpenError = "Could not open your live profile. Try again.";
  DashboardWidget dashboard(commands);
  dashboard.setState(std::make_shared<const presentation::PresentationState>(state), testing::sampleNow());
  const auto click = [&](const QString& text) {
    for (auto* button : dashboard.findChildren<QPushButton*>()) {
      if (button->text() == text) {
        button->click();
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(click("alice"));
  EXPECT_TRUE(click("Dismiss"));
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"openLiveProfile", "dismissPairingSuccess"}));
  bool errorShown = false;
  for (auto* label : dashboard.findChildren<QLabel*>()) errorShown |= label->text().toStdString() == *state.profileOpenError;
  EXPECT_TRUE(errorShown);
}

TEST_F(Render, SavingsWindowPages) {
  testing::RecordingCommands commands;
  auto state = testing::connectedSample();
  state.savingsTargets = {"Claude Code", "Codex"};
  state.savingsStatus = "Homebrew is required to install RTK.";
  for (const auto& theme : themes()) {
    SavingsPlanWindow window(commands);
    window.setState(std::make_shared<const presentation::PresentationState>(state));
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.setPalette(theme.palette);
    window.show(presentation::SavingsPlanPage::apply);
    window.resize(640, 760);
    expectGolden(window.grab().toImage(), QString("savings-apply") + theme.suffix);
  }
  EXPECT_EQ(commands.calls.front(), "refreshSavingsAdvisor");
}

}  // namespace
}  // namespace quorvin::ui
