#pragma once

#include <optional>

namespace quorvin::presentation {

// Colours are named by role; the UI maps each role to the current palette so light and dark
// themes both stay readable. `custom` carries fixed components (the chart's four colours).
enum class ColorRole {
  label,
  secondaryLabel,
  separator,
  primary,
  windowBackground,
  green,
  yellow,
  orange,
  red,
  blue,
  white,
  custom,
};

struct Rgb {
  double r = 0;
  double g = 0;
  double b = 0;
  bool operator==(const Rgb&) const = default;
};

struct Color {
  ColorRole role = ColorRole::label;
  double alpha = 1.0;
  Rgb rgb;  // only for ColorRole::custom
  bool operator==(const Color&) const = default;
};

constexpr Color roleColor(ColorRole role, double alpha = 1.0) { return Color{role, alpha, {}}; }
constexpr Color rgbColor(double r, double g, double b, double alpha = 1.0) {
  return Color{ColorRole::custom, alpha, {r, g, b}};
}
constexpr Color withAlpha(Color color, double alpha) {
  color.alpha = alpha;
  return color;
}

}  // namespace quorvin::presentation
