#pragma once

#include <string>
#include <variant>
#include <vector>

#include "presentation/ColorRole.h"
#include "presentation/Geometry.h"

namespace quorvin::presentation {

// A resolution-free list of shapes computed without a display; the UI paints it with
// QPainter in order. Keeps every layout decision testable.

struct LineShape {
  PointF from;
  PointF to;
  Color color;
  double width = 1;
  std::vector<double> dash;  // on, off lengths in points; empty: solid
};

struct BoxShape {
  RectF rect;
  double radius = 0;
  Color fill;
};

struct DotShape {
  PointF center;
  double diameter = 0;
  Color fill;
};

enum class TextAlign { center, right };

struct TextShape {
  std::string text;
  PointF anchor;  // centre point, or right edge and vertical centre for TextAlign::right
  TextAlign align = TextAlign::center;
  double pointSize = 8;
  bool semibold = false;  // otherwise medium
  bool monospaced = true;
  Color color;
};

using Shape = std::variant<LineShape, BoxShape, DotShape, TextShape>;
using DrawList = std::vector<Shape>;

}  // namespace quorvin::presentation
