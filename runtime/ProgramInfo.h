#pragma once

#include <string>

// What the build tells the program about itself.

// The version, as "0.1.0".
const char* ProgramVersion();

// The program's home page as set at build time (SENTREL_HOME_PAGE), with its
// scheme ("https://..."); empty when none was set.
const char* ProgramHomePage();

// The README of a build-tree copy of the program: where its sources were
// when it was built.
const char* SourceReadme();
