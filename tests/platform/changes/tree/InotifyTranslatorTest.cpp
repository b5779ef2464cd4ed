// The translation of raw inotify events into change records, step by step,
// without a kernel: a folder tree of the test's making and a port that
// records what the translator asks of the rest of the backend.
#include "platform/changes/DirChanges.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/system/TextConversion.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <sys/inotify.h>

using namespace inotify;

namespace {

constexpr uint32_t Names = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr uint32_t All = 0x17F;
constexpr int Root = 1, Sub = 2, Deep = 3, Other = 4, Guard = 9;

struct TRecord {
    uint32_t Action;
    std::string Name;
    friend bool operator==(const TRecord&, const TRecord&) = default;
};

std::ostream& operator<<(std::ostream& out, const TRecord& record) {
    return out << "(" << record.Action << ", " << record.Name << ")";
}

class TRecordingPort final : public TTranslatorPort {
public:
    explicit TRecordingPort(TWatchTree& tree) : FTree(tree) {}
    bool EntryArrived(int, const std::string&) override { return true; }
    void EntryLeft(int, const std::string&) override {}
    bool AccessMovedTime(int, const std::string&) override { return AccessMoved; }
    void FolderArrived(int parentWd, const std::string& name, TSince since) override {
        Calls.push_back("arrived " + FTree.RelativeName(parentWd, name) + (since == ReportAll ? " (new)" : " (moved in)"));
    }
    // As the keepers do: a folder displaced by a rename and renamed back
    // at once from its old name was exchanged.
    TFolderMove FolderRenamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName,
                              TSince) override {
        if (auto displaced = FDisplaced.find({fromWd, fromName}); displaced != FDisplaced.end()) {
            FTree.Move(displaced->second, toWd, toName);
            FDisplaced.erase(displaced);
            Calls.push_back("exchanged to " + FTree.RelativeName(toWd, toName));
            return TFolderMove::Exchanged;
        }
        if (FTree.FindChild(toWd, toName))
            FolderDisplaced(toWd, toName);
        if (auto child = FTree.FindChild(fromWd, fromName))
            FTree.Move(*child, toWd, toName);
        Calls.push_back("renamed to " + FTree.RelativeName(toWd, toName));
        return TFolderMove::Moved;
    }
    void FolderLeft(int folderWd) override {
        Calls.push_back("left " + FTree.RelativePath(folderWd));
        FTree.RemoveSubTree(folderWd);
    }
    void FolderDisplaced(int parentWd, const std::string& name) override {
        Calls.push_back("displaced " + FTree.RelativeName(parentWd, name));
        if (auto folder = FTree.FindChild(parentWd, name)) {
            FTree.Detach(*folder);
            FDisplaced[{parentWd, name}] = *folder;
        }
    }
    void ReportContents(int folderWd) override { Calls.push_back("contents " + FTree.RelativePath(folderWd)); }
    TEntryNow EntryNow(int wd, const std::string& name) override {
        const auto found = Disk.find(FTree.RelativeName(wd, name));
        return found == Disk.end() ? TEntryNow{} : found->second;
    }
    void FolderForgotten(int wd) override { FTree.RemoveSubTree(wd); }
    void ChangesLost() override { Calls.push_back("lost"); }

    bool AccessMoved = true;
    std::map<std::string, TEntryNow> Disk; // by relative name; what is not in it is not known
    std::vector<std::string> Calls;

private:
    TWatchTree& FTree;
    std::map<std::pair<int, std::string>, int> FDisplaced; // folders by the place they left
};

// One step: an event, or the kernel queue found empty and time passing, or
// the records checked against the file system.
struct TStep {
    TRawEvent Event;
    bool QueueEmptyAndLater = false;
    bool Reconcile = false;
};

TStep Event(int wd, uint32_t mask, std::string name = {}, uint32_t cookie = 0) {
    return {{wd, mask, cookie, std::move(name)}, false};
}
const TStep EmptyAndLater{{}, true};
const TStep Reconciled{{}, false, true};
// What a check finds is reported at the next one.
const TStep Checked{{}, false, true};

struct TCase {
    const char* What;
    uint32_t Filter;
    std::vector<TStep> Steps;
    std::vector<TRecord> Records; // {0, ""} marks lost changes
    std::vector<std::string> Calls = {};
    TRootLoss Loss = TRootLoss::None;
    std::map<std::string, TEntryNow> Disk = {};
};

struct TRun {
    std::vector<TRecord> Records;
    std::vector<std::string> Calls;
    TRootLoss Loss;
};

