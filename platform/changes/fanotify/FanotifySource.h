#pragma once

// fanotify's events for a watched tree: one mark on the whole file system
// that holds it, set up at once whatever the size of the tree.
#ifdef __linux__

#include "platform/changes/fanotify/FanotifyGroup.h"
#include "platform/changes/fanotify/FanotifyRecords.h"
#include "platform/changes/tree/EventSource.h"
#include "platform/system/FileDescriptor.h"

#include <functional>
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
// Whether changes are named by their processes; SENTREL_PROCESS_NAMES=off
// turns it off, to measure what it costs.
bool NamesProcesses();

// A watch made for another user, by the privileged helper: the folder as
// that user opened it, which is marked and through which folders are found
// by their handles (never a path looked up again with the helper's rights);
// the key of every record's folder, for a decision by identity; and every
// event of the group shown to Observe before it is translated. The
// attribute changes of folders are always marked, whatever the watch asks,
// so that Observe sees every change that may alter what the user may see.
struct TFanotifyServed {
    TFd Folder;
    // The group the watch takes its share of: one for all the watches the
    // helper keeps for one program.
    std::shared_ptr<fanotify::TFanotifyGroup> Group;
    std::function<void(const fanotify::TFanEvent& event)> Observe;
};
// path: where the user's folder was found, its path without links.
TFanotifyChoice ChooseFanotify(const std::string& path, std::shared_ptr<TFanotifyServed> served);

} // namespace inotify

#endif
