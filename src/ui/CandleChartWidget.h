#pragma once

#include <QWidget>
#include <vector>

#include "wire/ServiceRecords.h"

namespace quorvin::ui {

// Draws the live candle chart computed by the presentation layer.
class CandleChartWidget : public QWidget {
 public:
  explicit CandleChartWidget(QWidget* parent = nullptr);
  void setSeries(std::vector<API::LiveCandle> candles, bool stale);
  QSize sizeHint() const override { return {336, 128}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<API::LiveCandle> candles_;
  bool stale_ = true;
};

}  // namespace quorvin::ui
