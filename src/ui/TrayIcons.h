#pragma once

#include <QIcon>
#include <memory>
#include <QImage>
#include <QPalette>
#include <QString>

#include "presentation/PresentationState.h"
#include "presentation/StatusBarPresentation.h"

namespace quorvin::ui {

// The heat bar in its 76 by 15 point space, scaled into `target`.
void paintHeatBar(QPainter& painter, const QRectF& target, double tokensPerMinute, bool isActive,
                  const QPalette& palette);
// A square tray slot: the bar fills the slot's width, centred vertically.
QImage heatBarIconImage(int size, double tokensPerMinute, bool isActive, const QPalette& palette);

// The cost text for a square slot: exact when it fits the slot at a readable size, else
// compact (or compact whenever the crowding rules asked for it).
struct CostIconText {
  QString text;
  presentation::StatusBarCostDisplayMode mode;
};
CostIconText costIconText(const presentation::PresentationState& state, int size,
                          presentation::StatusBarCostDisplayMode crowdingMode);
QImage costIconImage(int size, const presentation::PresentationState& state,
                     presentation::StatusBarCostDisplayMode crowdingMode, const QPalette& palette);

// Both icons drawn on demand at whatever size the tray asks for. They own no pixmaps, so a
// replaced icon leaves nothing behind in Qt's pixmap cache.
QIcon heatBarIcon(double tokensPerMinute, bool isActive, const QPalette& palette);
QIcon costIcon(std::shared_ptr<const presentation::PresentationState> state,
               presentation::StatusBarCostDisplayMode crowdingMode, const QPalette& palette);

}  // namespace quorvin::ui
