#include "platform/processes/ProcessListener.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>

namespace {
using TKind = TProcessEvent::TKind;

// One event of a script, with what a look at its process finds.
struct TScripted {
    TKind Kind;
    int Pid;
    uint64_t Inode = 0;       // 0: the look found nothing
    const char* Command = ""; // the name the look read
    bool StillRunning = false;
};

// One Receive: its events, or events lost.
struct TBatch {
    std::vector<TScripted> Events;
    bool Lost = false;
};

class TScriptedEvents final : public TProcessEventSource {
public:
    explicit TScriptedEvents(std::vector<TBatch> batches) : FBatches(batches.begin(), batches.end()) {}
    int Descriptor() const override { return -1; }
    bool Receive(std::vector<TProcessEvent>& events) override {
        if (FBatches.empty())
            return true;
        const TBatch batch = FBatches.front();
        FBatches.pop_front();
        for (const TScripted& event : batch.Events) {
            events.push_back({event.Kind, event.Pid});
            FLooks.push_back(event);
        }
        return !batch.Lost;
    }
    TProcessLook Look(const TProcessEvent&) override {
        const TScripted event = FLooks.front();
        FLooks.pop_front();
        TProcessLook look;
        look.StillRunning = event.StillRunning;
        if (event.Inode != 0) {
            look.Valid = true;
            look.Inode = event.Inode;
            auto process = std::make_shared<TChangeProcess>();
            process->Pid = event.Pid;
            process->Named = true;
            process->Command = event.Command;
            look.Process = process;
        }
        return look;
    }

private:
    std::deque<TBatch> FBatches;
    std::deque<TScripted> FLooks;
};

std::string NameOf(const TProcessRef& process) {
    return process ? process->Command : "(none)";
}
} // namespace

// What the listener names, from the process events it took and what it
// found when it looked at each process: never a guess where a number may
// have gone to another process.
TEST(ProcessListener, NamesAProcessOnlyWhereItCanBeNoOther) {
    using TAsk = std::function<TProcessRef(TProcessNamer::TListener&, size_t reader)>;
    const auto ended = [](int pid, uint64_t mark) -> TAsk {
        return [=](TProcessNamer::TListener& listener, size_t) { return listener.Ended(pid, mark); };
    };
    const auto byInode = [](uint64_t inode) -> TAsk {
        return [=](TProcessNamer::TListener& listener, size_t) { return listener.ByInode(inode); };
    };
    struct TCase {
        const char* What;
        std::vector<TBatch> Batches;
        TAsk Ask;
        std::string Named;
    };
    const std::vector<TCase> cases = {
        {"an ended process, by the program it started last",
         {{{{TKind::Fork, 100, 1, "sh"}, {TKind::Exec, 100, 1, "touch"}, {TKind::Exit, 100}}}},
         ended(100, 0),
         "touch"},
        {"a running process, by its pidfd's inode",
         {{{{TKind::Fork, 100, 7, "sh"}, {TKind::Exec, 100, 7, "make"}}}},
         byInode(7),
         "make"},
        {"a number that ended twice since the reader's mark names neither",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exit, 100}}}, {{{TKind::Fork, 100, 2, "b"}, {TKind::Exit, 100}}}},
         ended(100, 0),
         "(none)"},
        {"the later of the two, once the reader read past the first's end",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exit, 100}}}, {{{TKind::Fork, 100, 2, "b"}, {TKind::Exit, 100}}}},
         ended(100, 1),
         "b"},
        {"a look made when the number was already made anew is not trusted",
         {{{{TKind::Fork, 100, 2, "b"}, {TKind::Exit, 100}}}, {{{TKind::Fork, 100}}}},
         ended(100, 0),
         "(none)"},
        {"a program's start whose look found another process forgets the name",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exec, 100, 2, "b"}}}},
         byInode(1),
         "(none)"},
        {"a main thread's end while other threads go on ends nothing",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exit, 100, 0, "", true}}}},
         byInode(1),
         "a"},
        {"nor is it named as ended",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exit, 100, 0, "", true}}}},
         ended(100, 0),
         "(none)"},
        {"lost events forget what was known",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exit, 100}}}, {{}, true}},
         ended(100, 0),
         "(none)"},
        {"an ended process no reader can still have events of is dropped",
         {{{{TKind::Fork, 100, 1, "a"}, {TKind::Exit, 100}}}},
         [](TProcessNamer::TListener& listener, size_t reader) {
             listener.ByInode(0); // takes the events in
             listener.SetMark(reader, listener.EndSerial());
             return listener.Ended(100, 0);
         },
         "(none)"},
        {"a process first seen at its end is no one",
         {{{{TKind::Exit, 100}}}},
         ended(100, 0),
         "(none)"},
    };
    for (const TCase& test : cases) {
        TProcessNamer::TListener listener(std::make_unique<TScriptedEvents>(test.Batches));
        uint64_t mark = 0;
        const size_t reader = listener.Register(mark);
        EXPECT_EQ(NameOf(test.Ask(listener, reader)), test.Named) << test.What;
    }
}
