#include "toolkit/Application.h"

#include <QLabel>
#include <cstdio>
#include <cstdlib>

namespace {
// Qt aborts without a word of its own choosing when no display is reachable;
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
    QLabel window(QStringLiteral("Sentrel"));
    window.show();
    return application.exec();
}
