#include "FuzzSupport.h"

#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"


namespace {
std::string& ErrorBoxes() {
    static std::string boxes;
    return boxes;
}
} // namespace

// The application lives until the process ends: libFuzzer leaves through
// exit(), and Qt's objects must not be torn down by static destructors.
void StartFuzzApplication() {
    static TApplication* application = nullptr;
    if (application)
        return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "sentrel-fuzz";
    static char* argv[] = {name, nullptr};
    application = new TApplication(argc, argv);
    TDialogAnswers answers;
    answers.ErrorBox = [](const std::string&, const std::string& text) { ErrorBoxes() += text + "\n"; };
    SetDialogAnswers(answers);
}

std::string TakeErrorBoxes() {
    std::string boxes;
    boxes.swap(ErrorBoxes());
    return boxes;
}
