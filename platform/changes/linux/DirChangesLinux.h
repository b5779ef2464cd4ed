#pragma once

// The Linux readers beside the one the system's choice gives.
#ifdef __linux__

#include "platform/changes/DirChanges.h"

#include <memory>
#include <string>

namespace inotify {

// A reader of the folder at path through fanotify only; nullptr when the
// folder cannot be opened (failure) or fanotify cannot serve (whyNot).
std::unique_ptr<TDirChangeReader> OpenFanotifyReader(const std::string& path, TOpenFailure& failure,
                                                     std::string& whyNot, const std::string& mechanism);

} // namespace inotify

#endif
