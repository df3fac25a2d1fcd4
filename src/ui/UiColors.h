#pragma once

#include <QColor>
#include <QPalette>

#include "presentation/ColorRole.h"

namespace quorvin::ui {

// Maps a colour role to the palette in use, so light and dark themes both read well.
bool isDarkPalette(const QPalette& palette);
QColor resolveColor(const presentation::Color& color, const QPalette& palette);

}  // namespace quorvin::ui
