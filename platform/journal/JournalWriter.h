#pragma once

// Sends entries to the system journal from a thread of its own, so that a
// journal that is slow to take them never holds up the watches, at a rate
// the journal keeps: journald drops a service's entries above its rate
// limit without a word to the sender (by default 10,000 in 30 s), so past
// PerSecond changes in one second the rest of that second's changes go as
// one summary entry per folder instead, and nothing is lost unsaid.
#include "platform/journal/SystemJournal.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Which changes of a second are sent one by one: the first perSecond of
// all folders together; the others are counted per folder.
class TJournalRate {
public:
    explicit TJournalRate(std::size_t perSecond) : FPerSecond(perSecond) {}
    // Whether one more change of folder, made in second, is sent; else it
    // is counted.
    bool Admit(const std::string& folder, int64_t second);
    // Counts changes of folder withheld in second without asking.
    void Withhold(const std::string& folder, uint64_t count, int64_t second);
    // The counts of the seconds before second, per folder, given once.
    std::map<std::string, uint64_t> Withheld(int64_t second);
    // When the counts kept now are due, if any are.
    std::optional<int64_t> DueAt() const;

private:
    const std::size_t FPerSecond;
    int64_t FSecond = 0;
    std::size_t FSent = 0;
    std::map<std::string, uint64_t> FWithheld;
    int64_t FWithheldSince = 0;
};

class TJournalWriter {
public:
    // Both run on the writer's thread and must raise nothing.
    struct THandlers {
        // The entry that stands for count changes under folder.
        std::function<TJournalEntry(const std::string& folder, uint64_t count)> Summary;
        // Once, when an entry could not be sent: the system's reason. Nothing
        // is sent after it.
        std::function<void(const std::string& error)> Failed;
    };

    // perSecond: see TJournalRate; queued: entries waiting past which
    // changes are counted instead (a journal that takes nothing for a
    // while costs a bounded amount of memory).
    TJournalWriter(std::size_t perSecond, std::size_t queued, THandlers handlers);
    // Sends what is queued, then the summaries still due.
    ~TJournalWriter();
    TJournalWriter(const TJournalWriter&) = delete;
    TJournalWriter& operator=(const TJournalWriter&) = delete;

    // A change under folder: sent, or counted at the rate's limit.
    void SendChange(TJournalEntry entry, const std::string& folder);
    // A note (changes lost, a folder not watched): always sent.
    void SendNote(TJournalEntry entry);

private:
    struct TQueued {
        TJournalEntry Entry;
        std::string Folder; // empty for a note
        int64_t Second = 0;
    };
    void Queue(TQueued queued);
    void Run();
    void Send(const TJournalEntry& entry);

    TJournalRate FRate;
    const std::size_t FQueuedLimit;
    const THandlers FHandlers;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TQueued> FQueue;
    bool FStop = false;
    bool FFailed = false; // the writer's thread alone
    std::thread FThread;
};
