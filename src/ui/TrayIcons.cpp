#include "ui/TrayIcons.h"

#include <QFontMetrics>
#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "ui/ShapePainter.h"
#include "ui/UiColors.h"

namespace quorvin::ui {

using namespace presentation;

namespace {

constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};

QRectF toQt(const RectF& r) { return {r.x, r.y, r.width, r.height}; }

// An icon that renders its square picture for each request. Qt's pixmap icons put every size
// they hand out into the global pixmap cache, keyed by the icon, so an icon replaced each
// second kept its pictures (and the tray's scaled copies) alive until evicted.
class RenderedIconEngine final : public QIconEngine {
 public:
  explicit RenderedIconEngine(std::function<QImage(int)> render) : render_(std::move(render)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    const int side = std::min(rect.width(), rect.height());
    if (side <= 0) {
      return;
    }
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QImage image = render_(std::max(1, qRound(side * ratio)));
    image.setDevicePixelRatio(ratio);
    painter->drawImage(QRectF(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0,
                              side, side),
                       image);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int side = std::min(size.width(), size.height());
    return side > 0 ? QPixmap::fromImage(render_(side)) : QPixmap();
  }
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    const int side = std::min(size.width(), size.height());
    return {side, side};
  }
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    QList<QSize> sizes;
    for (int size : kIconSizes) {
      sizes.append(QSize(size, size));
    }
    return sizes;
  }
  bool isNull() override { return false; }
  QString key() const override { return QStringLiteral("quorvin-rendered"); }
  QIconEngine* clone() const override { return new RenderedIconEngine(render_); }

 private:
  std::function<QImage(int)> render_;
};

QFont costFont(int size) {
  QFont font = uiFont(11, true, true);
  font.setPixelSize(std::max(6, size / 2));
  return font;
}

}  // namespace

void paintHeatBar(QPainter& painter, const QRectF& target, double tokensPerMinute, bool isActive,
                  const QPalette& palette) {
  const auto g = heatBarGeometry(tokensPerMinute, isActive);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(target.topLeft());
  painter.scale(target.width() / HeatBarGeometry::kWidth, target.height() / HeatBarGeometry::kHeight);

  const QRectF track = toQt(g.track);
  QPainterPath rounded;
  rounded.addRoundedRect(track, g.trackRadius, g.trackRadius);
  painter.fillPath(rounded, resolveColor(g.trackFill, palette));

  if (g.fillWidth > 0) {
    painter.save();
    painter.setClipPath(rounded);
    painter.setClipRect(QRectF(track.x(), track.y(), g.fillWidth, track.height()), Qt::IntersectClip);
    QLinearGradient gradient(track.left(), 0, track.right(), 0);
    for (const auto& stop : kHeatGradient) {
      gradient.setColorAt(stop.position, resolveColor(roleColor(stop.role), palette));
    }
    painter.fillRect(track, gradient);
    painter.restore();
    painter.setPen(Qt::NoPen);
    painter.setBrush(resolveColor(g.cursorFill, palette));
    painter.drawRoundedRect(toQt(g.cursor), 0.75, 0.75);
  }

  QPen outline(resolveColor(g.outline, palette), g.outlineWidth);
  painter.setPen(outline);
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(rounded);
  painter.restore();
}

QImage heatBarIconImage(int size, double tokensPerMinute, bool isActive, const QPalette& palette) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  const double height = size * HeatBarGeometry::kHeight / HeatBarGeometry::kWidth;
  paintHeatBar(painter, QRectF(0, (size - height) / 2, size, height), tokensPerMinute, isActive, palette);
  return image;
}

CostIconText costIconText(const PresentationState& state, int size, StatusBarCostDisplayMode crowdingMode) {
  if (crowdingMode == StatusBarCostDisplayMode::exact) {
    const auto exact = QString::fromStdString(cost(state.publicCost(), StatusBarCostDisplayMode::exact));
    if (QFontMetrics(costFont(size)).horizontalAdvance(exact) <= size - 2) {
      return {exact, StatusBarCostDisplayMode::exact};
    }
  }
  return {QString::fromStdString(cost(state.publicCost(), StatusBarCostDisplayMode::compact)),
          StatusBarCostDisplayMode::compact};
}

QImage costIconImage(int size, const PresentationState& state, StatusBarCostDisplayMode crowdingMode,
                     const QPalette& palette) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::TextAntialiasing);
  QFont font = costFont(size);
  const auto text = costIconText(state, size, crowdingMode).text;
  // A compact text can still be wider than a tiny slot ("$1000K"): shrink rather than clip.
  while (font.pixelSize() > 6 && QFontMetrics(font).horizontalAdvance(text) > size) {
    font.setPixelSize(font.pixelSize() - 1);
  }
  painter.setFont(font);
  painter.setPen(resolveColor(statusColor(state), palette));
  painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, text);
  return image;
}

QIcon heatBarIcon(double tokensPerMinute, bool isActive, const QPalette& palette) {
  return QIcon(new RenderedIconEngine([tokensPerMinute, isActive, palette](int size) {
    return heatBarIconImage(size, tokensPerMinute, isActive, palette);
  }));
}

QIcon costIcon(std::shared_ptr<const PresentationState> state, StatusBarCostDisplayMode crowdingMode,
               const QPalette& palette) {
  return QIcon(new RenderedIconEngine([state = std::move(state), crowdingMode, palette](int size) {
    return costIconImage(size, *state, crowdingMode, palette);
  }));
}

}  // namespace quorvin::ui
