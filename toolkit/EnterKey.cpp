#include "toolkit/EnterKey.h"

#include <QKeyEvent>
#include <utility>

bool TEnterKey::Completes(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) || key->isAutoRepeat())
        return false;
    if (event->type() == QEvent::KeyPress) {
        FPressedOn = watched;
        return false;
    }
    return std::exchange(FPressedOn, nullptr) == watched;
}
