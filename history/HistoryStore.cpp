#include "history/HistoryStore.h"

#include "history/HistoryWriter.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <unistd.h>
#include <utility>

namespace {
constexpr auto BatchWait = std::chrono::milliseconds(200);
constexpr size_t BatchSize = 4096;
// How long a caller waits for room among the records waiting for the
// writer before the oldest of them go.
constexpr auto RoomWait = std::chrono::seconds(2);

// Room for all the records that may wait, which the system gives only as
// it is filled: the queue of a burst never holds its records twice, as a
// vector that doubles does while it moves them.
std::vector<THistoryRecord> RoomForWaiting() {
    std::vector<THistoryRecord> room;
    room.reserve(THistoryStore::WaitingLimit);
    return room;
}
} // namespace

THistoryStore::THistoryStore(std::string path, THistoryRetention retention, TTell tell)
    : FPath(std::move(path)), FRetention(retention), FTell(std::move(tell)), FWriter([this] { Run(); }) {}

THistoryStore::~THistoryStore() {
    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FWake.notify_one();
    FWriter.join();
}

// The records waiting are bounded, so that no burst grows the program's
// memory: the caller waits while the writer catches up, which it does
// unless the database is held by another program for long.
void THistoryStore::Add(THistoryRecord record) {
    std::unique_lock lock(FLock);
    if (FQueue.size() >= WaitingLimit) {
        FWake.notify_one();
        FRoom.wait_for(lock, RoomWait, [&] { return FQueue.size() < WaitingLimit; });
    }
    if (FQueue.size() >= WaitingLimit) {
        FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<long>(BatchSize));
        FUnkept += BatchSize;
    }
    FQueue.push_back(std::move(record));
    ++FAdded;
    if (FQueue.size() == BatchSize)
        FWake.notify_one();
}

void THistoryStore::SetRetention(THistoryRetention retention) {
    std::lock_guard lock(FLock);
    FRetention = retention;
    FRetentionChanged = true;
}

void THistoryStore::Flush() {
    std::unique_lock lock(FLock);
    const uint64_t wanted = FAdded;
    FFlushing = true;
    FWake.notify_one();
    // A database another program keeps busy does not hold the caller long.
    FWritten.wait_for(lock, std::chrono::seconds(2), [&] { return FDone >= wanted; });
}

// Batches go out every 200 ms, or sooner when full: a crash loses at most
// the records of the last moments, and never damages what was written.
void THistoryStore::Run() {
    std::unique_lock lock(FLock);
    FQueue.reserve(WaitingLimit);
    THistoryWriter writer(FPath, FRetention, FTell);
    for (;;) {
        FWake.wait_for(lock, BatchWait, [&] { return FStopping || FFlushing || FQueue.size() >= BatchSize; });
        if (FRetentionChanged)
            writer.SetRetention(FRetention);
        FRetentionChanged = false;
        std::vector<THistoryRecord> batch;
        if (!FQueue.empty())
            batch = std::exchange(FQueue, RoomForWaiting());
        FRoom.notify_all();
        const uint64_t taken = FAdded, unkept = std::exchange(FUnkept, 0);
        const bool stopping = FStopping;
        FFlushing = false;
        lock.unlock();
        if (unkept > 0)
            FTell("The history could not keep up: " + std::to_string(unkept) +
                  " changes were listed but not kept in it (the database was held by another program?)");
        const bool later = !batch.empty() && writer.Write(batch) == THistoryWriter::TWritten::Later;
        if (later && stopping)
            FTell("The history was held by another program as this one ended: " + std::to_string(batch.size()) +
                  " changes were listed but not kept in it");
        lock.lock();
        if (later && !stopping) {
            // Tried again with what came meanwhile, as much as may wait.
            FQueue.insert(FQueue.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
            if (const size_t over = FQueue.size() > WaitingLimit ? FQueue.size() - WaitingLimit : 0) {
                FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<long>(over));
                FUnkept += over;
            }
            continue; // still to be written: not done
        }
        FDone = taken;
        FWritten.notify_all();
        // At the end, a piece more: a history of a usual run is left with
        // all of it in the index, and one that took a large burst is not
        // held up by it.
        if (stopping && FQueue.empty()) {
            lock.unlock();
            writer.IndexSome();
            return;
        }
        while (FQueue.empty() && !FStopping && !FFlushing) {
            lock.unlock();
            const bool more = writer.IndexSome();
            lock.lock();
            if (!more)
                break;
        }
    }
}

// Never a folder every user may write to: there, another could have put a
// link or a file of their own where the history goes.
std::string HistoryPathFor(const std::string& settingsFile, bool portable) {
    if (portable)
        return (std::filesystem::path(settingsFile).parent_path() / "sentrel-history.db").string();
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && *state == '/')
        return (std::filesystem::path(state) / "sentrel" / "history.db").string();
    if (home && *home == '/')
        return (std::filesystem::path(home) / ".local/state/sentrel" / "history.db").string();
    return ::geteuid() == 0 ? std::string(RootStateFolder) + "/history.db" : std::string();
}
