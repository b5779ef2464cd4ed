#pragma once

#include <optional>
#include <string>
#include <vector>

struct TCommandLine;

// The program without a window: watches the command line's folders, each
// with its sub-tree, and prints the line of every change that the settings
// file's lists let through to the standard output, one line at a time as it
// happens, until Ctrl-C or SIGTERM. Returns the exit code. Needs no display
// and runs no toolkit.
int RunConsole(const TCommandLine& commandLine);

// Reads the arguments after the program's name (folders relative to the
// current folder) into commandLine and does what they ask that needs no
// window: prints the usage, the version or a mistake in them, or runs the
// console. Returns its exit code; none when the window is asked for.
std::optional<int> RunWithoutWindow(const std::vector<std::string>& arguments, TCommandLine& commandLine);

// The console as a program of its own (sentrel-console): the arguments
// after its name are those of "sentrel --console", and it reads the
// settings of windowProgram, the window's program beside it. Returns the
// exit code.
int RunConsoleProgram(const std::vector<std::string>& arguments, const std::string& windowProgram);
