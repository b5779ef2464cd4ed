#include "Testing.h"

#include "history/CatchUp.h"
#include "history/Snapshot.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::ostream& operator<<(std::ostream& out, const TCaughtUpChange& change) {
    constexpr const char* Kinds[] = {"Added", "Removed", "Modified", "Renamed"};
    return out << Kinds[static_cast<int>(change.Kind)] << " " << change.Path
               << (change.OldPath.empty() ? "" : " from " + change.OldPath);
}

namespace {
using TKind = TCaughtUpChange::TKind;

void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// The modification time of path set to that of model, as cp -p and touch -r do.
void CopyTime(const std::string& model, const std::string& path) {
    struct stat status {};
    ::stat(model.c_str(), &status);
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct TCase {
    const char* What;
    std::function<void(const std::string&root)> Before, Away;
    std::vector<TCaughtUpChange> Expected;
};

// Each case on a tree of its own: the snapshot taken, the changes made
// with nobody watching, then what the catch-up finds.
void RunCases(const std::string& place, const std::vector<TCase>& cases) {
    for (const TCase& test : cases) {
        const std::string root = place + "/" + test.What;
        fs::create_directories(root);
        test.Before(root);
        const std::string snapshot = place + "/snapshots/" + test.What;
        ASSERT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TCatchUp::TOutcome::FirstWatch) << test.What;
        test.Away(root);
        const TCatchUp found = CatchUpTree(root, snapshot, {});
        ASSERT_EQ(found.Outcome, TCatchUp::TOutcome::Compared) << test.What;
        EXPECT_EQ(found.Changes, test.Expected) << test.What << " on " << place;
        EXPECT_EQ(CatchUpTree(root, snapshot, {}).Changes, std::vector<TCaughtUpChange>{})
            << test.What << ": the snapshot was kept current";
    }
}

const std::vector<TCase>& Cases() {
    static const std::vector<TCase> cases = {
        {"nothing", [](const std::string& r) { Write(r + "/a", "x"); }, [](const std::string&) {}, {}},
        {"made-and-removed",
         [](const std::string& r) { Write(r + "/gone", "x"); },
         [](const std::string& r) {
             fs::remove(r + "/gone");
             fs::create_directory(r + "/new");
             Write(r + "/new/f", "y");
         },
         {{TKind::Removed, "gone", "", false}, {TKind::Added, "new", "", true}, {TKind::Added, "new/f", "", false}}},
        {"copied-keeping-its-time", // cp -p: same size, same modification time
         [](const std::string& r) {
             Write(r + "/a", "old!");
             Write(r + "/model", "new!");
             CopyTime(r + "/a", r + "/model");
         },
         [](const std::string& r) {
             Write(r + "/a", "new!");
             CopyTime(r + "/model", r + "/a");
         },
         {{TKind::Modified, "a", "", false}}},
        {"time-set-back", // touch -r after an edit
         [](const std::string& r) { Write(r + "/a", "one"); },
         [](const std::string& r) {
             Write(r + "/b", "");
             CopyTime(r + "/a", r + "/b");
             Write(r + "/a", "two");
             CopyTime(r + "/b", r + "/a");
             fs::remove(r + "/b");
         },
         {{TKind::Modified, "a", "", false}}},
        {"permissions",
         [](const std::string& r) { Write(r + "/a", "x"); },
         [](const std::string& r) { fs::permissions(r + "/a", fs::perms::owner_read); },
         {{TKind::Modified, "a", "", false}}},
        {"renamed-into-another-folder",
         [](const std::string& r) {
             Write(r + "/a.txt", "x");
             fs::create_directory(r + "/sub");
         },
         [](const std::string& r) { fs::rename(r + "/a.txt", r + "/sub/b.txt"); },
         {{TKind::Renamed, "sub/b.txt", "a.txt", false}}},
        {"folder-renamed-with-what-it-holds",
         [](const std::string& r) {
             fs::create_directories(r + "/d/e");
             Write(r + "/d/e/f", "x");
             Write(r + "/d/g", "x");
         },
         [](const std::string& r) {
             fs::rename(r + "/d", r + "/h");
             fs::rename(r + "/h/g", r + "/h/i");
             Write(r + "/h/e/f", "longer");
         },
         {{TKind::Renamed, "h", "d", true},
          {TKind::Renamed, "h/i", "h/g", false},
          {TKind::Modified, "h/e/f", "", false}}},
    };
    return cases;
}

uint64_t InodeOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_ino;
}

