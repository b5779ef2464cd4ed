#include "platform/journal/JournalWriter.h"

#include <chrono>
#include <limits>
#include <utility>
#include <vector>

namespace {
using TClock = std::chrono::steady_clock;

int64_t SecondNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(TClock::now().time_since_epoch()).count();
}
} // namespace

bool TJournalRate::Admit(const std::string& folder, int64_t second) {
    if (second != FSecond) {
        FSecond = second;
        FSent = 0;
    }
    if (FSent < FPerSecond) {
        ++FSent;
        return true;
    }
    Withhold(folder, 1, second);
    return false;
}

void TJournalRate::Withhold(const std::string& folder, uint64_t count, int64_t second) {
    if (FWithheld.empty())
        FWithheldSince = second;
    FWithheld[folder] += count;
}

std::map<std::string, uint64_t> TJournalRate::Withheld(int64_t second) {
    if (FWithheld.empty() || FWithheldSince >= second)
        return {};
    return std::exchange(FWithheld, {});
}

std::optional<int64_t> TJournalRate::DueAt() const {
    if (FWithheld.empty())
        return std::nullopt;
    return FWithheldSince + 1;
}

TJournalWriter::TJournalWriter(std::size_t perSecond, std::size_t queued, THandlers handlers)
    : FRate(perSecond), FQueuedLimit(queued), FHandlers(std::move(handlers)), FThread([this] { Run(); }) {}

TJournalWriter::~TJournalWriter() {
    {
        const std::lock_guard lock(FLock);
        FStop = true;
    }
    FWake.notify_one();
    FThread.join();
}

void TJournalWriter::SendChange(TJournalEntry entry, const std::string& folder) {
    Queue({std::move(entry), folder, SecondNow()});
}

void TJournalWriter::SendNote(TJournalEntry entry) {
    Queue({std::move(entry), {}, SecondNow()});
}

// A full queue counts a change rather than keep it; a note is kept.
void TJournalWriter::Queue(TQueued queued) {
    {
        const std::lock_guard lock(FLock);
        if (FQueue.size() >= FQueuedLimit && !queued.Folder.empty()) {
            FRate.Withhold(queued.Folder, 1, queued.Second);
            return;
        }
        FQueue.push_back(std::move(queued));
    }
    FWake.notify_one();
}

// Entries are taken from the queue and weighed against the rate under the
// lock, and sent without it; counts are summed up once their second is
// over, and all of them at the stop.
void TJournalWriter::Run() {
    std::unique_lock lock(FLock);
    for (;;) {
        if (FQueue.empty() && !FStop) {
            if (const std::optional<int64_t> due = FRate.DueAt())
                FWake.wait_until(lock, TClock::time_point(std::chrono::seconds(*due)));
            else
                FWake.wait(lock);
        }
        const bool stopping = FStop;
        std::deque<TQueued> batch = std::exchange(FQueue, {});
        std::vector<TJournalEntry> entries;
        for (TQueued& queued : batch)
            if (queued.Folder.empty() || FRate.Admit(queued.Folder, queued.Second))
                entries.push_back(std::move(queued.Entry));
        const auto withheld = FRate.Withheld(stopping ? std::numeric_limits<int64_t>::max() : SecondNow());
        lock.unlock();
        for (const TJournalEntry& entry : entries)
            Send(entry);
        for (const auto& [folder, count] : withheld)
            Send(FHandlers.Summary(folder, count));
        lock.lock();
        if (stopping && FQueue.empty() && !FRate.DueAt())
            return;
    }
}

void TJournalWriter::Send(const TJournalEntry& entry) {
    if (FFailed)
        return;
    const std::string error = SendToJournal(entry);
    if (error.empty())
        return;
    FFailed = true;
    FHandlers.Failed(error);
}
