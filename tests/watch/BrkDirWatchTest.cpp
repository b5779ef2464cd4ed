#include "EngineTesting.h"

#include "platform/system/PlatformInfo.h"
#include "watch/BrkDirWatch.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TNotified {
    int Action;
    std::string FileName;
    friend bool operator==(const TNotified&, const TNotified&) = default;
};

std::ostream& operator<<(std::ostream& out, const TNotified& seen) {
    return out << "(" << seen.Action << ", " << seen.FileName << ")";
}

// A watch with its events recorded, on a folder that only a scripted
// reader pretends to watch until a test sets its own.
struct TRecordedWatch {
    TRecordedWatch() {
        Watch->SetDirectory("/scripted");
        Watch->SetOnChange([this](TBriskoDirWatch*) { ++Changes; });
        Watch->SetOnNotify([this](TBriskoDirWatch* watch, int action, const std::string& name) {
            Notified.push_back({action, name});
            ReadTimes.push_back(watch->NotifiedTime());
        });
        Watch->SetOnStatus([this](TBriskoDirWatch*, const TDirWatchStatus& status) { Statuses.push_back(status); });
    }

    bool WaitReady() {
        return ProcessEventsUntil([&] {
            return std::any_of(Statuses.begin(), Statuses.end(), [](const TDirWatchStatus& status) {
                return status.Kind == TDirWatchStatus::TKind::Ready;
            });
        });
    }

    bool WaitFor(const TNotified& expected) {
        return ProcessEventsUntil([&] { return std::count(Notified.begin(), Notified.end(), expected) > 0; });
    }

    std::unique_ptr<TBriskoDirWatch> Watch = std::make_unique<TBriskoDirWatch>();
    int Changes = 0;
    std::vector<TNotified> Notified;
    std::vector<int64_t> ReadTimes; // of the notified changes
    std::vector<TDirWatchStatus> Statuses;
};

int64_t NanosecondsNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A read of the test's making: each completed read delivers the next of
// Reads (records, or zero bytes), then the reader waits for ever.
struct TScriptedRead {
    std::vector<std::pair<uint32_t, std::u16string>> Records;
    bool Fails = false;
    std::optional<std::string> Raw = std::nullopt; // the buffer's bytes as they are, instead of Records
};

class TScriptedReader final : public TDirChangeReader {
public:
    TScriptedReader(std::vector<TScriptedRead> reads, int* readsStarted, bool refuse, bool waitFails)
        : FReads(std::move(reads)), FReadsStarted(readsStarted), FRefuse(refuse), FWaitFails(waitFails) {}

    bool ReadChanges(void* buffer, uint32_t, bool, uint32_t) override {
        ++*FReadsStarted;
        FBuffer = static_cast<char*>(buffer);
        return !FRefuse;
    }
    TWaitResult Wait(int timeoutMs) override {
        if (FWaitFails)
            return TWaitResult::Failed;
        if (FNext < FReads.size())
            return TWaitResult::Signalled;
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return TWaitResult::TimedOut;
    }
    bool GetResult(uint32_t& bytes) override {
        const TScriptedRead& read = FReads[FNext++];
        if (read.Raw) {
            std::memcpy(FBuffer, read.Raw->data(), read.Raw->size());
            bytes = static_cast<uint32_t>(read.Raw->size());
            return true;
        }
        bytes = 0;
        FILE_NOTIFY_INFORMATION* previous = nullptr;
        for (const auto& [action, name] : read.Records) {
            auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(FBuffer + bytes);
            record->NextEntryOffset = 0;
            record->Action = action;
            record->FileNameLength = static_cast<uint32_t>(name.size() * 2);
            std::memcpy(record->FileName, name.data(), name.size() * 2);
            if (previous)
                previous->NextEntryOffset =
                    static_cast<uint32_t>(reinterpret_cast<char*>(record) - reinterpret_cast<char*>(previous));
            previous = record;
            bytes += (12 + record->FileNameLength + 3) & ~3u;
        }
        return !read.Fails;
    }
    bool TakeNotice(TWatchNotice&) override { return false; }
    void Interrupt() override {}

private:
    std::vector<TScriptedRead> FReads;
    size_t FNext = 0;
    int* FReadsStarted;
    bool FRefuse;
    bool FWaitFails;
    char* FBuffer = nullptr;
};

