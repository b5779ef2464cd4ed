#pragma once

#include "toolkit/QtMessageLoop.h"

#include <QApplication>
#include <string>
#include <utility>

// The application object. A command that raises an error ends there: the
// error travels up to the handler that Qt called (RunHandler), the user sees
// the error box, and the program goes on.
class TApplication : public QApplication {
public:
    // The main thread's message loop is Qt's while the application lives.
    TApplication(int& argc, char** argv);

    // Catches, as a last resort, an error that a handler let escape into
    // Qt's code; it shows the error box and logs the fault.
    bool notify(QObject* receiver, QEvent* event) override;

    // The main window's caption and the error box's. It is not made Qt's
    // display name, which Qt would append to every dialog's own caption.
    static void SetTitle(const std::string& title);
    static std::string Title();

    // The name of the program's desktop entry and icon ("sentrel"): desktops
    // find the entry by it, and the windows take the icon of that name from
    // the icon theme where the program is installed.
    static void SetDesktopName(const std::string& name);

    // Shows the error box for the exception being handled; call from a catch block.
    static void HandleException() noexcept;

private:
    TQtMessageLoop FMessageLoop;
    TMainMessageLoopScope FMainMessageLoop{FMessageLoop};
};

// Runs a handler that Qt calls (a slot, an event override, a posted
// message) and shows the error box for any error it raises, so that no
// error unwinds through Qt's code, which is not built for it.
template <class THandler>
void RunHandler(THandler&& handler) noexcept {
    try {
        std::forward<THandler>(handler)();
    } catch (...) {
        TApplication::HandleException();
    }
}
