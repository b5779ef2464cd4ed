// Any sequence of raw inotify events, as a kernel under stress or a broken
// one might queue them, through the event translator with a folder tree of
// a few folders: the stream it makes stays well-formed. Renames come as
// adjacent old/new pairs, every path is relative and clean, and once the
// stream is settled nothing is held back.
#include "FuzzSupport.h"

#include "platform/changes/DirChanges.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/system/TextConversion.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/inotify.h>
#include <vector>

using namespace inotify;

namespace {

constexpr uint32_t Masks[] = {IN_CREATE,     IN_DELETE,        IN_MOVED_FROM, IN_MOVED_TO, IN_MODIFY,
                              IN_ATTRIB,     IN_ACCESS,        IN_DELETE_SELF, IN_MOVE_SELF, IN_IGNORED,
                              IN_Q_OVERFLOW, IN_UNMOUNT,       IN_ISDIR};
const char* const Names[] = {"", "a", "b", "sub", "deep", "x y", "\xff"};

// Follows the folder tree as the real follower would, without a file system.
class TTreePort final : public TTranslatorPort {
public:
    explicit TTreePort(TWatchTree& tree) : FTree(tree) {}
    bool EntryArrived(int, const std::string&) override { return true; }
    void EntryLeft(int, const std::string&) override {}
    bool AccessMovedTime(int, const std::string& name) override { return name.size() % 2 == 1; }
    void FolderArrived(int parentWd, const std::string& name, TSince) override {
        if (FTree.Contains(parentWd) && !FTree.FindChild(parentWd, name))
            FTree.Add(FNextWd++, parentWd, name);
    }
    TFolderMove FolderRenamed(int fromWd, const std::string& fromName, int toWd, const std::string& toName,
                              TSince) override {
        if (auto child = FTree.FindChild(fromWd, fromName)) {
            if (auto replaced = FTree.FindChild(toWd, toName); replaced && !FTree.IsWithin(*child, *replaced))
                FTree.RemoveSubTree(*replaced);
            FTree.Move(*child, toWd, toName);
        }
        return fromName.size() % 3 == 2 ? TFolderMove::Exchanged : TFolderMove::Moved;
    }
    void FolderLeft(int folderWd) override {
        if (FTree.Knows(folderWd) && folderWd != FTree.Root())
            FTree.RemoveSubTree(folderWd);
    }
    void FolderDisplaced(int parentWd, const std::string& name) override {
        if (auto folder = FTree.FindChild(parentWd, name))
            FTree.Detach(*folder);
    }
    void ReportContents(int) override {}
    // Every kind of answer, by the name's length, some naming a folder of the tree.
    TEntryNow EntryNow(int wd, const std::string& name) override {
        switch (name.size() % 4) {
        case 0:
            return {TEntryNow::TKind::Absent, {}};
        case 1:
            return {TEntryNow::TKind::Other, {}};
        case 2:
            return {TEntryNow::TKind::Folder, FTree.Contains(wd) ? FTree.FindChild(wd, "sub") : std::nullopt};
        default:
            return {TEntryNow::TKind::Folder, 3};
        }
    }
    void FolderForgotten(int wd) override { FTree.RemoveSubTree(wd); }
    void ChangesLost() override {}

private:
    TWatchTree& FTree;
    int FNextWd = 10;
};

struct TRecord {
    uint32_t Action;
    std::string Name;
};

void CheckRecords(TPendingChanges& queue, std::vector<TRecord>& records) {
    alignas(4) char buffer[17024];
    while (queue.FrontReady()) {
        if (queue.FrontIsLoss()) {
            queue.PopLoss();
            records.push_back({0, ""});
            continue;
        }
        const uint32_t bytes = queue.Pack(buffer, sizeof buffer);
        for (uint32_t offset = 0; bytes > 0;) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
            FUZZ_CHECK(offset % 4 == 0 && offset + 12 + record->FileNameLength <= bytes);
            records.push_back({record->Action, WideToLocal8(std::u16string_view(record->FileName,
                                                                                  record->FileNameLength / 2))});
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TWatchTree tree("/w");
    tree.AddRoot(1);
    tree.Add(2, 1, "sub");
    tree.Add(3, 2, "deep");
    TPendingChanges queue;
    TTreePort port(tree);
    TInotifyTranslator translator(tree, queue, port);
    translator.SetFilter(size > 0 && data[0] & 1 ? 0x17F : 0x003, true);
    translator.AddGuard(7, "w");
    auto now = TClock::now();
    std::vector<TRecord> records;
    // Four bytes an event: folder, two bytes of kind, cookie and name.
    for (size_t at = 1; at + 4 <= size; at += 4) {
        if (data[at] == 0xFF) {
            translator.QueueEmptied(now, 0);
            now += TInotifyTranslator::RenamePairWait * (data[at + 1] % 3);
            translator.SettleLateMovesOut(now);
            if (!translator.MovesPending())
                translator.Reconcile(now);
            CheckRecords(queue, records);
            continue;
        }
        const int wd = data[at] % 12;
        uint32_t mask = 0;
        for (int bit = 0; bit < 13; ++bit)
            if (((data[at + 1] << 8 | data[at + 2]) >> bit) & 1)
                mask |= Masks[bit];
        translator.Translate({wd, mask, static_cast<uint32_t>(data[at + 3] >> 4), Names[(data[at + 3] & 0xF) % 7]});
    }
    translator.SettleLateMovesOut(now, true);
    CheckRecords(queue, records);
    FUZZ_CHECK(queue.Empty());
    for (size_t i = 0; i < records.size(); ++i) {
        const TRecord& record = records[i];
        // The folder flag only ever sits beside an action, and both halves
        // of a rename are about the same entry.
        const uint32_t action = record.Action & ~FileActionFolderFlag;
        FUZZ_CHECK(action <= FILE_ACTION_RENAMED_NEW_NAME && (action != 0 || record.Action == 0));
        if (action == FILE_ACTION_RENAMED_OLD_NAME)
            FUZZ_CHECK(i + 1 < records.size() && records[i + 1].Action == (record.Action + 1));
        if (action == FILE_ACTION_RENAMED_NEW_NAME)
            FUZZ_CHECK(i > 0 && records[i - 1].Action == record.Action - 1);
        FUZZ_CHECK(record.Name.empty() || (record.Name.front() != '/' && record.Name.find("//") == std::string::npos));
    }
    return 0;
}
