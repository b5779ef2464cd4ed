#include "platform/OutputWriter.h"

#include "platform/OutputSink.h"

#include <chrono>

namespace {
// How long the first of the lines that are ready waits for more; far below
// what a reader notices.
constexpr auto GatherTime = std::chrono::milliseconds(2);
} // namespace

TOutputWriter::TOutputWriter(int fd, std::size_t limit, THandlers handlers)
    : FLimit(limit), FHandlers(std::move(handlers)), FSink(std::make_unique<TOutputSink>(fd)) {
    FThread = std::thread([this] { Run(); });
}

TOutputWriter::~TOutputWriter() {
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
    }
    FReady.notify_one();
    FSink->Wake();
    FThread.join();
}

bool TOutputWriter::Write(std::string_view lines, const std::string& folder) {
    bool wake = false;
    {
        std::lock_guard lock(FMutex);
        if (FEnded)
            return false;
        if (!FDropped.empty() || FQueued.size() + FInFlight + lines.size() > FLimit) {
            ++FDropped[folder];
            return false;
        }
        wake = FQueued.empty() && FInFlight == 0;
        FQueued.append(lines);
    }
    if (wake)
        FReady.notify_one();
    return true;
}

void TOutputWriter::Run() {
    std::unique_lock lock(FMutex);
    std::string batch;
    for (;;) {
        FReady.wait(lock, [this] { return !FQueued.empty() || FStopping; });
        if (FQueued.empty())
            return;
        // Lines come in bursts: what follows the first one within a moment
        // goes out with it, in one write and one wake of this thread.
        FReady.wait_for(lock, GatherTime, [this] { return FStopping; });
        batch.swap(FQueued);
        FQueued.clear();
        FInFlight = batch.size();
        lock.unlock();
        const bool written = FSink->WriteAll(
            batch, [this] { return Stopping(); }, FHandlers.Ended);
        lock.lock();
        FInFlight = 0;
        if (!written) {
            FEnded = true;
            FQueued.clear();
            return;
        }
        // Everything queued before the first dropped line is out: the gap
        // is said before anything after it.
        if (!FDropped.empty() && FQueued.empty()) {
            FQueued = FHandlers.LostLines(FDropped);
            FDropped.clear();
        }
    }
}

bool TOutputWriter::Stopping() {
    std::lock_guard lock(FMutex);
    return FStopping;
}
