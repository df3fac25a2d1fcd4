#pragma once

#include <algorithm>

namespace quorvin::presentation {

// Points in a y-down canvas (the painter's orientation).
struct PointF {
  double x = 0;
  double y = 0;
  bool operator==(const PointF&) const = default;
};

struct RectF {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double midX() const { return x + width / 2; }
  double midY() const { return y + height / 2; }
  bool operator==(const RectF&) const = default;
};

}  // namespace quorvin::presentation
