// The console program of the Linux build, sentrel-console: "sentrel
// --console" without the window's toolkit, so that a server running it maps
// no graphical library, and what the console's units start.
#include "app/Console.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    return RunConsoleProgram({argv + 1, argv + argc}, "sentrel");
}
