#include "toolkit/Application.h"

#include "platform/loop/MessageWindow.h"
#include "runtime/Exception.h"
#include "toolkit/Dialogs.h"

#include <QIcon>
#include <cstdio>

namespace {
std::string& TitleText() {
    static std::string title;
    return title;
}
} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    SetMessageErrorReporter(&TApplication::HandleException);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        qCritical("An error escaped its handler into the event dispatch: Qt's clean-ups were skipped");
        HandleException();
        return true;
    }
}

void TApplication::SetTitle(const std::string& title) {
    TitleText() = title;
}

void TApplication::SetDesktopName(const std::string& name) {
    const QString qName = QString::fromStdString(name);
    setDesktopFileName(qName);
    setWindowIcon(QIcon::fromTheme(qName));
}

std::string TApplication::Title() {
    return TitleText();
}

void TApplication::HandleException() noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& error) {
            ShowErrorBox(error.what());
        } catch (...) {
            ShowErrorBox("Unknown error");
        }
    } catch (...) {
        // The box itself failed, most likely for want of memory.
        std::fputs("Sentrel: an error could not be shown\n", stderr);
    }
}
