// The Windows build keeps no history (SQLite is not at hand to build it
// with) and has no privileged helper (fanotify is Linux's): what asks for
// them says so and asks for nothing else.
#include "app/ConsoleServices.h"

std::unique_ptr<TConsoleHistory> OpenConsoleHistory(const TCommandLine& commandLine, const TChangeFilter&) {
    if (commandLine.Since)
        TellUser("--since shows nothing: this build for Windows keeps no history");
    if (commandLine.CatchUp)
        TellUser("what changed while the console was not running is not listed: this build for Windows keeps no "
                 "history of what the folders held (--no-catch-up leaves this remark out)");
    return nullptr;
}

int PrintHistory(const TCommandLine&) {
    TellUser("--history shows nothing: this build for Windows keeps no history");
    return ExitFailure;
}

std::shared_ptr<void> StartPrivilegedHelper() {
    TellUser("the privileged helper was not started: it serves Linux's fanotify only; the folders are watched "
             "without it");
    return nullptr;
}
