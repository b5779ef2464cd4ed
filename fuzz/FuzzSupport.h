#pragma once

// What the fuzz targets share: an offscreen application for the targets that
// need the event loop or widgets, and a way to stop at a broken property
// so that the fuzzer keeps the input that broke it.
#include <cstdio>
#include <cstdlib>
#include <string>

// Creates the application once, on the offscreen platform, with every
// dialog answered in place of a user: error boxes are recorded in ErrorBoxes.
void StartFuzzApplication();

// The error boxes shown since the last call.
std::string TakeErrorBoxes();

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
