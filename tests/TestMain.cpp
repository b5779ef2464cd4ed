#include "Testing.h"

#include "platform/FanotifySource.h"
#include "platform/ProcessStart.h"
#include "platform/ShellOpen.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "util/UtilObj.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {
// A run that asks for fanotify where it cannot serve skips every test, and
// says why, rather than testing inotify a second time.
class TFanotifyRun : public ::testing::Environment {
public:
    void SetUp() override {
        const char* chosen = std::getenv("SENTREL_CHANGE_BACKEND");
        if (!chosen || std::string(chosen) != "fanotify")
            return;
        TTempDir probe;
        const std::string whyNot = inotify::ChooseFanotify(probe.Path()).WhyNot;
        if (!whyNot.empty())
            GTEST_SKIP() << "fanotify cannot serve here: " << whyNot;
    }
};

std::vector<std::string>& ErrorBoxes() {
    static std::vector<std::string> boxes;
    return boxes;
}
} // namespace

std::vector<std::string> TakeErrorBoxes() {
    return std::exchange(ErrorBoxes(), {});
}

TDialogAnswers TestDialogAnswers() {
    TDialogAnswers answers;
    answers.ErrorBox = [](const std::string&, const std::string& text) { ErrorBoxes().push_back(text); };
    return answers;
}

int main(int argc, char** argv) {
    // Test programs run without a display, also when ctest lists their tests.
    if (!std::getenv("QT_QPA_PLATFORM") || !*std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new TFanotifyRun);
    TApplication application(argc, argv);
    TApplication::SetTitle("Sentrel");
    SetDialogAnswers(TestDialogAnswers());
    // No test opens anything on the desktop of whoever runs them, nor starts
    // a program unless it says so.
    SetShellOpenAnswer([](const std::string&) { return true; });
    SetProcessStartAnswer([](const std::vector<std::string>&) { return true; });
    // No test writes a settings file beside the test program or in the
    // configuration folder of whoever runs them.
    TTempDir settingsFolder;
    UtilObj.SetIniFileName(settingsFolder / "sentrel-tests.ini");
    return RUN_ALL_TESTS();
}