// Makes every watch of the test read the given script.
struct TScript {
    explicit TScript(std::vector<TScriptedRead> reads, bool refuse = false, bool waitFails = false) {
        SetDirChangeReaderFactory([=, this](const std::string&, TOpenFailure&) {
            return std::make_unique<TScriptedReader>(reads, &ReadsStarted, refuse, waitFails);
        });
    }
    ~TScript() { SetDirChangeReaderFactory(nullptr); }
    int ReadsStarted = 0;
};

} // namespace

TEST(BrkDirWatch, NewWatchHasItsDefaults) {
    TBriskoDirWatch watch;
    EXPECT_FALSE(watch.Enabled());
    EXPECT_EQ(watch.Options(), TDirWatchOptions::All());
    EXPECT_EQ(watch.GetNotifyFilter(), 0x17Fu);
    EXPECT_TRUE(watch.WatchSubTree());
    EXPECT_EQ(watch.Directory(), std::string(".") + PathDelim);
    TDirWatchOptions none;
    watch.SetOptions(none);
    EXPECT_EQ(watch.GetNotifyFilter(), 0u);
    EXPECT_STREQ(FileActionNames[4], "FILE_ACTION_RENAMED_OLD_NAME");
}

TEST(BrkDirWatch, RefusedOutsideTheNtFamily) {
    OverridePlatformId(VER_PLATFORM_WIN32_WINDOWS);
    try {
        TBriskoDirWatch watch;
        ADD_FAILURE() << "constructed";
    } catch (const EDirWatchError& error) {
        EXPECT_EQ(error.Message(), "TBriskoDirWatch requires MS Windows NT Version 4 or higher");
    }
    OverridePlatformId(std::nullopt);
}

// Letter case tells folders apart where the system's names do: on Linux
// /a/Sub and /a/sub are two, on Windows one.
TEST(BrkDirWatch, DirectoryIsTrimmedAndComparedAsThisSystemComparesPaths) {
    const bool caseTellsApart = !SamePath("A", "a");
    TTempDir dir;
    TRecordedWatch recorded;
    TBriskoDirWatch& watch = *recorded.Watch;
    watch.SetDirectory("  " + dir.Path() + "/Sub \t");
    EXPECT_EQ(watch.Directory(), dir.Path() + "/Sub");
    EXPECT_EQ(recorded.Changes, 1);
    watch.SetDirectory(dir.Path() + "/Sub");
    EXPECT_EQ(recorded.Changes, 1) << "the same folder again changes nothing";
    watch.SetDirectory(dir.Path() + "/sUB");
    EXPECT_EQ(watch.Directory(), dir.Path() + (caseTellsApart ? "/sUB" : "/Sub"));
    EXPECT_EQ(recorded.Changes, caseTellsApart ? 2 : 1);
    watch.SetDirectory("");
    EXPECT_EQ(watch.Directory(), std::string(".") + PathDelim);
}

// Blanks are legal in names here: " pad " and "pad" are two folders.
TEST(BrkDirWatch, TrimmingNeverTurnsOneFolderIntoAnother) {
#ifdef _WIN32
    GTEST_SKIP() << "Linux only: Windows takes the blanks off the end of every name, so \" pad \" cannot be made";
#endif
    TTempDir dir;
    dir.MakeDir(" pad ");
    dir.MakeDir("pad");
    dir.MakeDir("only");
    TRecordedWatch recorded;
    TBriskoDirWatch& watch = *recorded.Watch;
    watch.SetDirectory(dir / " pad ");
    EXPECT_EQ(watch.Directory(), dir / " pad ");
    watch.SetDirectory(dir / "only ");
    EXPECT_EQ(watch.Directory(), dir / "only") << "trimmed where only the trimmed folder exists";
}

