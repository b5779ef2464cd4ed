#pragma once

#include "settings/UtilObj.h"

#include <string>
#include <vector>

// The settings a window holds, put together with the settings file as it
// stands now, so that nothing written into the file by a user or by another
// copy of the program since the window read it is lost, and nothing changed
// in the window is either.
//
// base: the file's sections as the window last read them; onDisk: as they
// are now; ours: the sections the window would write. A setting the window
// changed since base takes the window's value; a setting it left as it was
// takes the file's. Lists are merged entry by entry: entries the window
// removed are removed, entries it added are added, and the file's own
// additions and removals stand.
std::vector<TUtilObj::TSectionWrite> MergeSettings(const TIniSections& base, const TIniSections& onDisk,
                                                   const std::vector<TUtilObj::TSectionWrite>& ours);

// The list-entry rule of MergeSettings, for one list: the file's order,
// then the window's additions in its order.
std::vector<std::string> MergeList(const std::vector<std::string>& base, const std::vector<std::string>& onDisk,
                                   const std::vector<std::string>& ours);
