#pragma once

// fanotify's events for a watched tree: one mark on the whole file system
// that holds it, set up at once whatever the size of the tree.
#ifdef __linux__

#include "platform/changes/linux/TranslatingReader.h"

#include <memory>
#include <string>

namespace inotify {

// What fanotify can do for a watch of the folder at path: a maker of its
// event source, or, when it cannot serve, why not (for the user).
struct TFanotifyChoice {
    TEventSourceMaker Maker;
    std::string WhyNot;
};
TFanotifyChoice ChooseFanotify(const std::string& path);

// A reader of the folder at path through fanotify only; nullptr when the
// folder cannot be opened (failure) or fanotify cannot serve (whyNot).
std::unique_ptr<TDirChangeReader> OpenFanotifyReader(const std::string& path, TOpenFailure& failure,
                                                     std::string& whyNot, const std::string& mechanism);

} // namespace inotify

#endif
