#include "util/UtilMenu.h"

#include <QMenu>
#include <QWidget>

void PopupMenuAt(QMenu& menu, QWidget& control, int x, int y) {
    menu.popup(control.mapToGlobal(QPoint(x, y)));
}
