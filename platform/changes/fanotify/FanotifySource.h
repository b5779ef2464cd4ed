#pragma once

// fanotify's events for a watched tree: one mark on the whole file system
// that holds it, set up at once whatever the size of the tree.
#ifdef __linux__

#include "platform/changes/tree/EventSource.h"

#include <string>

namespace inotify {

// What fanotify can do for a watch of the folder at path: a maker of its
// event source, or, when it cannot serve, why not (for the user).
struct TFanotifyChoice {
    TEventSourceMaker Maker;
    std::string WhyNot;
};
TFanotifyChoice ChooseFanotify(const std::string& path);

} // namespace inotify

#endif
