// The console through the privileged helper, as an ordinary user whom an
// administrator allowed runs it: polkit and pkexec as they are.
#include "ConsoleTesting.h"
#include "ProgramProcess.h"
#include "Testing.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {
// While it lives, polkit lets the user nobody run one program as root
// through pkexec, with no one asked; nothing else.
class TPkexecAllowed {
public:
    // The rule is put in place whole (polkitd may read the folder while a
    // file is being written), and is waited for until polkitd answers by it.
    explicit TPkexecAllowed(const std::string& program)
        : FRules("/etc/polkit-1/rules.d/49-sentrel-test-" + std::to_string(::getpid()) + ".rules") {
        std::ofstream(FRules + ".new") << "polkit.addRule(function(action, subject) {\n"
                                          "    if (action.id == \"org.freedesktop.policykit.exec\" && subject.user == "
                                          "\"nobody\" && action.lookup(\"program\") == \""
                                       << program << "\")\n        return polkit.Result.YES;\n});\n";
        std::filesystem::rename(FRules + ".new", FRules);
        const std::string ask = "setpriv --reuid=65534 --regid=65534 --clear-groups sleep 5 & "
                                "until grep -qs '^Uid:[[:space:]]*65534' /proc/$!/status; do sleep 0.01; done; "
                                "pkcheck --action-id org.freedesktop.policykit.exec --process $! --detail program '" +
                                program + "' >/dev/null 2>&1; status=$?; kill $! 2>/dev/null; exit $status";
        EXPECT_TRUE(ProcessEventsUntil([&] { return std::system(ask.c_str()) == 0; }, std::chrono::seconds(20)))
            << "polkitd never took the rule in " << FRules;
    }
    ~TPkexecAllowed() { std::filesystem::remove(FRules); }

private:
    std::string FRules;
};

bool PolkitRuns() {
    return std::system("dbus-send --system --print-reply --dest=org.freedesktop.DBus / "
                       "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null | "
                       "grep -q 'boolean true'") == 0;
}
} // namespace

// An ordinary user whom an administrator allowed (polkit, through pkexec)
// watches a folder of theirs through the privileged helper: a change made
// by the user's own program is listed with its name, and nothing from a
// folder there that the user may not list.
TEST(Console, AnOrdinaryUserWatchesThroughThePrivilegedHelper) {
    TTempDir programs, home, state;
    if (::geteuid() != 0 || !FanotifyServes(home.Path()))
        GTEST_SKIP() << "needs root, to act as an ordinary user, and a run by fanotify";
    if (::access("/usr/bin/pkexec", X_OK) != 0 || !PolkitRuns())
        GTEST_SKIP() << "needs pkexec and polkit's daemon (scripts/start-polkit.sh starts it)";
    for (const std::string& folder : {programs.Path(), home.Path(), state.Path()})
        ::chmod(folder.c_str(), 0755);
    ::chown(home.Path().c_str(), 65534, 65534);
    ::chown(state.Path().c_str(), 65534, 65534);
    home.MakeDir("private");
    ::chmod((home / "private").c_str(), 0700);
    std::filesystem::copy_file(SENTREL_PROGRAM, programs / "sentrel");
    std::filesystem::copy_file(SENTREL_HELPER, programs / "sentrel-helper");
    home.WriteFile("empty.ini", "");
    const TPkexecAllowed allowed(programs / "sentrel-helper");
    const TEnvironmentScope history("XDG_STATE_HOME", state.Path());

    TProgram console(
        {"--console", "--helper", "--process", "--no-catch-up", "--settings", home / "empty.ini", home.Path()}, nullptr,
        "", "", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", programs / "sentrel"});
    ASSERT_TRUE(console.WaitForError("fanotify through the privileged helper")) << console.Error();
    ASSERT_EQ(std::system(("touch " + home / "private/hidden").c_str()), 0);
    // The writer stays alive a while: a process gone before anyone looked is
    // named by nobody, which is not what is tried here.
    ASSERT_EQ(RunAsOrdinaryUser([&] {
                  return std::system(("sh -c ': > \"$0\"; sleep 3' " + home / "mine" + " >/dev/null 2>&1 &").c_str()) == 0;
              }),
              0);
    ASSERT_TRUE(console.WaitForLineEnding(home / "mine")) << console.Output() << console.Error();
    const std::vector<std::string> lines = WithoutTime(console.Lines());
    const auto mine = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.starts_with("Added - [sh pid ") && line.ends_with(" user nobody] - " + home / "mine");
    });
    EXPECT_NE(mine, lines.end()) << console.Output();
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("private/"), std::string::npos) << "passed what the user may not list: " << line;
}
