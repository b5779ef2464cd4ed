// Taking apart what a fanotify group reports, from buffers of the test's
// making: the kinds of record the kernel writes, and malformed ones.
#include "platform/changes/fanotify/FanotifyRecords.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/fanotify.h>

using namespace fanotify;

namespace {

const std::string FileSystem("\x01\x02\x03\x04\x05\x06\x07\x08", 8);

// Writes events as the kernel does: metadata, then information records.
class TEventWriter {
public:
    TEventWriter& Event(uint64_t mask, int32_t pid = 0) {
        FStart = FBuffer.size();
        fanotify_event_metadata metadata{};
        metadata.vers = FANOTIFY_METADATA_VERSION;
        metadata.metadata_len = sizeof metadata;
        metadata.mask = mask;
        metadata.fd = FAN_NOFD;
        metadata.pid = pid;
        Append(&metadata, sizeof metadata);
        return Patch();
    }
    // A record naming an object by handle, with a name after it when named.
    TEventWriter& Fid(uint8_t type, const std::string& handleBytes, const char* name = nullptr) {
        const size_t start = FBuffer.size();
        fanotify_event_info_header header{type, 0, 0};
        Append(&header, sizeof header);
        FBuffer += FileSystem;
        const uint32_t bytes = static_cast<uint32_t>(handleBytes.size());
        const int handleType = 1;
        Append(&bytes, sizeof bytes);
        Append(&handleType, sizeof handleType);
        FBuffer += handleBytes;
        if (name)
            FBuffer.append(name, std::strlen(name) + 1);
        FBuffer.resize((FBuffer.size() + 3) / 4 * 4, '\0');
        const auto length = static_cast<uint16_t>(FBuffer.size() - start);
        std::memcpy(FBuffer.data() + start + offsetof(fanotify_event_info_header, len), &length, sizeof length);
        return Patch();
    }
    // The record of the process's pidfd, or of why there is none.
    TEventWriter& Pidfd(int32_t pidfd) {
        fanotify_event_info_pidfd record{{FAN_EVENT_INFO_TYPE_PIDFD, 0, sizeof record}, pidfd};
        Append(&record, sizeof record);
        return Patch();
    }
    std::string& Bytes() { return FBuffer; }

private:
    void Append(const void* data, size_t size) { FBuffer.append(static_cast<const char*>(data), size); }
    TEventWriter& Patch() {
        const auto length = static_cast<uint32_t>(FBuffer.size() - FStart);
        std::memcpy(FBuffer.data() + FStart + offsetof(fanotify_event_metadata, event_len), &length, sizeof length);
        return *this;
    }
    std::string FBuffer;
    size_t FStart = 0;
};

std::string KeyFor(const std::string& handleBytes) {
    const int handleType = 1;
    return FileSystem + std::string(reinterpret_cast<const char*>(&handleType), sizeof handleType) + handleBytes;
}

std::vector<TFanEvent> Parse(const std::string& bytes, bool expectWhole = true) {
    std::vector<TFanEvent> events;
    EXPECT_EQ(ParseEvents(bytes.data(), bytes.size(), events), expectWhole);
    return events;
}

} // namespace