TRun Translate(const TCase& test) {
    TWatchTree tree("/w");
    tree.AddRoot(Root);
    tree.Add(Sub, Root, "sub");
    tree.Add(Deep, Sub, "deep");
    tree.Add(Other, Root, "other");
    TPendingChanges queue;
    TRecordingPort port(tree);
    port.Disk = test.Disk;
    TInotifyTranslator translator(tree, queue, port);
    translator.SetFilter(test.Filter, true);
    translator.AddGuard(Guard, "w");
    auto now = TClock::now();
    for (const TStep& step : test.Steps) {
        if (step.Reconcile) {
            now += TInotifyTranslator::RenamePairWait;
            translator.Reconcile(now);
        } else if (step.QueueEmptyAndLater) {
            translator.QueueEmptied(now, 0);
            now += TInotifyTranslator::RenamePairWait * 2;
            translator.SettleLateMovesOut(now);
        } else {
            translator.Translate(step.Event);
        }
    }
    TRun run{{}, port.Calls, translator.RootLoss()};
    alignas(4) char buffer[4096];
    while (queue.FrontReady()) {
        if (queue.FrontIsLoss()) {
            queue.PopLoss();
            run.Records.push_back({0, ""});
            continue;
        }
        const uint32_t bytes = queue.Pack(buffer, sizeof buffer);
        for (uint32_t offset = 0; bytes > 0;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
            run.Records.push_back(
                {record->Action & ~FileActionFolderFlag, WideToLocal8(std::u16string_view(record->FileName, record->FileNameLength / 2))});
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
    }
    EXPECT_TRUE(queue.Empty()) << test.What << ": a record is still held";
    return run;
}

const std::vector<TCase> Cases = {
    {"a file made, changed and removed in a sub-folder; its folder's last write changes too", All,
     {Event(Sub, IN_CREATE, "a"), Event(Sub, IN_MODIFY, "a"), Event(Sub, IN_DELETE, "a")},
     {{1, "sub/a"}, {3, "sub"}, {3, "sub/a"}, {2, "sub/a"}, {3, "sub"}}},
    {"the watched folder's own last write is never reported", All,
     {Event(Root, IN_CREATE, "a")},
     {{1, "a"}}},
    {"names only: content, attributes and accesses are not reported", Names,
     {Event(Root, IN_CREATE, "a"), Event(Root, IN_MODIFY, "a"), Event(Root, IN_ATTRIB, "a"), Event(Root, IN_ACCESS, "a")},
     {{1, "a"}}},
    {"attributes only: a mode change is reported, a write is not", FILE_NOTIFY_CHANGE_ATTRIBUTES,
     {Event(Root, IN_MODIFY, "a"), Event(Root, IN_ATTRIB, "a")},
     {{3, "a"}}},
    {"accesses: only to files, only when they moved the access time", FILE_NOTIFY_CHANGE_LAST_ACCESS,
     {Event(Root, IN_ACCESS, "a"), Event(Root, IN_ACCESS | IN_ISDIR, "sub")},
     {{3, "a"}}},
    {"a rename's halves with other events between them stay a pair, in the place of the first", Names,
     {Event(Sub, IN_MOVED_FROM, "old", 7), Event(Other, IN_CREATE, "x"), Event(Other, IN_CREATE, "y"),
      Event(Sub, IN_MOVED_TO, "new", 7)},
     {{4, "sub/old"}, {5, "sub/new"}, {1, "other/x"}, {1, "other/y"}}},
    {"a rename's halves across an empty queue still pair while the other half is on time", Names,
     {Event(Root, IN_MOVED_FROM, "a", 3), Event(Root, IN_MOVED_TO, "b", 3)},
     {{4, "a"}, {5, "b"}}},
    {"two renames interleaved pair by cookie", Names,
     {Event(Root, IN_MOVED_FROM, "a", 1), Event(Sub, IN_MOVED_FROM, "c", 2), Event(Sub, IN_MOVED_TO, "d", 2),
      Event(Root, IN_MOVED_TO, "b", 1)},
     {{4, "a"}, {5, "b"}, {4, "sub/c"}, {5, "sub/d"}}},
    {"a cookie that comes again before its other half: the first move left the tree", Names,
     {Event(Root, IN_MOVED_FROM, "first", 5), Event(Sub, IN_MOVED_FROM, "second", 5), Event(Other, IN_MOVED_TO, "to", 5)},
     {{2, "first"}, {4, "sub/second"}, {5, "other/to"}}},
    {"a move out whose other half never comes is a removal, in its place", Names,
     {Event(Root, IN_MOVED_FROM, "gone", 5), Event(Root, IN_CREATE, "after"), EmptyAndLater},
     {{2, "gone"}, {1, "after"}}},
    {"a move in from outside is an addition; a folder moved in is followed", Names,
     {Event(Root, IN_MOVED_TO, "file", 11), Event(Root, IN_MOVED_TO | IN_ISDIR, "tree", 12)},
     {{1, "file"}, {1, "tree"}},
     {"arrived tree (moved in)"}},
    {"a folder made is followed as brand-new", Names,
     {Event(Sub, IN_CREATE | IN_ISDIR, "new")},
     {{1, "sub/new"}},
     {"arrived sub/new (new)"}},
    {"a folder renamed keeps being followed; what happens in it later carries its new name", Names,
     {Event(Root, IN_MOVED_FROM | IN_ISDIR, "sub", 4), Event(Root, IN_MOVED_TO | IN_ISDIR, "moved", 4),
      Event(Deep, IN_CREATE, "x")},
     {{4, "sub"}, {5, "moved"}, {1, "moved/deep/x"}},
     {"renamed to moved"}},
    {"an event from inside a folder moved out before its other half came: the folder left", Names,
     {Event(Root, IN_MOVED_FROM | IN_ISDIR, "sub", 6), Event(Deep, IN_CREATE, "x")},
     {{2, "sub"}},
     {"left sub"}},
    {"a folder removed is left at once, even while something holds it open", Names,
     {Event(Root, IN_DELETE | IN_ISDIR, "other"), Event(Root, IN_CREATE | IN_ISDIR, "other")},
     {{2, "other"}, {1, "other"}},
     {"left other", "arrived other (new)"}},
    {"an overflow marks lost changes, settles a waiting move out and asks for a new walk", Names,
     {Event(Root, IN_MOVED_FROM, "a", 8), Event(-1, IN_Q_OVERFLOW), Event(Root, IN_CREATE, "b")},
     {{2, "a"}, {0, ""}, {1, "b"}},
     {"lost"}},
    {"the watched folder removed ends the stream, with the reason", Names,
     {Event(Root, IN_CREATE, "last"), Event(Root, IN_DELETE_SELF), Event(Root, IN_IGNORED)},
     {{1, "last"}}, {}, TRootLoss::Removed},
    {"the watched folder's file system unmounted", Names,
     {Event(Root, IN_UNMOUNT), Event(Root, IN_IGNORED)},
     {}, {}, TRootLoss::Unmounted},
    {"the watched folder renamed through a folder above it: nothing after it is reported", Names,
     {Event(Root, IN_CREATE, "early"), Event(Guard, IN_MOVED_FROM | IN_ISDIR, "w", 9), Event(Root, IN_CREATE, "late")},
     {{1, "early"}}, {}, TRootLoss::Moved},
    {"two folders exchanged: two renames, nothing added", Names,
     {Event(Root, IN_MOVED_FROM | IN_ISDIR, "sub", 1), Event(Root, IN_MOVED_TO | IN_ISDIR, "other", 1),
      Event(Root, IN_MOVED_FROM | IN_ISDIR, "other", 2), Event(Root, IN_MOVED_TO | IN_ISDIR, "sub", 2), Checked, Reconciled},
     {{4, "sub"}, {5, "other"}, {4, "other"}, {5, "sub"}},
     {"displaced other", "renamed to other", "exchanged to sub"},
     TRootLoss::None,
     {{"sub", {TEntryNow::TKind::Folder, Other}}, {"other", {TEntryNow::TKind::Folder, Sub}}}},
    {"a file exchanged with a folder", Names,
     {Event(Root, IN_MOVED_FROM, "f", 1), Event(Root, IN_MOVED_TO, "sub", 1),
      Event(Root, IN_MOVED_FROM | IN_ISDIR, "sub", 2), Event(Root, IN_MOVED_TO | IN_ISDIR, "f", 2)},
     {{4, "f"}, {5, "sub"}, {4, "sub"}, {5, "f"}},
     {"displaced sub", "exchanged to f"}},
    {"two files exchanged: the second rename leaves a name the file system still has, which is added again", Names,
     {Event(Root, IN_MOVED_FROM, "a", 1), Event(Root, IN_MOVED_TO, "b", 1), Event(Root, IN_MOVED_FROM, "b", 2),
      Event(Root, IN_MOVED_TO, "a", 2), Checked, Reconciled},
     {{4, "a"}, {5, "b"}, {4, "b"}, {5, "a"}, {1, "b"}},
     {}, TRootLoss::None,
     {{"a", {TEntryNow::TKind::Other, {}}}, {"b", {TEntryNow::TKind::Other, {}}}}},
    {"renames the system merged leave the file at the other name: corrected", Names,
     {Event(Root, IN_MOVED_FROM, "a", 1), Event(Root, IN_MOVED_TO, "b", 1), Event(Root, IN_MOVED_FROM, "b", 2),
      Event(Root, IN_MOVED_TO, "a", 2), Checked, Reconciled},
     {{4, "a"}, {5, "b"}, {4, "b"}, {5, "a"}, {2, "a"}, {1, "b"}},
     {}, TRootLoss::None,
     {{"a", {TEntryNow::TKind::Absent, {}}}, {"b", {TEntryNow::TKind::Other, {}}}}},
    {"a folder found at another name than the records give is renamed there, keeping what it holds", Names,
     {Event(Root, IN_MOVED_FROM | IN_ISDIR, "other", 1), Event(Root, IN_MOVED_TO | IN_ISDIR, "moved", 1),
      Event(Root, IN_MOVED_FROM | IN_ISDIR, "moved", 2), Event(Root, IN_MOVED_TO | IN_ISDIR, "other", 2), Checked, Reconciled},
     {{4, "other"}, {5, "moved"}, {4, "moved"}, {5, "other"}, {4, "other"}, {5, "moved"}},
     {"renamed to moved", "renamed to other", "renamed to moved"},
     TRootLoss::None,
     {{"other", {TEntryNow::TKind::Absent, {}}}, {"moved", {TEntryNow::TKind::Folder, Other}}}},
    {"a check the next event about the name makes stale corrects nothing: the name is checked again", Names,
     {Event(Root, IN_MOVED_FROM, "a", 1), Event(Root, IN_MOVED_TO, "b", 1), Checked, Event(Root, IN_DELETE, "b"),
      Reconciled},
     {{4, "a"}, {5, "b"}, {2, "b"}},
     {}, TRootLoss::None,
     {{"a", {TEntryNow::TKind::Absent, {}}}, {"b", {TEntryNow::TKind::Absent, {}}}}},
    {"what cannot be told about a name, or agrees, is left as it is", Names,
     {Event(Root, IN_MOVED_FROM, "a", 1), Event(Root, IN_MOVED_TO, "b", 1), Checked, Reconciled},
     {{4, "a"}, {5, "b"}},
     {}, TRootLoss::None,
     {{"b", {TEntryNow::TKind::Other, {}}}}},
    {"other names in a folder above change nothing", Names,
     {Event(Guard, IN_CREATE, "unrelated"), Event(Guard, IN_DELETE | IN_ISDIR, "w2")},
     {}, {}, TRootLoss::None},
};

} // namespace