// A removed folder whose inode a folder made elsewhere is given, and files
// likewise: never a rename. ext4 gives a freed inode again at once, which
// the test makes sure of there.
void ExpectNoFalseRenames(const std::string& place, bool reusesInodes = false) {
    const std::string root = place + "/reuse", snapshot = place + "/snapshots/reuse";
    fs::create_directories(root + "/x");
    fs::create_directories(root + "/y");
    for (int i = 0; i < 20; ++i)
        Write(root + "/x/f" + std::to_string(i), "x");
    fs::create_directory(root + "/old");
    CatchUpTree(root, snapshot, {});
    std::vector<uint64_t> freed = {InodeOf(root + "/old")};
    fs::remove(root + "/old");
    fs::create_directory(root + "/y/made");
    int reused = InodeOf(root + "/y/made") == freed[0];
    for (int i = 0; i < 20; ++i) {
        freed.push_back(InodeOf(root + "/x/f" + std::to_string(i)));
        fs::remove(root + "/x/f" + std::to_string(i));
        Write(root + "/y/g" + std::to_string(i), "x");
        reused += std::count(freed.begin(), freed.end(), InodeOf(root + "/y/g" + std::to_string(i))) > 0;
    }
    if (reusesInodes) {
        EXPECT_GT(reused, 10) << "the file system gave freed inodes again";
    }
    const TCatchUp found = CatchUpTree(root, snapshot, {});
    ASSERT_EQ(found.Outcome, TCatchUp::TOutcome::Compared);
    EXPECT_EQ(found.Changes.size(), 42u);
    EXPECT_EQ(std::count_if(found.Changes.begin(), found.Changes.end(),
                            [](const TCaughtUpChange& change) { return change.Kind == TKind::Renamed; }),
              0)
        << place;
}
} // namespace

// What changed while nobody watched, on the build's file system, on tmpfs
// and on an ext4 of the test's own (root only for the last two).
TEST(CatchUp, FindsWhatChangedWhileNobodyWatched) {
    TTempDir here;
    RunCases(here.Path(), Cases());
    ExpectNoFalseRenames(here.Path());
    TTempDir memory;
    TPartsNotRun notRun;
    if (TSmallFileSystem tmpfs(memory.Path(), 16384); tmpfs.Mounted()) {
        RunCases(memory.Path(), Cases());
        ExpectNoFalseRenames(memory.Path());
    } else {
        notRun.Add("on tmpfs (mounting needs root)");
    }
    if (TLoopFileSystem ext4; ext4.Mounted()) {
        RunCases(ext4.Mount(), Cases());
        ExpectNoFalseRenames(ext4.Mount(), true);
    } else {
        notRun.Add("on ext4 (a loop device needs root)");
    }
    SKIP_PARTS_NOT_RUN(notRun);
}

// No catch-up where there is nothing sound to compare with, or nothing
// to read: said, never listed as everything added or removed.
TEST(CatchUp, SaysWhyItCannotCompare) {
    TTempDir dir;
    const std::string root = dir / "tree", snapshot = dir / "snapshots/tree";
    dir.MakeDir("tree/sub");
    dir.WriteFile("tree/sub/a", "x");
    using TOutcome = TCatchUp::TOutcome;
    EXPECT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TOutcome::FirstWatch);
    fs::remove(snapshot);
    TCatchUpOptions watched;
    watched.WatchedBefore = true;
    EXPECT_EQ(CatchUpTree(root, snapshot, watched).Outcome, TOutcome::NoSnapshot);
    std::string bytes = ReadAll(snapshot);
    bytes[bytes.size() / 2] ^= 1;
    Write(snapshot, bytes);
    EXPECT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TOutcome::Damaged) << "one bit changed";
    Write(snapshot, ReadAll(snapshot).substr(0, 20));
    EXPECT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TOutcome::Damaged) << "cut short";
    EXPECT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TOutcome::Compared) << "a new one was kept";
    EXPECT_EQ(CatchUpTree(dir / "none", dir / "snapshots/none", {}).Outcome, TOutcome::Unreadable);
    fs::remove(root + "/sub/a");
    TCatchUpOptions excluded;
    excluded.LeaveOut = [](const std::string& folder) { return folder == "sub"; };
    const TCatchUp left = CatchUpTree(root, snapshot, excluded);
    EXPECT_EQ(left.Changes, std::vector<TCaughtUpChange>{}) << "what an excluded folder holds is not compared";
    EXPECT_EQ(CatchUpTree(root, snapshot, {}).Changes,
              (std::vector<TCaughtUpChange>{{TKind::Removed, "sub/a", "", false}}))
        << "nor forgotten";
    TPartsNotRun notRun;
    if (TReadOnlyFolder closed(dir / "snapshots"); closed.Effective()) {
        const TCatchUp unkept = CatchUpTree(root, snapshot, {});
        EXPECT_EQ(unkept.Outcome, TOutcome::Compared);
        EXPECT_FALSE(unkept.SnapshotError.empty()) << "a snapshot that cannot be written is said";
    } else {
        notRun.Add("a snapshot folder that cannot be written");
    }
    if (TSmallFileSystem other(root); other.Mounted()) { // another disk at the same place
        EXPECT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TOutcome::OtherFileSystem);
    } else {
        notRun.Add("another disk at the same place (mounting needs root)");
    }
    SKIP_PARTS_NOT_RUN(notRun);
}

