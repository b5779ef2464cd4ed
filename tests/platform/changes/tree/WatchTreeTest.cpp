#include "platform/changes/DirChanges.h"
#include "platform/changes/PendingChanges.h"
#include "platform/changes/tree/WatchTree.h"
#include "platform/system/TextConversion.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <utility>
#include <vector>

TEST(WatchTree, NamesFollowMovesAndRemovalsAndNoMoveMakesACycle) {
    TWatchTree tree("/w/");
    tree.AddRoot(1);
    tree.Add(2, 1, "a");
    tree.Add(3, 2, "b");
    tree.Add(4, 1, "c");
    EXPECT_EQ(tree.FullPath(3), "/w/a/b");
    EXPECT_TRUE(tree.Move(2, 4, "a2"));
    EXPECT_EQ(tree.FullPath(3), "/w/c/a2/b");
    EXPECT_FALSE(tree.FindChild(1, "a")) << "the old name leads nowhere";
    EXPECT_EQ(tree.FindChild(4, "a2"), 2);
    EXPECT_FALSE(tree.Move(4, 3, "loop")) << "a folder cannot go below itself";
    EXPECT_EQ(tree.RelativePath(3), "c/a2/b");
    std::vector<int> removed = tree.RemoveSubTree(4);
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(tree.Size(), 1u);
    EXPECT_FALSE(tree.FindChild(1, "c"));
}

// A name taken over by another folder (a rename onto it) leads to the new
// one; the one it replaced, still listed until its own removal comes, is
// then dropped without taking the name with it.
TEST(WatchTree, ANameTakenOverLeadsToTheNewFolder) {
    TWatchTree tree("/w");
    tree.AddRoot(1);
    tree.Add(2, 1, "old");
    tree.Add(3, 1, "new");
    tree.Move(3, 1, "old");
    EXPECT_EQ(tree.FindChild(1, "old"), 3);
    tree.RemoveSubTree(2);
    EXPECT_EQ(tree.FindChild(1, "old"), 3);
    EXPECT_EQ(tree.FullPath(3), "/w/old");
}

namespace {
std::vector<std::pair<uint32_t, std::string>> Unpack(const char* buffer, uint32_t bytes) {
    std::vector<std::pair<uint32_t, std::string>> records;
    for (uint32_t offset = 0; bytes > 0;) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        records.emplace_back(record->Action & ~FileActionFolderFlag,
                             WideToLocal8(std::u16string_view(record->FileName, record->FileNameLength / 2)));
        if (record->NextEntryOffset == 0)
            break;
        offset += record->NextEntryOffset;
    }
    return records;
}
} // namespace

TEST(PendingChanges, AHeldMoveKeepsItsPlaceAndBecomesAPairOrARemoval) {
    TPendingChanges queue;
    alignas(4) char buffer[1024];
    auto renamed = queue.Hold();
    queue.Add(FILE_ACTION_MODIFIED, "other");
    auto removed = queue.Hold();
    EXPECT_FALSE(queue.FrontReady()) << "nothing passes a held record";
    queue.SettleAsRename(renamed, "a", "b");
    ASSERT_TRUE(queue.FrontReady());
    EXPECT_EQ(Unpack(buffer, queue.Pack(buffer, sizeof buffer)),
              (std::vector<std::pair<uint32_t, std::string>>{{4, "a"}, {5, "b"}, {3, "other"}}));
    queue.Settle(removed, FILE_ACTION_REMOVED, "gone");
    queue.Add(FILE_ACTION_ADDED, "after");
    EXPECT_EQ(Unpack(buffer, queue.Pack(buffer, sizeof buffer)),
              (std::vector<std::pair<uint32_t, std::string>>{{2, "gone"}, {1, "after"}}));
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Bytes(), 0u);
}

TEST(PendingChanges, APairNeverStraddlesTwoReadsAndAnOversizedRecordIsALoss) {
    TPendingChanges queue;
    alignas(4) char buffer[64];
    queue.Add(FILE_ACTION_ADDED, "first");
    queue.SettleAsRename(queue.Hold(), "old-name", "new-name");
    EXPECT_EQ(Unpack(buffer, queue.Pack(buffer, 40)).size(), 1u) << "the pair waits for the next read";
    EXPECT_EQ(Unpack(buffer, queue.Pack(buffer, sizeof buffer)).size(), 2u);
    queue.Add(FILE_ACTION_ADDED, std::string(100, 'x'));
    queue.Add(FILE_ACTION_ADDED, "next");
    EXPECT_EQ(queue.Pack(buffer, sizeof buffer), 0u);
    EXPECT_EQ(Unpack(buffer, queue.Pack(buffer, sizeof buffer)),
              (std::vector<std::pair<uint32_t, std::string>>{{1, "next"}}));
}

TEST(PendingChanges, ALossIsAMarkOfItsOwnAndActionZeroIsNothing) {
    TPendingChanges queue;
    alignas(4) char buffer[256];
    queue.Add(0, "nothing");
    queue.Add(FILE_ACTION_ADDED, "a");
    EXPECT_FALSE(queue.FrontIsLoss()) << "action 0 is no loss mark";
    EXPECT_EQ(Unpack(buffer, queue.Pack(buffer, sizeof buffer)),
              (std::vector<std::pair<uint32_t, std::string>>{{1, "a"}}));
    queue.AddLoss();
    ASSERT_TRUE(queue.FrontReady());
    EXPECT_TRUE(queue.FrontIsLoss());
}

TEST(FolderNumbers, NumbersWrapAroundPastTheLargestAndSkipThoseInUse) {
    TWatchTree tree("/w");
    TFolderNumbers numbers(std::numeric_limits<int>::max() - 1);
    tree.AddRoot(numbers.Next(tree));
    EXPECT_EQ(tree.Root(), std::numeric_limits<int>::max() - 1);
    tree.Add(numbers.Next(tree), tree.Root(), "last");
    EXPECT_TRUE(tree.Knows(std::numeric_limits<int>::max()));
    tree.Add(1, tree.Root(), "taken");
    numbers.Reserve(2);
    EXPECT_EQ(numbers.Next(tree), 3) << "after the largest, the first number neither in the tree nor held";
}
