#include "../app/AppTesting.h"
#include "DialogTesting.h"

#include "dialogs/WatchLimitUnit.h"
#include "platform/changes/inotify/InotifyLimits.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

using WatchLimit = TProgramTest;

namespace {
// A stand-in for pkexec: records its words (the helper and its arguments),
// says what it is told on its error output and ends with the code it is told.
std::string FakeHelper(const TTempDir& dir, int exitCode, const std::string& said) {
    const std::string path = dir / "helper";
    std::ofstream(path) << "#!/bin/sh\necho \"$@\" > " << dir / "words" << "\necho '" << said << "' >&2\nexit "
                        << exitCode << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

std::string Text(const QLabel* label) {
    return label->text().toStdString();
}
} // namespace

// The figures are this process's watches and the limit; a raise runs the
// helper with the new limit and says how it went, an error box for a failure.
TEST_F(WatchLimit, ShowsTheFiguresAndRaisesThroughTheHelper) {
    TTempDir dir;
    const uint64_t before = ReadInotifyUsage().OwnWatches;
    const int instance = ::inotify_init1(IN_CLOEXEC);
    for (const char* folder : {"a", "b", "c"}) {
        dir.MakeDir(folder);
        ::inotify_add_watch(instance, (dir / folder).c_str(), IN_CREATE);
    }
    TWatchLimitForm form(Form1);
    ::close(instance);
    EXPECT_EQ(Text(form.lbOwn), "Watches used by Sentrel: " + std::to_string(before + 3));
    EXPECT_EQ(form.seNewLimit->value(),
              static_cast<int>(SuggestedWatchLimit(InotifyWatchLimit(), ReadInotifyUsage().UserWatches)));
    form.seNewLimit->setValue(600000);
    EXPECT_NE(form.meCommands->toPlainText().toStdString().find(
                  "echo 600000 | sudo tee /proc/sys/fs/inotify/max_user_watches"),
              std::string::npos);

    struct TOutcome {
        int ExitCode;
        std::string Said, Result, ErrorBox;
        bool ForGood;
    };
    const std::vector<TOutcome> outcomes = {
        {0, "", "The limit is now 600,000: the folders left unwatched are being watched.", "", true},
        {126, "", "The limit was not raised: no administrator allowed it.",
         "The limit on watched folders was not raised to 600,000: no administrator allowed it.", false},
        {127, "Error getting authority: Error initializing authority: Could not connect\n",
         "The limit was not raised: pkexec could not run it: Error getting authority: Error initializing authority: "
         "Could not connect.",
         "The limit on watched folders was not raised to 600,000: pkexec could not run it: Error getting authority: "
         "Error initializing authority: Could not connect.",
         false},
        {1, "mv: cannot move", "The limit was not raised: mv: cannot move.",
         "The limit on watched folders was not raised to 600,000: mv: cannot move.", false},
    };
    dir.WriteFile("stand-in", "#!/bin/sh\n");
    fs::permissions(dir / "stand-in", fs::perms::owner_all);
    form.Helper = dir / "stand-in";
    for (const TOutcome& outcome : outcomes) {
        form.Elevation = {FakeHelper(dir, outcome.ExitCode, outcome.Said)};
        outcome.ForGood ? form.btRaiseForGood->click() : form.btRaiseForThisBoot->click();
        EXPECT_FALSE(form.btRaiseForGood->isEnabled()) << "one raise at a time";
        ASSERT_TRUE(ProcessEventsUntil([&] { return form.btRaiseForGood->isEnabled(); }));
        EXPECT_EQ(Text(form.lbResult), outcome.Result);
        EXPECT_EQ(ReadAll(dir / "words"), dir / "stand-in 600000" + (outcome.ForGood ? " --persist\n" : "\n"));
        EXPECT_EQ(TakeErrorBoxes(), outcome.ErrorBox.empty() ? std::vector<std::string>{}
                                                             : std::vector<std::string>{outcome.ErrorBox});
        form.seNewLimit->setValue(600000);
    }
    form.Helper = dir / "no-such-helper";
    form.btRaiseForThisBoot->click();
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"The limit on watched folders cannot be raised here: the "
                                                         "program's helper " + dir / "no-such-helper" +
                                                         " is missing; run the commands shown instead."});
    form.Helper = dir / "stand-in";
    form.Elevation = {dir / "no-such-program"};
    form.btRaiseForThisBoot->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form.btRaiseForGood->isEnabled(); }));
    EXPECT_EQ(Text(form.lbResult).rfind("The limit was not raised: no-such-program could not be started", 0), 0u)
        << Text(form.lbResult);
    EXPECT_EQ(TakeErrorBoxes().size(), 1u);
}

// The helper itself, run as root would run it, in a mount namespace of its
// own where the system's settings folder and the limit are files of the test.
// It only raises, and not beyond what the memory allows.
TEST_F(WatchLimit, TheHelperTakesANumberInRangeAndNothingElse) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the helper is run as root";
    TTempDir dir;
    dir.WriteFile("limit", "65536\n");
    struct TCall {
        std::vector<std::string> Words;
        int ExitCode;
        std::string Limit, Kept;
    };
    const std::string kept = "fs.inotify.max_user_watches = 600000\n";
    const std::vector<TCall> calls = {
        {{"524288"}, 0, "524288\n", ""},
        {{"600000", "--persist"}, 0, "600000\n", kept},
        {{"8191"}, 2, "65536\n", ""},
        {{"2147483648"}, 2, "65536\n", ""},
        {{"60000"}, 2, "65536\n", ""},      // no raise
        {{"2147483647"}, 2, "65536\n", ""}, // more than an eighth of the memory in watches
        {{"0600000"}, 2, "65536\n", ""},
        {{"6e5"}, 2, "65536\n", ""},
        {{"600000", "--other"}, 2, "65536\n", ""},
        {{"--persist"}, 2, "65536\n", ""},
        {{}, 2, "65536\n", ""},
    };
    for (const TCall& call : calls) {
        dir.WriteFile("limit", "65536\n");
        fs::remove_all(dir / "etc");
        dir.MakeDir("etc");
        const pid_t child = ::fork();
        if (child == 0) {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount((dir / "etc").c_str(), "/etc", nullptr, MS_BIND, nullptr) != 0 ||
                ::mount((dir / "limit").c_str(), "/proc/sys/fs/inotify/max_user_watches", nullptr, MS_BIND, nullptr) != 0)
                ::_exit(99);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(SENTREL_WATCH_LIMIT_HELPER)};
            for (const std::string& word : call.Words)
                argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(98);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 99)
            GTEST_SKIP() << "no mount namespace here";
        const std::string words = call.Words.empty() ? "(none)" : call.Words.front();
        EXPECT_EQ(WEXITSTATUS(status), call.ExitCode) << words;
        EXPECT_EQ(ReadAll(dir / "limit"), call.Limit) << words;
        const std::string conf = ReadAll(dir / "etc/sysctl.d/60-sentrel-inotify.conf");
        EXPECT_EQ(conf.empty() ? conf : conf.substr(conf.find("fs.inotify")), call.Kept) << words;
        if (!call.Kept.empty()) {
            EXPECT_EQ(fs::status(dir / "etc/sysctl.d/60-sentrel-inotify.conf").permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
            EXPECT_EQ(std::distance(fs::directory_iterator(dir / "etc/sysctl.d"), fs::directory_iterator()), 1)
                << "no scratch file left";
        }
    }
}
