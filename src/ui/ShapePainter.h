#pragma once

#include <QPainter>

#include "presentation/DrawList.h"

namespace quorvin::ui {

// Paints a computed shape list in order.
void paintShapes(QPainter& painter, const presentation::DrawList& shapes, const QPalette& palette);
QFont uiFont(double pointSize, bool semibold, bool monospaced);

}  // namespace quorvin::ui
