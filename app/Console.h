#pragma once

struct TCommandLine;

// The program without a window: watches the command line's folders, each
// with its sub-tree, and prints the line of every change that the settings
// file's lists let through to the standard output, one line at a time as it
// happens, until Ctrl-C or SIGTERM. Returns the exit code. Needs no display
// and runs no toolkit.
int RunConsole(const TCommandLine& commandLine);
