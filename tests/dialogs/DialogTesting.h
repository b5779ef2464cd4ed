#pragma once

#include "dialogs/InputFormUnit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <string>

// Answers the next "File Type" question as the user would: types text, then
// presses OK (accept) or the close box.
inline void AnswerFileType(const std::string& text, bool accept) {
    QTimer::singleShot(0, [text, accept] {
        InputForm->Edit1->setText(QString::fromStdString(text));
        if (accept)
            InputForm->sbOkClick();
        else
            InputForm->close();
    });
}

inline void SendKey(QWidget& control, QEvent::Type type, int key) {
    QKeyEvent event(type, key, Qt::NoModifier);
    QApplication::sendEvent(&control, &event);
}

// Presses and releases key in control while dialog runs modally; the
// dialog's result, or -1 when the key did not close it (the close box then
// ends it).
inline int ResultOfKey(QDialog& dialog, QWidget& control, int key) {
    bool closedByKey = true;
    QTimer::singleShot(0, [&] {
        control.setFocus();
        SendKey(control, QEvent::KeyPress, key);
        SendKey(control, QEvent::KeyRelease, key);
        if (dialog.isVisible()) {
            closedByKey = false;
            dialog.close();
        }
    });
    const int result = dialog.exec();
    return closedByKey ? result : -1;
}
