#include "ui/UiColors.h"

namespace quorvin::ui {

using presentation::ColorRole;

bool isDarkPalette(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QColor resolveColor(const presentation::Color& color, const QPalette& palette) {
  const bool dark = isDarkPalette(palette);
  QColor base;
  double alpha = color.alpha;
  switch (color.role) {
    case ColorRole::label:
    case ColorRole::primary:
      base = palette.color(QPalette::WindowText);
      break;
    case ColorRole::secondaryLabel:
      base = palette.color(QPalette::WindowText);
      alpha *= 0.55;
      break;
    case ColorRole::separator:
      base = palette.color(QPalette::WindowText);
      alpha *= 0.5;
      break;
    case ColorRole::windowBackground:
      base = palette.color(QPalette::Window);
      break;
    // The system accent hues, lifted a little on dark backgrounds.
    case ColorRole::green:
      base = dark ? QColor(48, 209, 88) : QColor(52, 199, 89);
      break;
    case ColorRole::yellow:
      base = dark ? QColor(255, 214, 10) : QColor(255, 204, 0);
      break;
    case ColorRole::orange:
      base = dark ? QColor(255, 159, 10) : QColor(255, 149, 0);
      break;
    case ColorRole::red:
      base = dark ? QColor(255, 69, 58) : QColor(255, 59, 48);
      break;
    case ColorRole::blue:
      base = dark ? QColor(10, 132, 255) : QColor(0, 122, 255);
      break;
    case ColorRole::white:
      base = Qt::white;
      break;
    case ColorRole::custom:
      base = QColor::fromRgbF(static_cast<float>(color.rgb.r), static_cast<float>(color.rgb.g),
                              static_cast<float>(color.rgb.b));
      break;
  }
  base.setAlphaF(static_cast<float>(base.alphaF() * alpha));
  return base;
}

}  // namespace quorvin::ui