TEST(InotifyTranslator, EveryCaseGivesItsRecordsInOrder) {
    for (const TCase& test : Cases) {
        const TRun run = Translate(test);
        EXPECT_EQ(run.Records, test.Records) << test.What;
        EXPECT_EQ(run.Calls, test.Calls) << test.What;
        EXPECT_EQ(run.Loss, test.Loss) << test.What;
    }
}

TEST(InotifyTranslator, AMoveOutWaitsForItsOtherHalfOnlySoLong) {
    TWatchTree tree("/w");
    tree.AddRoot(Root);
    TPendingChanges queue;
    TRecordingPort port(tree);
    TInotifyTranslator translator(tree, queue, port);
    translator.SetFilter(Names, true);
    const auto start = TClock::now();
    translator.Translate({Root, IN_MOVED_FROM, 1, "a"});
    translator.SettleLateMovesOut(start + std::chrono::seconds(10));
    EXPECT_TRUE(translator.MovesPending()) << "no wait starts before the queue was found empty";
    translator.QueueEmptied(start, 0);
    ASSERT_TRUE(translator.NextMoveDeadline());
    EXPECT_EQ(*translator.NextMoveDeadline(), start + TInotifyTranslator::RenamePairWait);
    translator.SettleLateMovesOut(start + TInotifyTranslator::RenamePairWait / 2);
    EXPECT_TRUE(translator.MovesPending());
    for (uint64_t i = 0; i <= TInotifyTranslator::RenamePairEvents; ++i)
        translator.Translate({Root, IN_MODIFY, 0, "busy"});
    translator.SettleLateMovesOut(start);
    EXPECT_FALSE(translator.MovesPending()) << "too many events came between the halves";
}
