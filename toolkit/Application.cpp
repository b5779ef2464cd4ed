#include "toolkit/Application.h"

#include "toolkit/Dialogs.h"
#include "toolkit/Exception.h"

namespace {
std::string& TitleText() {
    static std::string title;
    return title;
}
} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException();
        return true;
    }
}

void TApplication::SetTitle(const std::string& title) {
    TitleText() = title;
}

std::string TApplication::Title() {
    return TitleText();
}

void TApplication::HandleException() {
    try {
        throw;
    } catch (const std::exception& error) {
        ShowErrorBox(error.what());
    } catch (...) {
        ShowErrorBox("Unknown error");
    }
}
