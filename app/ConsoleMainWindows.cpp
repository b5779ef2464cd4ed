// The console program of the Windows build, sentrel-console.exe: the window
// is a program of its own there (a console program gets a console window
// when started from the desktop, a window program none from a terminal).
// It takes the arguments of "sentrel --console" and reads the settings of
// the window's program beside it, sentrel.exe.
#include "app/CommandLine.h"
#include "app/Console.h"
#include "platform/system/PlatformInfo.h"
#include "settings/UtilObj.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {
std::string Utf8(const wchar_t* text) {
    return PathText(std::filesystem::path(text));
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    // Lines are UTF-8, as file names are in this program.
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments{"--console"};
    for (int i = 1; i < argc; ++i)
        arguments.push_back(Utf8(argv[i]));
    UtilObj.SetProgramFile(PathText(FileSystemPath(ProgramFilePath()).parent_path() / "sentrel.exe"));
    TCommandLine commandLine;
    return RunWithoutWindow(arguments, commandLine).value_or(ExitUsage);
}
