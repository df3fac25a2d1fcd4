#include "ui/FallbackOverlay.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include "presentation/TrayCrowding.h"
#include "ui/ShapePainter.h"

namespace quorvin::ui {

FallbackOverlay::FallbackOverlay(std::function<void()> onClick) : onClick_(std::move(onClick)) {
  setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool | Qt::WindowDoesNotAcceptFocus);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TranslucentBackground);
  setFont(uiFont(11, true, true));
  setObjectName("quorvin-fallback-overlay");
}

void FallbackOverlay::update(const QImage& heatBar, const QString& title, const QColor& titleColor,
                             const QString& tooltip) {
  image_ = heatBar;
  title_ = title;
  titleColor_ = titleColor;
  setToolTip(tooltip);
  setAccessibleName(tooltip);
  QWidget::update();
}

double FallbackOverlay::titleWidth() const { return QFontMetrics(font()).horizontalAdvance(title_); }

QSize FallbackOverlay::sizeHint() const {
  return {static_cast<int>(titleWidth() + 83 + 10), static_cast<int>(presentation::kOverlayHeight)};
}

void FallbackOverlay::present() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen && !QGuiApplication::screens().isEmpty()) {
    screen = QGuiApplication::screens().first();
  }
  if (!screen) {
    return;
  }
  const QRect g = screen->geometry();
  const QRect a = screen->availableGeometry();
  const auto frame = presentation::overlayFrame(presentation::RectF{double(g.x()), double(g.y()), double(g.width()),
                                                                    double(g.height())},
                                                presentation::RectF{double(a.x()), double(a.y()), double(a.width()),
                                                                    double(a.height())},
                                                titleWidth());
  if (!frame) {
    return;
  }
  setGeometry(QRect(static_cast<int>(frame->x), static_cast<int>(frame->y), static_cast<int>(frame->width),
                    static_cast<int>(frame->height)));
  show();
  raise();
}

void FallbackOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  QColor back = palette().color(QPalette::Window);
  back.setAlphaF(0.92f);
  painter.setBrush(back);
  painter.drawRoundedRect(rect(), 5, 5);
  const double imageY = (height() - 15) * 0.5;
  if (!image_.isNull()) {
    painter.drawImage(QRectF(4, imageY, 76, 15), image_);
  }
  painter.setPen(titleColor_);
  painter.drawText(QRectF(4 + 76 + 7, 0, width() - 87, height()), Qt::AlignLeft | Qt::AlignVCenter, title_);
}

void FallbackOverlay::mousePressEvent(QMouseEvent* event) {
  event->accept();
  if (onClick_) {
    onClick_();
  }
}

}  // namespace quorvin::ui
