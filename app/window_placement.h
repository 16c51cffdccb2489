// Size and place of the secondary windows. Their sizes are outer sizes, frame included, as the
// main window's 431 x 172 is; a window is kept inside the screen's available area, so that a
// log beside the main window on a small desktop does not hang off its edge.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// The frame the main window's nominal sizes imply: 431 x 172 outside, 415 x 133 inside.
inline constexpr QSize kNominalFrameExtra{431 - 415, 172 - 133};

// The client size that gives a window of this outer size, with the frame reference has on
// screen (the nominal frame while reference is null or not framed yet).
QSize ClientSizeForOuter(const QSize& outer, const QWidget* reference);

// Where a window with this frame must go to lie inside available: moved in by as little as
// possible; one larger than available keeps its top left corner inside.
QPoint KeepOnScreen(const QRect& frame, const QRect& available);

// Moves window (a top-level) so that its frame, of the given outer size, starts at
// frameTopLeft or as near as it may while staying on the screen that holds that point.
void PlaceOnScreen(QWidget& window, const QPoint& frameTopLeft, const QSize& outer);
