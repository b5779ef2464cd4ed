#include "Testing.h"

#include "platform/changes/fanotify/FanotifySource.h"
#include "platform/desktop/ProcessStart.h"
#include "platform/desktop/ShellOpen.h"
#include "settings/UtilObj.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"

#include <cstdlib>
#include <map>
#include <sys/statfs.h>
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

// A run on a file system of the test command's making ("ext4:FOLDER" in
// SENTREL_TEST_FILESYSTEM): its folder is the temporary folder of every
// test, and a run whose file system is not mounted there skips every test,
// saying why.
class TFileSystemRun : public ::testing::Environment {
public:
    static std::string Folder() {
        const std::string run = Run();
        return run.substr(run.find(':') + 1);
    }
    static std::string Run() {
        const char* run = std::getenv("SENTREL_TEST_FILESYSTEM");
        return run ? run : "";
    }
    void SetUp() override {
        const std::string run = Run();
        if (run.empty())
            return;
        const std::string type = run.substr(0, run.find(':'));
        static const std::map<std::string, long> Magic{
            {"ext4", 0xEF53}, {"xfs", 0x58465342}, {"btrfs", 0x9123683E}};
        struct statfs status {};
        const auto magic = Magic.find(type);
        if (magic == Magic.end() || ::statfs(Folder().c_str(), &status) != 0 ||
            static_cast<long>(status.f_type) != magic->second)
            GTEST_SKIP() << "no " << type << " file system is mounted on " << Folder()
                         << " (the tests mount one only as root)";
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

std::vector<std::string>& Questions() {
    static std::vector<std::string> questions;
    return questions;
}

TDialogAnswers TestDialogAnswers() {
    TDialogAnswers answers;
    answers.ErrorBox = [](const std::string&, const std::string& text) { ErrorBoxes().push_back(text); };
    answers.Confirm = [](const std::string&, const std::string& question) {
        Questions().push_back(question);
        return true;
    };
    return answers;
}

int main(int argc, char** argv) {
    // Test programs run without a display, also when ctest lists their tests.
    if (!std::getenv("QT_QPA_PLATFORM") || !*std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!TFileSystemRun::Run().empty())
        setenv("TMPDIR", TFileSystemRun::Folder().c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new TFileSystemRun);
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
    // Nor keeps a history in the state folder of whoever runs them: the
    // programs the tests start keep theirs here too.
    setenv("XDG_STATE_HOME", settingsFolder.Path().c_str(), 1);
    return RUN_ALL_TESTS();
}
