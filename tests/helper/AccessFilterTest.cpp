#include "Testing.h"

#include "helper/AccessFilter.h"
#include "platform/changes/RecordBuffer.h"
#include "platform/changes/fanotify/FanotifyRecords.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
constexpr uid_t Nobody = 65534;

// One change in a folder of the tree, as the helper has it after a read:
// the folder known by its key, taken when the change was read.
struct TChangeIn {
    std::string Folder;
    std::string Key;
};

// What the filter keeps of one read holding a change in each folder.
std::vector<std::string> Kept(TAccessFilter& filter, const std::vector<TChangeIn>& changes) {
    std::vector<char> buffer(changes.size() * RecordSize(64 * 2));
    FILE_NOTIFY_INFORMATION* previous = nullptr;
    uint32_t bytes = 0;
    std::vector<TFolderRef> folders;
    for (const TChangeIn& change : changes) {
        previous = PutRecord(buffer.data(), bytes, previous, 1, std::u16string(change.Folder.begin(), change.Folder.end()));
        bytes += RecordSize(static_cast<uint32_t>(change.Folder.size() * 2));
        folders.push_back(change.Key.empty() ? nullptr : std::make_shared<const std::string>(change.Key));
    }
    std::vector<TProcessRef> processes;
    EXPECT_TRUE(filter.Apply(buffer.data(), bytes, processes, folders));
    std::vector<std::string> kept;
    FilterRecords(buffer.data(), bytes, processes, [&](size_t, const std::string& name, uint32_t) {
        kept.push_back(name);
        return true;
    });
    return kept;
}
} // namespace

// Each change is decided by the folder that held it when it was read, with
// the user's identity, as the kernel would decide a listing of it: what the
// user could list themselves passes, what they could not is dropped, and a
// folder gone before anyone looked is withheld unless it was decided before.
TEST(AccessFilter, DecidesEachChangeByItsFolderAsTheUserCouldListIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to decide for another user";
    TTempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    struct TFolder {
        const char* Name;
        mode_t Mode;
        uid_t Owner;
        bool Passes;
    };
    const std::vector<TFolder> folders = {
        {"open", 0755, 0, true},
        {"private", 0700, 0, false},
        {"private/inner", 0755, 0, false},      // a folder above it may not be searched
        {"list-only", 0744, 0, false},          // listed but not searched
        {"search-only", 0711, 0, false},        // searched but not listed
        {"own", 0700, Nobody, true},            // the user's own, closed to others
        {"group", 0770, 0, true},               // through the user's group (below)
        {"own/others", 0755, 0, true},
    };
    std::vector<TChangeIn> changes;
    std::vector<std::string> passing;
    for (const TFolder& folder : folders) {
        ASSERT_TRUE(fs::create_directory(dir / folder.Name)) << folder.Name;
        ASSERT_EQ(::chmod((dir / folder.Name).c_str(), folder.Mode), 0);
        ASSERT_EQ(::chown((dir / folder.Name).c_str(), folder.Owner, std::string(folder.Name) == "group" ? Nobody : 0), 0);
        changes.push_back({folder.Name, fanotify::KeyAt(AT_FDCWD, dir / folder.Name)});
        ASSERT_FALSE(changes.back().Key.empty()) << "no handle for " << folder.Name;
        if (folder.Passes)
            passing.push_back(folder.Name);
    }
    const auto user = IdentityOf(Nobody);
    ASSERT_TRUE(user);
    const inotify::TFd root(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TAccessFilter filter(*user, root.Get());
    EXPECT_EQ(Kept(filter, changes), passing);

    // Gone: what was decided stands; a folder never decided is withheld;
    // a change without a known folder is withheld too.
    dir.MakeDir("never-seen");
    const std::string neverSeenKey = fanotify::KeyAt(AT_FDCWD, dir / "never-seen");
    fs::remove(dir / "never-seen");
    fs::remove(dir / "own/others");
    fs::remove(dir / "private/inner");
    EXPECT_EQ(Kept(filter, {{"own/others", changes[7].Key}, {"private/inner", changes[2].Key},
                            {"never-seen", neverSeenKey}, {"unknown", ""}}),
              std::vector<std::string>{"own/others"});
    EXPECT_EQ(filter.Withheld(), 2u);

    // A folder closed after it was decided: the change of its attributes,
    // observed, makes the next change decided afresh.
    ASSERT_EQ(::chmod((dir / "open").c_str(), 0700), 0);
    EXPECT_EQ(Kept(filter, {{"open", changes[0].Key}}), std::vector<std::string>{})
        << "the folder itself is still there, so it is decided as it is now";
    fs::create_directory(dir / "closing");
    const std::string closingKey = fanotify::KeyAt(AT_FDCWD, dir / "closing");
    EXPECT_EQ(Kept(filter, {{"closing", closingKey}}), std::vector<std::string>{"closing"});
    ::chmod((dir / "closing").c_str(), 0700);
    fanotify::TFanEvent closed;
    closed.Mask = FAN_ATTRIB | FAN_ONDIR;
    filter.Observe(closed);
    fs::remove(dir / "closing");
    EXPECT_EQ(Kept(filter, {{"closing", closingKey}}), std::vector<std::string>{})
        << "what was decided before the folder was closed no longer stands for it";
    EXPECT_FALSE(filter.MayKnowOf("private/inner")) << "a folder below one the user may not search";
    EXPECT_TRUE(filter.MayKnowOf("own/gone")) << "a folder in one the user may list";
}
