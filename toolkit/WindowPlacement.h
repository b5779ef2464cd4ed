#pragma once

#include <QRect>

class QWidget;

// A window's place and size as the user sees them: its frame, title bar and
// borders included. Before a window manager has framed a window the frame
// is not known, so a place given then is kept and applied again once it is;
// taking the window's own size for its outer size would make it grow, and
// move, by the frame at every start.
//
// Main thread only.

// Puts the window's frame at outer. A place where the title bar would lie
// on no screen there is now (a monitor that is gone, a saved place far off)
// is moved onto the primary screen, shrunk to it if need be, so the window
// can always be reached and dragged.
void PlaceWindowFrame(QWidget& window, QRect outer);

// The frame's place and size: what PlaceWindowFrame was last asked for
// while it still waits for the frame, else the frame as it is.
QRect WindowFrameGeometry(const QWidget& window);

// The place outer keeps, or takes instead, on screens of the given
// available areas (the first is the primary screen's); titleHeight is the
// height of the strip at the top that must lie on one of them.
QRect ReachablePlace(QRect outer, int titleHeight, const QList<QRect>& screens);

// Where a dialog of size wanted opens over its owner's frame: centred on
// it, as large as wanted but no larger than the owner's screen's area, and
// wholly on that area.
QRect PlaceOverOwner(QSize wanted, QRect owner, QRect screen);

// Sizes and places dialog so before it opens (it has no frame yet: the
// frame is left to the window manager, around the place given).
void PlaceDialogOver(QWidget& dialog, const QWidget& owner);
