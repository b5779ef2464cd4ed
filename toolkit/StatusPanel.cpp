#include "toolkit/StatusPanel.h"

#include <QPainter>
#include <QStyle>
#include <algorithm>

TStatusPanel::TStatusPanel(QWidget* parent, int preferredWidth) : QLabel(parent), FPreferredWidth(preferredWidth) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

QSize TStatusPanel::sizeHint() const {
    const int textWidth = fontMetrics().horizontalAdvance(text()) + 2 * margin() + 4;
    return {std::max(FPreferredWidth, textWidth), QLabel::sizeHint().height()};
}

QSize TStatusPanel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("W…")), QLabel::minimumSizeHint().height()};
}

void TStatusPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, room.width());
    setToolTip(shown == text() ? QString() : text());
    style()->drawItemText(&painter, room, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), shown,
                          foregroundRole());
}
