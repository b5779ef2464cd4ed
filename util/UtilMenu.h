#pragma once

class QMenu;
class QWidget;

// Pops the menu up with its top-left corner at (x, y) of the control's
// client area; meant as the body of a mouse-button-released handler.
void PopupMenuAt(QMenu& menu, QWidget& control, int x, int y);
