// The console program of the Windows build, sentrel-console.exe: the window
// is a program of its own there (a console program gets a console window
// when started from the desktop, a window program none from a terminal).
#include "app/Console.h"
#include "platform/system/PlatformInfo.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    // Lines are UTF-8, as file names are in this program.
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(PathText(std::filesystem::path(argv[i])));
    return RunConsoleProgram(arguments, "sentrel.exe");
}