TEST(BrkDirWatch, OnChangeCountsPerOperation) {
    TTempDir dir;
    TRecordedWatch recorded;
    TBriskoDirWatch& watch = *recorded.Watch;
    watch.SetDirectory(dir.Path());
    watch.SetEnabled(true);
    watch.SetEnabled(true);
    EXPECT_EQ(recorded.Changes, 2) << "one for the folder, one for enabling once";
    TDirWatchOptions names;
    names.Include(dw_file_name);
    watch.SetOptions(names);
    EXPECT_EQ(recorded.Changes, 5) << "disable, enable, the change";
    EXPECT_TRUE(watch.Enabled());
    watch.SetOptions(names);
    watch.SetWatchSubTree(true);
    EXPECT_EQ(recorded.Changes, 5);
    recorded.Watch.reset();
    EXPECT_EQ(recorded.Changes, 6) << "destroying an enabled watch disables it";
}

TEST(BrkDirWatch, MovingAnEnabledWatchToAFolderThatCannotBeOpened) {
    TTempDir dir;
    TRecordedWatch recorded;
    TBriskoDirWatch& watch = *recorded.Watch;
    watch.SetDirectory(dir.Path());
    watch.SetEnabled(true);
    recorded.Changes = 0;
    const std::string missing = dir / "missing";
    try {
        watch.SetDirectory(missing);
        ADD_FAILURE() << "no error";
    } catch (const EDirWatchError& error) {
        EXPECT_EQ(error.Message(), "Could not open directory \"" + missing + "\"\r\nError code: 2");
    }
    EXPECT_EQ(watch.Directory(), missing);
    EXPECT_FALSE(watch.Enabled());
    EXPECT_EQ(recorded.Changes, 1);
}

TEST(BrkDirWatch, ChangesArriveOnTheMainThreadInOrderWithRelativeNames) {
    KNOWN_WINE_DIFFERENCE(WineSubTreeGap);
    TTempDir dir;
    dir.MakeDir("sub");
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(dir.Path());
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(recorded.WaitReady());
    dir.WriteFile("sub/a.txt");
    fs::rename(dir / "sub/a.txt", dir / "sub/b.txt");
    fs::remove(dir / "sub/b.txt");
    ASSERT_TRUE(recorded.WaitFor({2, SystemName("sub/b.txt")}));
    std::vector<TNotified> names;
    for (const auto& seen : recorded.Notified)
        if (seen.Action != 3)
            names.push_back(seen);
    const std::string a = SystemName("sub/a.txt"), b = SystemName("sub/b.txt");
    EXPECT_EQ(names, (std::vector<TNotified>{{1, a}, {4, a}, {5, b}, {2, b}}));
#ifdef _WIN32
    EXPECT_EQ(recorded.Statuses.back().FolderCount, 0u) << "the system watches the tree as one";
    EXPECT_EQ(recorded.Statuses.back().Mechanism, "ReadDirectoryChangesW");
#else
    if (FanotifyServes(dir.Path())) {
        EXPECT_EQ(recorded.Statuses.back().FolderCount, 0u) << "one mark for the whole file system counts no folders";
        EXPECT_EQ(recorded.Statuses.back().Mechanism, "fanotify");
    } else {
        EXPECT_EQ(recorded.Statuses.back().FolderCount, 2u);
        EXPECT_EQ(recorded.Statuses.back().Mechanism.rfind("inotify", 0), 0u) << recorded.Statuses.back().Mechanism;
    }
#endif
}

// A watch tells when every change is reported. With one mark for a whole
// file system that is at once, long before the names of a large tree's
// folders are cached; with a watch per folder, when the last is set.
TEST(BrkDirWatch, EveryChangeIsReportedOnceTheWatchSaysItIsCovered) {
    KNOWN_WINE_DIFFERENCE(WineSubTreeGap);
    TTempDir dir;
    for (int top = 0; top < 100; ++top)
        for (int below = 0; below < 200; ++below)
            fs::create_directories(dir / ("t" + std::to_string(top) + "/f" + std::to_string(below)));
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(dir.Path());
    recorded.Watch->SetEnabled(true);
    const auto positionOf = [&](TDirWatchStatus::TKind kind) {
        return std::find_if(recorded.Statuses.begin(), recorded.Statuses.end(),
                            [&](const TDirWatchStatus& status) { return status.Kind == kind; }) -
               recorded.Statuses.begin();
    };
    const auto told = [&](TDirWatchStatus::TKind kind) {
        return positionOf(kind) < static_cast<std::ptrdiff_t>(recorded.Statuses.size());
    };
    ASSERT_TRUE(ProcessEventsUntil([&] { return told(TDirWatchStatus::TKind::Covered); }));
    // At once, whatever is still being named: covered means covered.
    dir.WriteFile("t99/f199/deep.txt");
    EXPECT_TRUE(recorded.WaitFor({1, SystemName("t99/f199/deep.txt")}));
    ASSERT_TRUE(ProcessEventsUntil([&] { return told(TDirWatchStatus::TKind::Ready); }));
    EXPECT_LT(positionOf(TDirWatchStatus::TKind::Covered), positionOf(TDirWatchStatus::TKind::Ready));
}