TEST(FanotifyRecords, EachKindOfRecordLandsInItsPlace) {
    TEventWriter writer;
    writer.Event(FAN_CREATE | FAN_ONDIR, 4242)
        .Fid(FAN_EVENT_INFO_TYPE_DFID_NAME, "dirhandl", "new")
        .Fid(FAN_EVENT_INFO_TYPE_FID, "objhandl")
        .Pidfd(7);
    writer.Event(FAN_RENAME, 4243)
        .Pidfd(FAN_NOPIDFD)
        .Fid(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, "olddir01", "a.txt")
        .Fid(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, "newdir01", "b.txt")
        .Fid(FAN_EVENT_INFO_TYPE_FID, "file0001");
    writer.Event(FAN_ATTRIB | FAN_ONDIR).Fid(FAN_EVENT_INFO_TYPE_DFID, "selfdir1").Pidfd(FAN_EPIDFD);
    writer.Event(FAN_Q_OVERFLOW);
    const auto events = Parse(writer.Bytes());
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].Mask, FAN_CREATE | FAN_ONDIR);
    EXPECT_EQ(events[0].Folder, KeyFor("dirhandl"));
    EXPECT_EQ(events[0].Name, "new");
    EXPECT_EQ(events[0].Object, KeyFor("objhandl"));
    EXPECT_EQ(events[1].Folder, KeyFor("olddir01"));
    EXPECT_EQ(events[1].Name, "a.txt");
    EXPECT_EQ(events[1].NewFolder, KeyFor("newdir01"));
    EXPECT_EQ(events[1].NewName, "b.txt");
    EXPECT_EQ(events[1].Object, KeyFor("file0001"));
    EXPECT_EQ(events[2].Folder, KeyFor("selfdir1")) << "an event on a folder itself";
    EXPECT_EQ(events[2].Name, ".");
    EXPECT_TRUE(events[3].Folder.empty());
    EXPECT_EQ(events[3].Mask, FAN_Q_OVERFLOW);
    // The process: a pidfd, or why the kernel gave none (the process was
    // reaped, or making one failed); none without the record.
    EXPECT_EQ(events[0].Pid, 4242);
    EXPECT_EQ(events[0].PidFd, 7);
    EXPECT_EQ(events[1].Pid, 4243);
    EXPECT_EQ(events[1].PidFd, FAN_NOPIDFD);
    EXPECT_EQ(events[2].PidFd, FAN_EPIDFD);
    EXPECT_EQ(events[3].PidFd, -1);
}

TEST(FanotifyRecords, NamesKeepTheirBytes) {
    TEventWriter writer;
    writer.Event(FAN_DELETE).Fid(FAN_EVENT_INFO_TYPE_DFID_NAME, "dirhandl", "caf\xe9 \xff name");
    const auto events = Parse(writer.Bytes());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Name, "caf\xe9 \xff name");
}

TEST(FanotifyRecords, AKeyGivesBackItsFileSystemAndHandle) {
    const std::string key = KeyFor("12345678");
    EXPECT_EQ(FileSystemOf(key), FileSystem);
    const std::vector<uint64_t> storage = HandleOf(key);
    const auto* handle = reinterpret_cast<const file_handle*>(storage.data());
    ASSERT_EQ(handle->handle_bytes, 8u);
    EXPECT_EQ(handle->handle_type, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(handle->f_handle), 8), "12345678");
    EXPECT_EQ(KeyOf(FileSystem, *handle), key);
}

// A record that runs past its event, a handle longer than its record, a
// name without its end: parsing stops there and keeps what came before.
TEST(FanotifyRecords, MalformedRecordsEndTheParseWithoutReadingPastThem) {
    TEventWriter good;
    good.Event(FAN_CREATE).Fid(FAN_EVENT_INFO_TYPE_DFID_NAME, "dirhandl", "ok");
    const std::string first = good.Bytes();

    std::string cut = first + first;
    cut.resize(cut.size() - 3);
    EXPECT_EQ(Parse(cut, false).size(), 1u) << "an event cut short";

    std::string longHandle = first + first;
    const size_t handleBytesAt = first.size() + sizeof(fanotify_event_metadata) + sizeof(fanotify_event_info_header) + 8;
    const uint32_t huge = 4000;
    std::memcpy(longHandle.data() + handleBytesAt, &huge, sizeof huge);
    EXPECT_EQ(Parse(longHandle, false).size(), 1u) << "a handle longer than its record";

    std::string noEnd = first;
    std::replace(noEnd.end() - 4, noEnd.end(), '\0', 'x');
    EXPECT_TRUE(Parse(noEnd, false).empty()) << "a name without its end";

    std::string zeroLength = first;
    const uint32_t zero = 0;
    std::memcpy(zeroLength.data() + offsetof(fanotify_event_metadata, event_len), &zero, sizeof zero);
    EXPECT_TRUE(Parse(zeroLength, false).empty()) << "an event of no length would never end the walk";

    std::string otherVersion = first + first;
    otherVersion[first.size() + offsetof(fanotify_event_metadata, vers)] = FANOTIFY_METADATA_VERSION + 1;
    EXPECT_EQ(Parse(otherVersion, false).size(), 1u) << "a layout this program does not know";
}
