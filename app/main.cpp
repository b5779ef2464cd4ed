#include "app/Program.h"
#include "app/Unit1.h"
#include "toolkit/Application.h"

#include <cstdio>
#include <cstdlib>

namespace {
// Without a display Qt ends the program with a message of its own choosing;
// say plainly what is missing instead.
bool DisplayReachable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}
} // namespace

int main(int argc, char** argv) {
    if (!DisplayReachable()) {
        std::fprintf(stderr, "Sentrel needs a graphical desktop: neither DISPLAY nor WAYLAND_DISPLAY "
                             "is set. Start it from a desktop session (or under xvfb-run).\n");
        return 1;
    }
    TApplication application(argc, argv);
    TApplication::SetTitle("Sentrel");
    TProgramForms forms;
    Form1->show();
    return application.exec();
}
