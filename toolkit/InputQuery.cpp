#include "toolkit/InputQuery.h"

#include "platform/system/TextConversion.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QScreen>
#include <algorithm>

namespace {
TInputQueryAnswer& Answer() {
    static TInputQueryAnswer answer;
    return answer;
}

// Room for the title bar's icon and buttons beside the caption, and for the
// dialog's margins beside the value.
constexpr int TitleBarRoom = 160;
constexpr int EditRoom = 60;

// Wide enough that the window manager need not cut the caption short and
// the value (a path, often) reads whole, as far as the screen allows.
int InputQueryWidth(const QFontMetrics& metrics, const QString& caption, const QString& value, const QWidget* near) {
    const QScreen* screen = near ? near->screen() : QGuiApplication::primaryScreen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 800;
    const int wanted = std::max(metrics.horizontalAdvance(caption) + TitleBarRoom,
                                metrics.horizontalAdvance(value) + EditRoom);
    return std::min(wanted, screenWidth * 4 / 5);
}
} // namespace

// An entry's bytes that are not valid UTF-8 survive the edit unchanged.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
    if (Answer())
        return Answer()(caption, prompt, value);
    QWidget* owner = QApplication::activeWindow();
    QInputDialog dialog(owner);
    dialog.setWindowTitle(QString::fromStdString(caption));
    dialog.setLabelText(QString::fromStdString(prompt));
    dialog.setTextValue(QString::fromStdU16String(Local8ToWide(value)));
    // The dialog's own layout sets its least size: its edit box is made wider.
    if (auto* edit = dialog.findChild<QLineEdit*>())
        edit->setMinimumWidth(InputQueryWidth(dialog.fontMetrics(), dialog.windowTitle(), dialog.textValue(),
                                              owner ? owner : &dialog) -
                              EditRoom);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    value = WideToLocal8(dialog.textValue().toStdU16String());
    return true;
}

void SetInputQueryAnswer(TInputQueryAnswer answer) {
    Answer() = std::move(answer);
}
