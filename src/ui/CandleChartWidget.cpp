#include "ui/CandleChartWidget.h"

#include <QPainter>

#include "presentation/LiveCandlestickChart.h"
#include "ui/ShapePainter.h"

namespace quorvin::ui {

CandleChartWidget::CandleChartWidget(QWidget* parent) : QWidget(parent) {
  setAccessibleName("Live compute productivity candlestick chart");
  setMinimumHeight(96);
}

void CandleChartWidget::setSeries(std::vector<API::LiveCandle> candles, bool stale) {
  candles_ = std::move(candles);
  stale_ = stale;
  update();
}

void CandleChartWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  paintShapes(painter, presentation::liveCandlestickChart(candles_, stale_, width(), height()), palette());
}

}  // namespace quorvin::ui
