#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

namespace quorvin::ui {

// Stands in for the tray items when there is no tray: a small frameless always-on-top window
// at the top right of the primary screen with the heat bar and the exact cost; a click opens
// the dashboard.
class FallbackOverlay : public QWidget {
 public:
  explicit FallbackOverlay(std::function<void()> onClick);
  void update(const QImage& heatBar, const QString& title, const QColor& titleColor, const QString& tooltip);
  // Positions the window and shows it without taking focus.
  void present();
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  double titleWidth() const;

  std::function<void()> onClick_;
  QImage image_;
  QString title_;
  QColor titleColor_;
};

}  // namespace quorvin::ui