TEST(BrkDirWatch, AWatchWithoutAFolderIsRefusedAndNeverWatchesTheCurrentFolder) {
    for (const char* folder : {"", "   "}) {
        TRecordedWatch recorded;
        recorded.Watch->SetDirectory(folder);
        recorded.Changes = 0;
        try {
            recorded.Watch->SetEnabled(true);
            ADD_FAILURE() << "enabled on \"" << folder << '"';
        } catch (const EDirWatchError& error) {
            EXPECT_EQ(error.Message(), "No folder is set for this watch");
        }
        EXPECT_FALSE(recorded.Watch->Enabled());
        EXPECT_EQ(recorded.Changes, 0);
    }
}

TEST(BrkDirWatch, EmptyOptionsAreRefusedByTheSystemAndTheWatchDisablesItself) {
    TTempDir dir;
    TakeErrorBoxes();
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(dir.Path());
    recorded.Watch->SetOptions({});
    recorded.Watch->SetEnabled(true);
    recorded.Changes = 0;
    ASSERT_TRUE(ProcessEventsUntil([&] { return !recorded.Watch->Enabled(); }));
    ProcessEventsFor(200ms);
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"ReadDirectoryChanges call failed.\r\nFolder: \"" +
                                                         dir.Path() + "\"\r\nNo kind of change is selected."});
    EXPECT_EQ(recorded.Changes, 1);
}

TEST(BrkDirWatch, WatchedFolderDeletedReportsOnceAndDisables) {
    KNOWN_WINE_DIFFERENCE(WineRemovalGap);
    TTempDir parent;
    parent.MakeDir("watched");
    TakeErrorBoxes();
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(parent / "watched");
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(recorded.WaitReady());
    fs::remove(parent / "watched");
    ASSERT_TRUE(ProcessEventsUntil([&] { return !recorded.Watch->Enabled(); }));
    ProcessEventsFor(300ms);
#ifdef _WIN32
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"GetOverlappedResult call failed\r\nFolder: \"" +
                                                         parent / "watched" + "\"\r\nThe folder was removed."});
#else
    EXPECT_EQ(TakeErrorBoxes(),
              std::vector<std::string>{"The folder was removed.\r\nFolder: \"" + parent / "watched" + "\""})
        << "no call of Windows' was made: what happened is said";
#endif
}

// Each carries the time it was read, however late the main thread gets to it.
TEST(BrkDirWatch, RecordsOfOneReadArriveInBufferOrder) {
    TScript script({{{{1, u"a"}, {3, u""}, {4, u"dir/\u00e9"}, {5, u"dir/e"}, {9, u"odd"}}}});
    TRecordedWatch recorded;
    const int64_t enabled = NanosecondsNow();
    recorded.Watch->SetEnabled(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the main thread busy elsewhere
    const int64_t handled = NanosecondsNow();
    ASSERT_TRUE(ProcessEventsUntil([&] { return recorded.Notified.size() == 5; }));
    EXPECT_EQ(recorded.Notified,
              (std::vector<TNotified>{{1, "a"}, {3, ""}, {4, "dir/\xc3\xa9"}, {5, "dir/e"}, {9, "odd"}}));
    EXPECT_EQ(std::count(recorded.ReadTimes.begin(), recorded.ReadTimes.end(), recorded.ReadTimes[0]), 5);
    EXPECT_GE(recorded.ReadTimes[0], enabled);
    EXPECT_LT(recorded.ReadTimes[0], handled);
    EXPECT_EQ(recorded.Watch->NotifiedTime(), 0) << "outside OnNotify";
}

TEST(BrkDirWatch, ZeroByteReadIsReportedAsLostChanges) {
    TScript script({{{}}, {{{1, u"after"}}}});
    TRecordedWatch recorded;
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(recorded.WaitFor({1, "after"}));
    ASSERT_FALSE(recorded.Statuses.empty());
    EXPECT_EQ(recorded.Statuses.front().Kind, TDirWatchStatus::TKind::ChangesLost);
    EXPECT_TRUE(recorded.Watch->Enabled());
}

TEST(BrkDirWatch, AFailedReadIsReportedOnceAndNoReadFollows) {
    TScript script({{{{1, u"before"}}}, {{}, true}});
    TakeErrorBoxes();
    TRecordedWatch recorded;
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !recorded.Watch->Enabled(); }));
    EXPECT_EQ(recorded.Notified, (std::vector<TNotified>{{1, "before"}}));
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"GetOverlappedResult call failed\r\nFolder: \"/scripted\""});
    EXPECT_EQ(script.ReadsStarted, 2);
}

