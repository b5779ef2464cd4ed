#include "platform/output/OutputWriter.h"

#include "platform/output/OutputSink.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
// How long the first of the lines that are ready waits for more; far below
// what a reader notices.
constexpr auto GatherTime = std::chrono::milliseconds(2);
// How long a stop waits for the writer's thread to end.
constexpr auto EndWait = 2 * TOutputSink::StopGrace;
} // namespace

struct TOutputWriter::TState {
    TState(int fd, std::size_t limit, THandlers handlers) : Limit(limit), Handlers(std::move(handlers)), Sink(fd) {}

    void Run();
    void End(const std::string& error);

    const std::size_t Limit;
    const THandlers Handlers;
    TOutputSink Sink;
    std::mutex Mutex;
    std::condition_variable Ready, Finished;
    std::string Queued;
    std::size_t InFlight = 0;
    TDropped Dropped;
    bool Stopping = false;
    bool Ended = false;
    // The thread has ended; the owner has gone without it.
    bool Done = false;
    bool Abandoned = false;
};

TOutputWriter::TOutputWriter(int fd, std::size_t limit, THandlers handlers)
    : FState(std::make_shared<TState>(fd, limit, std::move(handlers))) {
    FThread = std::thread([state = FState] {
        state->Run();
        std::lock_guard lock(state->Mutex);
        state->Done = true;
        state->Finished.notify_all();
    });
}

TOutputWriter::~TOutputWriter() {
    {
        std::lock_guard lock(FState->Mutex);
        FState->Stopping = true;
    }
    FState->Ready.notify_one();
    FState->Sink.Wake();
    std::unique_lock lock(FState->Mutex);
    if (FState->Finished.wait_for(lock, EndWait, [this] { return FState->Done; })) {
        lock.unlock();
        FThread.join();
        return;
    }
    FState->Abandoned = true;
    lock.unlock();
    FThread.detach();
}

bool TOutputWriter::Write(std::string_view lines, const std::string& folder) {
    bool wake = false;
    {
        std::lock_guard lock(FState->Mutex);
        if (FState->Ended)
            return false;
        if (!FState->Dropped.empty() || FState->Queued.size() + FState->InFlight + lines.size() > FState->Limit) {
            ++FState->Dropped[folder];
            return false;
        }
        wake = FState->Queued.empty() && FState->InFlight == 0;
        FState->Queued.append(lines);
    }
    if (wake)
        FState->Ready.notify_one();
    return true;
}

void TOutputWriter::TState::Run() {
    std::unique_lock lock(Mutex);
    std::string batch;
    for (;;) {
        Ready.wait(lock, [this] { return !Queued.empty() || Stopping; });
        if (Queued.empty())
            return;
        // Lines come in bursts: what follows the first one within a moment
        // goes out with it, in one write and one wake of this thread.
        Ready.wait_for(lock, GatherTime, [this] { return Stopping; });
        batch.swap(Queued);
        Queued.clear();
        InFlight = batch.size();
        lock.unlock();
        const bool written = Sink.WriteAll(
            batch,
            [this] {
                std::lock_guard stopLock(Mutex);
                return Stopping;
            },
            [this](const std::string& error) { End(error); });
        lock.lock();
        InFlight = 0;
        if (!written || Abandoned) {
            Ended = true;
            Queued.clear();
            return;
        }
        // Everything queued before the first dropped line is out: the gap
        // is said before anything after it.
        if (!Dropped.empty() && Queued.empty()) {
            Queued = Handlers.LostLines(Dropped);
            Dropped.clear();
        }
    }
}

void TOutputWriter::TState::End(const std::string& error) {
    std::lock_guard lock(Mutex);
    if (!Abandoned)
        Handlers.Ended(error);
}