// The snapshot of a large tree stays small and comes back entry for entry.
TEST(CatchUp, SnapshotsAreSmallAndExact) {
    TTempDir dir;
    const std::string file = dir / "s";
    std::vector<TTreeEntry> entries;
    for (int i = 0; i < 10000; ++i)
        entries.push_back({"src/module" + std::to_string(i / 100) + "/file" + std::to_string(i) + ".c", 2049,
                           1000000ULL + static_cast<uint64_t>(i), 0100644, static_cast<uint64_t>(i * 37),
                           1796000000LL * 1000000000 + i * 123457, 1796000000LL * 1000000000 + i * 123457,
                           1795000000LL * 1000000000 + i * 99991});
    std::sort(entries.begin(), entries.end(),
              [](const TTreeEntry& a, const TTreeEntry& b) { return WalkOrderLess(a.Path, b.Path); });
    {
        TSnapshotWriter writer(file, {"/home/ann", {2049, 77}, 1796720000LL * 1000000000});
        for (const TTreeEntry& entry : entries)
            writer.Add(entry);
        std::string error;
        ASSERT_TRUE(writer.Finish(error)) << error;
    }
    EXPECT_LE(fs::file_size(file) / entries.size(), 64u);
    TSnapshotReader reader(file);
    ASSERT_EQ(reader.State(), TSnapshotReader::TState::Ready);
    EXPECT_EQ(reader.Header().Folder, "/home/ann");
    std::vector<TTreeEntry> read;
    while (auto entry = reader.Next())
        read.push_back(*entry);
    EXPECT_EQ(read, entries);
}

// Two writers of one folder's snapshot (two consoles on one folder) each
// write a file of their own, and both are kept whole; anything but a
// regular file in a snapshot's place is damage, never waited on.
TEST(CatchUp, SnapshotsAreWrittenApartAndReadOnlyFromRegularFiles) {
    TTempDir dir;
    const std::string file = dir / "snapshots/s";
    const TTreeEntry entry{"a", 2049, 1, 0100644, 1, 1, 1, 0};
    {
        TSnapshotWriter first(file, {"/w", {2049, 7}, 5}), second(file, {"/w", {2049, 7}, 6});
        first.Add(entry);
        second.Add(entry);
        std::string error;
        EXPECT_TRUE(first.Finish(error)) << error;
        EXPECT_TRUE(second.Finish(error)) << error;
    }
    EXPECT_EQ(TSnapshotReader(file).State(), TSnapshotReader::TState::Ready);

    ASSERT_EQ(::mkfifo((dir / "snapshots/fifo").c_str(), 0600), 0);
    auto read = std::async(std::launch::async,
                           [&] { return TSnapshotReader(dir / "snapshots/fifo").State(); });
    const bool answered = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!answered) // a writer lets the stuck reader go, so that the test ends
        ::close(::open((dir / "snapshots/fifo").c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_TRUE(answered) << "a FIFO in a snapshot's place held the reader";
    EXPECT_EQ(read.get(), TSnapshotReader::TState::Damaged);
}

// Another file system mounted inside the tree is not the tree's, as the
// live watch does not watch it: what changes there is no catch-up's.
TEST(CatchUp, StopsAtAFileSystemMountedInsideTheTree) {
    TTempDir dir;
    const std::string root = dir / "tree", snapshot = dir / "snapshots/tree";
    dir.MakeDir("tree/disk");
    dir.WriteFile("tree/a", "x");
    TSmallFileSystem disk(root + "/disk", 1024);
    if (!disk.Mounted())
        GTEST_SKIP() << "needs root, to mount a file system inside the tree";
    Write(root + "/disk/before", "x");
    ASSERT_EQ(CatchUpTree(root, snapshot, {}).Outcome, TCatchUp::TOutcome::FirstWatch);
    Write(root + "/disk/after", "x");
    fs::remove(root + "/disk/before");
    Write(root + "/b", "x");
    const TCatchUp found = CatchUpTree(root, snapshot, {});
    EXPECT_EQ(found.Changes, (std::vector<TCaughtUpChange>{{TCaughtUpChange::TKind::Added, "b", "", false}}))
        << "only the change on the tree's own file system";
}
