// The records as a history: replayed in order from the tree as it was, they
// must give every name's state as it is, whatever the kernel folded on the
// way and however two entries swapped places.
#include "Testing.h"
#include "ReaderDriver.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {
using TNames = std::set<std::string>;

// Every entry below folder, relative to it.
TNames TreeOf(const std::string& folder) {
    TNames names;
    for (auto entry = fs::recursive_directory_iterator(folder); entry != fs::recursive_directory_iterator(); ++entry)
        names.insert(fs::relative(entry->path(), folder).string());
    return names;
}

void RemoveBelow(TNames& names, const std::string& name) {
    names.erase(name);
    for (auto below = names.lower_bound(name + "/"); below != names.end() && below->rfind(name + "/", 0) == 0;)
        below = names.erase(below);
}

// The names below name (itself included), renamed to to.
TNames Subtree(const TNames& names, const std::string& name, const std::string& to) {
    TNames moved;
    for (const std::string& each : names)
        if (each == name || each.rfind(name + "/", 0) == 0)
            moved.insert(to + each.substr(name.size()));
    return moved;
}

// The tree that the records make of the tree as it was. A rename onto a
// name that held an entry, followed at once by one back the other way, is
// an exchange: the entry it displaced takes the first one's old name.
TNames Replay(TNames names, const std::vector<TSeen>& records) {
    std::string oldName;
    std::string lastFrom, lastTo;
    TNames displaced;
    for (const TSeen& record : records) {
        switch (record.Action) {
        case 1:
            names.insert(record.Name);
            displaced.clear();
            break;
        case 2:
            RemoveBelow(names, record.Name);
            displaced.clear();
            break;
        case 4:
            oldName = record.Name;
            break;
        case 5: {
            const bool exchange = !displaced.empty() && oldName == lastTo && record.Name == lastFrom;
            const TNames moved = exchange ? Subtree(displaced, oldName, record.Name)
                                          : Subtree(names, oldName, record.Name);
            displaced = exchange ? TNames{} : Subtree(names, record.Name, record.Name);
            if (!exchange)
                RemoveBelow(names, oldName);
            RemoveBelow(names, record.Name);
            names.insert(moved.begin(), moved.end());
            lastFrom = oldName;
            lastTo = record.Name;
            break;
        }
        default: // a folder's times changed: no part of the sequence
            break;
        }
    }
    return names;
}

void Exchange(const std::string& a, const std::string& b) {
    ASSERT_EQ(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE), 0) << std::strerror(errno);
}

struct TSequence {
    const char* What;
    std::function<void(const TTempDir& dir, const TTempDir& outside)> Prepare;
    std::function<void(const TTempDir& dir, const TTempDir& outside)> Act;
    // What came in with a folder moved into the tree: its arrival stands for them.
    TNames Implied = {};
};

TNames Without(TNames names, const TNames& implied) {
    for (const std::string& name : implied)
        names.erase(name);
    return names;
}

const TSequence Sequences[] = {
    {"a file renamed back and forth 2,001 times",
     [](const TTempDir& dir, const TTempDir&) { dir.WriteFile("a"); },
     [](const TTempDir& dir, const TTempDir&) {
         for (int i = 0; i < 2001; ++i)
             fs::rename(dir / (i % 2 ? "b" : "a"), dir / (i % 2 ? "a" : "b"));
     }},
    {"a folder renamed back and forth 1,001 times, then filled",
     [](const TTempDir& dir, const TTempDir&) { dir.MakeDir("d/inner"); },
     [](const TTempDir& dir, const TTempDir&) {
         for (int i = 0; i < 1001; ++i)
             fs::rename(dir / (i % 2 ? "e" : "d"), dir / (i % 2 ? "d" : "e"));
         dir.WriteFile("e/inner/new.txt");
     }},
    {"a name removed and made again, many times",
     [](const TTempDir& dir, const TTempDir&) { dir.WriteFile("kept"); },
     [](const TTempDir& dir, const TTempDir&) {
         for (int i = 0; i < 500; ++i) {
             fs::remove(dir / "kept");
             dir.WriteFile("kept");
             dir.WriteFile("gone");
             fs::remove(dir / "gone");
         }
     }},
    {"two files exchanged",
     [](const TTempDir& dir, const TTempDir&) {
         dir.WriteFile("one", "1");
         dir.WriteFile("two", "2");
     },
     [](const TTempDir& dir, const TTempDir&) { Exchange(dir / "one", dir / "two"); }},
    {"two folders in different folders exchanged, then written into",
     [](const TTempDir& dir, const TTempDir&) {
         dir.MakeDir("x/a/deep");
         dir.MakeDir("y/b");
     },
     [](const TTempDir& dir, const TTempDir&) {
         Exchange(dir / "x/a", dir / "y/b");
         dir.WriteFile("x/a/in-b.txt");
         dir.WriteFile("y/b/in-a.txt");
         dir.WriteFile("y/b/deep/deeper.txt");
     }},
    {"a folder exchanged with its sibling, then written into",
     [](const TTempDir& dir, const TTempDir&) {
         dir.MakeDir("p/old-p");
         dir.MakeDir("q/old-q");
     },
     [](const TTempDir& dir, const TTempDir&) {
         Exchange(dir / "p", dir / "q");
         dir.WriteFile("p/now.txt");
         dir.WriteFile("q/old-p/now.txt");
     }},
    {"a file exchanged with a folder",
     [](const TTempDir& dir, const TTempDir&) {
         dir.WriteFile("file");
         dir.MakeDir("folder/inside");
     },
     [](const TTempDir& dir, const TTempDir&) {
         Exchange(dir / "file", dir / "folder");
         dir.WriteFile("file/inside/after.txt");
     }},
    {"a folder exchanged with one outside the tree",
     [](const TTempDir& dir, const TTempDir& outside) {
         dir.MakeDir("in/was-in");
         outside.MakeDir("out/was-out");
     },
     [](const TTempDir& dir, const TTempDir& outside) {
         Exchange(dir / "in", outside / "out");
         dir.WriteFile("in/arrived.txt");
         outside.WriteFile("out/not-seen.txt");
     },
     {"in/was-out"}},
};
} // namespace

TEST(DirChangesFinalState, ReplayingTheRecordsGivesTheRealFinalState) {
    for (const TSequence& sequence : Sequences) {
        SCOPED_TRACE(sequence.What);
        TTempDir outside, dir;
        sequence.Prepare(dir, outside);
        const TNames before = TreeOf(dir.Path());
        TReaderDriver driver(dir.Path(), Names);
        driver.StartAndWaitReady();
        sequence.Act(dir, outside);
        const std::vector<TSeen> seen = driver.CollectUntilQuiet(500);
        EXPECT_EQ(CountOf(seen, {0, "<lost>"}), 0u);
        EXPECT_EQ(Without(Replay(before, seen), sequence.Implied), Without(TreeOf(dir.Path()), sequence.Implied));
    }
}
