#pragma once

#include <string>

#include "presentation/ColorRole.h"
#include "presentation/Geometry.h"
#include "presentation/PresentationState.h"

namespace quorvin::presentation {

// What the two tray items show: the dollar text, the heat bar, the shared tooltip and the
// colour of the cost text. Pure functions of the published state.

enum class StatusBarCostDisplayMode { exact, compact };

std::string cost(double value, StatusBarCostDisplayMode mode);
std::string compactMoney(double value);

// 0...1 on a log scale; 20M tokens/min or more is full.
double heatLevel(double tokensPerMinute, bool isActive) noexcept;
std::string heatAccessibilityText(double tokensPerMinute, bool isActive);

// The bar's shapes in its own 76 by 15 point space; the UI scales them to the tray slot.
struct HeatBarGeometry {
  static constexpr double kWidth = 76;
  static constexpr double kHeight = 15;
  RectF track;                 // rounded, radius trackRadius
  double trackRadius = 3.5;
  Color trackFill;             // label colour, fainter while inactive
  double fillWidth = 0;        // 0: no fill; else clip width of the gradient
  RectF cursor;                // valid when fillWidth > 0
  Color cursorFill = roleColor(ColorRole::white, 0.48);
  Color outline = roleColor(ColorRole::separator, 0.38);
  double outlineWidth = 0.5;
};
HeatBarGeometry heatBarGeometry(double tokensPerMinute, bool isActive) noexcept;

struct GradientStop {
  double position;
  ColorRole role;
};
inline constexpr GradientStop kHeatGradient[] = {
    {0.0, ColorRole::green}, {0.42, ColorRole::green}, {0.68, ColorRole::yellow},
    {0.84, ColorRole::orange}, {1.0, ColorRole::red}};

bool connectionNeedsAttention(const PresentationState& state) noexcept;
std::string tooltipText(const PresentationState& state);
Color statusColor(const PresentationState& state) noexcept;
// "$42, 1,234 tokens": the cost item's accessible value.
std::string costAccessibilityValue(const PresentationState& state);

}  // namespace quorvin::presentation