TEST(BrkDirWatch, AFailedWaitEndsTheReadingWithoutASecondRead) {
    TScript script({}, false, true);
    TakeErrorBoxes();
    TRecordedWatch recorded;
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !recorded.Watch->Enabled(); }));
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"WaitForSingleObject call failed\r\nFolder: \"/scripted\""});
    EXPECT_EQ(script.ReadsStarted, 1);
}

TEST(BrkDirWatch, ErrorAfterTheWatchWasDisabledIsStillRaisedButStopsNothing) {
    TScript script({{{}, true}});
    TakeErrorBoxes();
    TRecordedWatch recorded;
    recorded.Watch->SetEnabled(true);
    std::this_thread::sleep_for(200ms); // the failure is posted, not yet handled
    recorded.Watch->SetEnabled(false);
    recorded.Changes = 0;
    ProcessEventsFor(200ms);
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"GetOverlappedResult call failed\r\nFolder: \"/scripted\""});
    EXPECT_EQ(recorded.Changes, 0);
}

// A twin watch started with the one stopped is left alone: its news,
// handled in the same turn of the loop, shows that there was news pending.
TEST(BrkDirWatch, SetUpNewsOfAStoppedWorkerIsDropped) {
    TTempDir dir;
    TRecordedWatch recorded, twin;
    for (TRecordedWatch* watch : {&recorded, &twin}) {
        watch->Watch->SetDirectory(dir.Path());
        watch->Watch->SetEnabled(true);
    }
    std::this_thread::sleep_for(300ms); // their "ready" is posted, not yet handled
    recorded.Watch->SetEnabled(false);
    ProcessEventsFor(200ms);
    ASSERT_FALSE(twin.Statuses.empty()) << "no news was pending: the test proved nothing";
    EXPECT_TRUE(recorded.Statuses.empty()) << "a paused watch is not shown as ready";
    recorded.Watch->SetEnabled(true);
    EXPECT_TRUE(recorded.WaitReady()) << "its next worker's news arrives";
}

TEST(BrkDirWatch, StoppingAQuietWatchIsPrompt) {
    TTempDir dir;
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(dir.Path());
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(recorded.WaitReady());
    auto start = std::chrono::steady_clock::now();
    recorded.Watch->SetEnabled(false);
    // A generous bound: this catches a stop that hangs, not a slow machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(BrkDirWatch, ChangesPostedBeforeADisableAreStillDelivered) {
    TTempDir dir;
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(dir.Path());
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(recorded.WaitReady());
    dir.WriteFile("late.txt");
    std::this_thread::sleep_for(300ms);
    recorded.Watch->SetEnabled(false);
    EXPECT_TRUE(recorded.WaitFor({1, "late.txt"}));
}

