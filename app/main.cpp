#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/Program.h"
#include "app/Unit1.h"
#include "platform/loop/StopSignals.h"
#include "runtime/Exception.h"
#include "settings/UtilObj.h"
#include "toolkit/Application.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {
// Without a display Qt ends the program with a message of its own choosing;
// say plainly what is missing instead.
bool DisplayReachable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

int RunWindow(const TCommandLine& commandLine, int& argc, char** argv) {
    if (!DisplayReachable()) {
        std::fprintf(stderr, "Sentrel needs a graphical desktop: neither DISPLAY nor WAYLAND_DISPLAY "
                             "is set. Start it from a desktop session (or under xvfb-run), or use "
                             "--console.\n");
        return ExitFailure;
    }
    TApplication application(argc, argv);
    TApplication::SetTitle("Sentrel");
    TApplication::SetDesktopName("sentrel");
    if (!commandLine.SettingsFile.empty())
        UtilObj.SetIniFileName(commandLine.SettingsFile);
    TProgramForms forms;
    forms.Show(commandLine);
    // Ended by SIGTERM (a session that logs out, a kill) or Ctrl-C in its
    // terminal, the program closes as "Exit" closes it: the settings are kept.
    std::unique_ptr<TStopSignals> stopSignals;
    try {
        stopSignals = std::make_unique<TStopSignals>([] { Form1->close(); });
    } catch (const Exception& error) {
        std::fprintf(stderr, "sentrel: %s; a signal to end it will lose the changes to the settings.\n",
                     error.Message().c_str());
    }
    return application.exec();
}
} // namespace

// The arguments are read before anything needs a display, so that --help,
// --version, the console and every mistake in them work on any terminal.
int main(int argc, char** argv) {
    TCommandLine commandLine;
    if (const std::optional<int> exitCode = RunWithoutWindow({argv + 1, argv + argc}, commandLine))
        return *exitCode;
    return RunWindow(commandLine, argc, argv);
}
