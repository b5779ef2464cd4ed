#include "toolkit/InputQuery.h"

#include "platform/system/TextConversion.h"

#include <QApplication>
#include <QInputDialog>

namespace {
TInputQueryAnswer& Answer() {
    static TInputQueryAnswer answer;
    return answer;
}
} // namespace

// An entry's bytes that are not valid UTF-8 survive the edit unchanged.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    if (Answer())
        return Answer()(caption, prompt, value);
    bool ok = false;
    const QString text =
        QInputDialog::getText(QApplication::activeWindow(), QString::fromStdString(caption),
                              QString::fromStdString(prompt), QLineEdit::Normal, QString::fromStdU16String(Local8ToWide(value)), &ok);
    if (ok)
        value = WideToLocal8(text.toStdU16String());
    return ok;
}

void SetInputQueryAnswer(TInputQueryAnswer answer) {
    Answer() = std::move(answer);
}
