#pragma once

// Drives a change reader on the test's own thread, as the watch's worker
// would, and collects what it reports.
#include "EngineTesting.h"
#include "platform/changes/DirChanges.h"
#include "platform/system/TextConversion.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>


constexpr uint32_t AllChanges = 0x17F;
constexpr uint32_t Names = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

struct TSeen {
    uint32_t Action;
    std::string Name;
    friend bool operator==(const TSeen&, const TSeen&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const TSeen& seen) {
    return out << "(" << seen.Action << ", " << seen.Name << ")";
}

// Drives a reader on the test's own thread, as the worker would.
class TReaderDriver {
public:
    TReaderDriver(const std::string& folder, uint32_t filter = AllChanges, bool subTree = true)
        : FFilter(filter), FSubTree(subTree) {
        TOpenFailure failure;
        FReader = TDirChangeReader::OpenNative(folder, failure);
        EXPECT_TRUE(FReader) << "open failed with " << failure.ErrorCode;
    }
    // Drives a reader made elsewhere.
    explicit TReaderDriver(std::unique_ptr<TDirChangeReader> reader, uint32_t filter = AllChanges)
        : FReader(std::move(reader)), FFilter(filter), FSubTree(true) {}

    // Starts reading and waits until the whole tree is watched.
    void StartAndWaitReady() {
        ASSERT_TRUE(Start());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!Ready && std::chrono::steady_clock::now() < deadline)
            Step();
        ASSERT_TRUE(Ready);
    }

    bool Start() { return FReader->ReadChanges(FBuffer, sizeof FBuffer, FSubTree, FFilter); }
    TDirChangeReader& Reader() { return *FReader; }

    // Collects records until none came for quietMs.
    std::vector<TSeen> CollectUntilQuiet(int quietMs = 300) {
        auto lastNews = std::chrono::steady_clock::now();
        size_t before = Seen.size();
        while (!Failed && std::chrono::steady_clock::now() - lastNews < std::chrono::milliseconds(quietMs)) {
            size_t count = Seen.size();
            Step();
            if (Seen.size() != count)
                lastNews = std::chrono::steady_clock::now();
        }
        return {Seen.begin() + static_cast<long>(before), Seen.end()};
    }

    void Step() {
        TWaitResult result = FReader->Wait(50);
        TWatchNotice notice;
        while (FReader->TakeNotice(notice)) {
            Ready = Ready || notice.Kind == TWatchNotice::TKind::SetupDone;
            Notices.push_back(notice);
        }
        if (result != TWaitResult::Signalled)
            return;
        uint32_t bytes = 0;
        if (!FReader->GetResult(bytes)) {
            Failed = true;
            return;
        }
        if (bytes == 0) {
            Seen.push_back({0, "<lost>"});
            Processes.push_back(nullptr);
        }
        std::vector<TProcessRef> processes;
        FReader->TakeProcesses(processes);
        for (uint32_t offset = 0, index = 0; bytes > 0; ++index) {
            const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(FBuffer + offset);
            // Records start on 32-bit boundaries; Wine's on 16-bit ones only,
            // a known difference from Windows.
            EXPECT_EQ(offset % (RunsUnderWine() ? 2 : 4), 0u) << "a record out of line";
            Seen.push_back({record->Action & ~FileActionFolderFlag,
                            WideToLocal8(std::u16string_view(reinterpret_cast<const char16_t*>(record->FileName),
                                                             record->FileNameLength / 2))});
            Processes.push_back(index < processes.size() ? processes[index] : nullptr);
            if (record->Action & FileActionFolderFlag)
                SeenFolders.insert(Seen.back().Name);
            if (record->NextEntryOffset == 0)
                break;
            offset += record->NextEntryOffset;
        }
        Start();
    }

    std::vector<TSeen> Seen;
    // The process of each record of Seen, where the reader tells.
    std::vector<TProcessRef> Processes;
    // The names of the records that said their entry is a folder.
    std::set<std::string> SeenFolders;
    std::vector<TWatchNotice> Notices;
    bool Ready = false;
    bool Failed = false;

private:
    std::unique_ptr<TDirChangeReader> FReader;
    alignas(4) char FBuffer[17024];
    uint32_t FFilter;
    bool FSubTree;
};

inline size_t CountOf(const std::vector<TSeen>& seen, const TSeen& record) {
    return static_cast<size_t>(std::count(seen.begin(), seen.end(), record));
}

inline bool Adjacent(const std::vector<TSeen>& seen, const TSeen& first, const TSeen& second) {
    return std::adjacent_find(seen.begin(), seen.end(), [&](const TSeen& a, const TSeen& b) {
               return a == first && b == second;
           }) != seen.end();
}

// How many events the kernel queues for one reader before it drops them.
inline int KernelQueueLimit() {
    std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
    int limit = 0;
    limitFile >> limit;
    return limit;
}

