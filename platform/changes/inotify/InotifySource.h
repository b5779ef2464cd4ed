#pragma once

// inotify's events for a watched tree: one watch per folder, kept by the
// tree follower, and watches on the way to the watched folder that end the
// watch when its path leads elsewhere.
#ifdef __linux__

#include "platform/changes/tree/EventSource.h"

#include <sys/types.h>

namespace inotify {

// The maker of inotify's event source for a tree on device; an empty one,
// with the system's error number in error, where no inotify instance can be
// had.
TEventSourceMaker InotifySourceMaker(dev_t device, int& error);

} // namespace inotify

#endif
