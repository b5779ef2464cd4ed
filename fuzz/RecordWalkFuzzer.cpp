// A read's change records, as any reader might pack them, walked by the
// watch's own worker and delivered through its message window: a well-formed
// buffer gives exactly its records, in order; any other ends the read with
// an assertion failure and delivers nothing.
#include "FuzzSupport.h"

#include "platform/changes/DirChanges.h"
#include "platform/system/TextConversion.h"
#include "watch/BrkDirWatch.h"

#include <QCoreApplication>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

struct TRecord {
    int Action;
    std::string Name;
    bool Folder = false;
    friend bool operator==(const TRecord&, const TRecord&) = default;
};

uint32_t Word(const std::string& buffer, size_t at) {
    uint32_t value;
    std::memcpy(&value, buffer.data() + at, sizeof value);
    return value;
}

// The records a well-formed buffer holds; nothing when it is malformed.
std::optional<std::vector<TRecord>> ExpectedRecords(const std::string& buffer) {
    std::vector<TRecord> records;
    for (size_t at = 0;;) {
        if (buffer.size() - at < 12)
            return std::nullopt;
        const uint32_t next = Word(buffer, at), action = Word(buffer, at + 4), length = Word(buffer, at + 8);
        if (length > buffer.size() - at - 12)
            return std::nullopt;
        std::u16string name(length / 2, u'\0');
        std::memcpy(name.data(), buffer.data() + at + 12, name.size() * 2);
        records.push_back({static_cast<int>(action & ~FileActionFolderFlag), WideToLocal8(name),
                           (action & FileActionFolderFlag) != 0});
        if (next == 0)
            return records;
        // Windows starts records on 32-bit boundaries, Wine on 16-bit ones:
        // the watch takes both.
        if (next % 2 != 0 || next >= buffer.size() - at)
            return std::nullopt;
        at += next;
    }
}

// Delivers the input as one completed read, then waits until stopped.
class TOneReadReader final : public TDirChangeReader {
public:
    explicit TOneReadReader(std::string bytes) : FBytes(std::move(bytes)) {}
    bool ReadChanges(void* buffer, uint32_t, bool, uint32_t) override {
        FBuffer = static_cast<char*>(buffer);
        return true;
    }
    TWaitResult Wait(int timeoutMs) override {
        if (!FDelivered)
            return TWaitResult::Signalled;
        std::unique_lock lock(FMutex);
        FStop.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FInterrupted; });
        return TWaitResult::TimedOut;
    }
    bool GetResult(uint32_t& bytes) override {
        std::memcpy(FBuffer, FBytes.data(), FBytes.size());
        bytes = static_cast<uint32_t>(FBytes.size());
        FDelivered = true;
        return true;
    }
    bool TakeNotice(TWatchNotice&) override { return false; }
    void Interrupt() override {
        std::lock_guard lock(FMutex);
        FInterrupted = true;
        FStop.notify_all();
    }

private:
    std::string FBytes;
    char* FBuffer = nullptr;
    bool FDelivered = false;
    std::mutex FMutex;
    std::condition_variable FStop;
    bool FInterrupted = false;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A read delivers at least one byte and at most the whole buffer.
    if (size == 0 || size > WatchBufferSize)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    SetDirChangeReaderFactory([&](const std::string&, TOpenFailure&) { return std::make_unique<TOneReadReader>(bytes); });
    const auto expected = ExpectedRecords(bytes);
    std::vector<TRecord> delivered;
    {
        TBriskoDirWatch watch;
        watch.SetOnNotify([&](TBriskoDirWatch* sender, int action, const std::string& name) {
            delivered.push_back({action, name, sender->NotifiedEntry() == TBriskoDirWatch::TEntryKind::Folder});
        });
        watch.SetDirectory("/fuzzed");
        watch.SetEnabled(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        auto done = [&] { return expected ? delivered.size() >= expected->size() : !watch.Enabled(); };
        while (!done() && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        FUZZ_CHECK(done());
    }
    QCoreApplication::processEvents();
    const std::string boxes = TakeErrorBoxes();
    if (expected) {
        FUZZ_CHECK(delivered == *expected);
        FUZZ_CHECK(boxes.empty());
    } else {
        FUZZ_CHECK(delivered.empty());
        FUZZ_CHECK(boxes.rfind("Assertion failure (BrkDirWatch, line ", 0) == 0);
    }
    SetDirChangeReaderFactory(nullptr);
    return 0;
}