// Asked right after a burst, the answer comes behind every change of it,
// however far behind the worker is; on Windows the system cannot tell, and
// the answer comes behind what was handed over. A watch stopped before it
// could answer answers all the same, as does one that is not running.
TEST(BrkDirWatch, WhenDeliveredAnswersBehindEveryChangeMadeBeforeTheAsk) {
    TTempDir dir;
    TRecordedWatch recorded;
    recorded.Watch->SetDirectory(dir.Path());
    recorded.Watch->SetEnabled(true);
    ASSERT_TRUE(recorded.WaitReady());
    constexpr int Burst = 3000;
    for (int i = 0; i < Burst; ++i)
        dir.WriteFile("f" + std::to_string(i));
    std::optional<size_t> addedAtAnswer;
    recorded.Watch->WhenDelivered([&] {
        addedAtAnswer = std::count_if(recorded.Notified.begin(), recorded.Notified.end(),
                                      [](const TNotified& seen) { return seen.Action == 1; });
    });
    ASSERT_TRUE(ProcessEventsUntil([&] { return addedAtAnswer.has_value(); }, 60s));
#ifndef _WIN32
    EXPECT_EQ(*addedAtAnswer, size_t{Burst});
#endif
    int answered = 0;
    dir.WriteFile("more");
    recorded.Watch->WhenDelivered([&] { ++answered; });
    recorded.Watch->SetEnabled(false);
    recorded.Watch->WhenDelivered([&] { ++answered; });
    EXPECT_TRUE(ProcessEventsUntil([&] { return answered == 2; }));
}

// As above, a twin left alone shows that changes were pending when the
// other was destroyed.
TEST(BrkDirWatch, NothingIsDeliveredAfterDestruction) {
    TTempDir dir;
    int notified = 0;
    auto watch = std::make_unique<TBriskoDirWatch>();
    watch->SetOnNotify([&](TBriskoDirWatch*, int, const std::string&) { ++notified; });
    TRecordedWatch twin;
    for (TBriskoDirWatch* each : {watch.get(), twin.Watch.get()}) {
        each->SetDirectory(dir.Path());
        each->SetEnabled(true);
    }
    ASSERT_TRUE(twin.WaitReady());
    ProcessEventsFor(200ms); // the other's news of its start, before any change
    notified = 0;
    for (int i = 0; i < 50; ++i)
        dir.WriteFile("f" + std::to_string(i));
    std::this_thread::sleep_for(300ms);
    watch.reset();
    ProcessEventsFor(200ms);
    ASSERT_FALSE(twin.Notified.empty()) << "no change was pending: the test proved nothing";
    EXPECT_EQ(notified, 0);
}

namespace {
// A record header of a raw buffer: next offset, action, name length.
std::string RawHeader(uint32_t next, uint32_t action, uint32_t nameLength) {
    std::string bytes(12, '\0');
    std::memcpy(bytes.data(), &next, 4);
    std::memcpy(bytes.data() + 4, &action, 4);
    std::memcpy(bytes.data() + 8, &nameLength, 4);
    return bytes;
}
} // namespace

// Buffers no well-behaved reader makes: each ends the read with an assertion
// failure, and nothing is read from beyond the delivered bytes.
TEST(BrkDirWatch, AMalformedRecordBufferEndsTheReadAndDeliversNothing) {
    std::string nextAtTheVeryEnd = RawHeader(WatchBufferSize - 4, 1, 2) + "a";
    nextAtTheVeryEnd.resize(WatchBufferSize, '\0');
    std::string misaligned = RawHeader(13, 1, 2) + "a";
    misaligned.resize(64, '\0');
    const std::vector<std::pair<const char*, std::string>> buffers = {
        {"a read of one byte", std::string(1, '\0')},
        {"the next record's header past the end", nextAtTheVeryEnd},
        {"the next record at an odd place", misaligned},
        {"a name longer than the read", RawHeader(0, 1, 200)},
    };
    for (const auto& [what, raw] : buffers) {
        TScriptedRead read;
        read.Raw = raw;
        TScript script({read});
        TakeErrorBoxes();
        TRecordedWatch recorded;
        recorded.Watch->SetEnabled(true);
        ASSERT_TRUE(ProcessEventsUntil([&] { return !recorded.Watch->Enabled(); })) << what;
        const auto boxes = TakeErrorBoxes();
        ASSERT_EQ(boxes.size(), 1u) << what;
        EXPECT_EQ(boxes[0].rfind("Assertion failure (BrkDirWatch, line ", 0), 0u) << what << ": " << boxes[0];
        EXPECT_TRUE(recorded.Notified.empty()) << what;
    }
}
