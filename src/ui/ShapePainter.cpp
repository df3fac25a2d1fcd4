#include "ui/ShapePainter.h"

#include <QFontDatabase>
#include <QPainterPath>

#include "ui/UiColors.h"

namespace quorvin::ui {

namespace {

QPointF point(const presentation::PointF& p) { return {p.x, p.y}; }
QRectF rect(const presentation::RectF& r) { return {r.x, r.y, r.width, r.height}; }

}  // namespace

QFont uiFont(double pointSize, bool semibold, bool monospaced) {
  QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QFont();
  // Pixel sizes keep renders independent of the screen's DPI setting.
  font.setPixelSize(std::max(1, static_cast<int>(pointSize * 1.25 + 0.5)));
  font.setWeight(semibold ? QFont::DemiBold : QFont::Medium);
  return font;
}

void paintShapes(QPainter& painter, const presentation::DrawList& shapes, const QPalette& palette) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  for (const auto& shape : shapes) {
    if (const auto* line = std::get_if<presentation::LineShape>(&shape)) {
      QPen pen(resolveColor(line->color, palette), line->width);
      pen.setCapStyle(Qt::FlatCap);
      if (!line->dash.empty()) {
        QList<qreal> pattern;
        for (double d : line->dash) {
          pattern << d / line->width;
        }
        pen.setDashPattern(pattern);
      }
      painter.setPen(pen);
      painter.drawLine(point(line->from), point(line->to));
    } else if (const auto* box = std::get_if<presentation::BoxShape>(&shape)) {
      painter.setPen(Qt::NoPen);
      painter.setBrush(resolveColor(box->fill, palette));
      painter.drawRoundedRect(rect(box->rect), box->radius, box->radius);
    } else if (const auto* dot = std::get_if<presentation::DotShape>(&shape)) {
      painter.setPen(Qt::NoPen);
      painter.setBrush(resolveColor(dot->fill, palette));
      painter.drawEllipse(point(dot->center), dot->diameter / 2, dot->diameter / 2);
    } else if (const auto* text = std::get_if<presentation::TextShape>(&shape)) {
      painter.setFont(uiFont(text->pointSize, text->semibold, text->monospaced));
      painter.setPen(resolveColor(text->color, palette));
      const QString label = QString::fromStdString(text->text);
      const double width = painter.fontMetrics().horizontalAdvance(label) + 2;
      const double height = painter.fontMetrics().height();
      const double left = text->align == presentation::TextAlign::center ? text->anchor.x - width / 2
                                                                        : text->anchor.x - width;
      const auto flags = text->align == presentation::TextAlign::center ? Qt::AlignCenter
                                                                        : (Qt::AlignRight | Qt::AlignVCenter);
      painter.drawText(QRectF(left, text->anchor.y - height / 2, width, height), flags, label);
    }
  }
  painter.restore();
}

}  // namespace quorvin::ui
