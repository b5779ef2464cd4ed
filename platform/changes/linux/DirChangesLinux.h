#pragma once

// The Linux readers beside the one the system's choice gives.
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/changes/fanotify/FanotifySource.h"

#include <memory>
#include <string>

namespace inotify {

// A reader of the folder at path through fanotify only, for another user
// when served says so; nullptr when the folder cannot be opened (failure)
// or fanotify cannot serve (whyNot).
std::unique_ptr<TDirChangeReader> OpenFanotifyReader(const std::string& path, std::shared_ptr<TFanotifyServed> served,
                                                     TOpenFailure& failure, std::string& whyNot,
                                                     const std::string& mechanism);

} // namespace inotify

#endif
