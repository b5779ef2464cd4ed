#pragma once

#include <QApplication>
#include <string>

// The application object. A command that raises an error ends there: the
// error travels up to the event dispatch, which this object guards, and the
// user sees the error box; the program then goes on.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // The main window's caption and the error box's. It is not made Qt's
    // display name, which Qt would append to every dialog's own caption.
    static void SetTitle(const std::string& title);
    static std::string Title();

    // Shows the error box for the exception being handled; call from a catch block.
    static void HandleException();
};
