// What the privileged helper reads from the program it serves is hostile
// until proven otherwise; what it sends back must arrive whole.
#include "platform/changes/RecordBuffer.h"
#include "platform/helper/HelperProtocol.h"
#include "platform/system/TextConversion.h"

#include <gtest/gtest.h>

using namespace helper;

namespace {
std::string BodyOf(const std::string& frame) {
    return frame.substr(sizeof(uint32_t));
}

TRequest WatchOf(const std::string& folder, uint32_t watch = 3) {
    TRequest request;
    request.Kind = TRequestKind::Watch;
    request.Watch = watch;
    request.Folder = folder;
    return request;
}

TRequest ReadOf(uint32_t length) {
    TRequest request;
    request.Kind = TRequestKind::Read;
    request.Filter = 0x17F;
    request.Length = length;
    return request;
}
} // namespace

TEST(HelperProtocol, RefusesEveryRequestThatBreaksARule) {
    const std::string watch = BodyOf(EncodeRequest(WatchOf("/home/ann")));
    std::string badFlag = BodyOf(EncodeRequest(ReadOf(100)));
    badFlag[5] = 2;
    const struct {
        std::string Body;
        bool Valid;
        const char* What;
    } cases[] = {
        {watch, true, "a folder to watch"},
        {BodyOf(EncodeRequest(ReadOf(MaxReadLength))), true, "the longest read"},
        {BodyOf(EncodeRequest(ReadOf(MaxReadLength + 1))), false, "a read longer than allowed"},
        {BodyOf(EncodeRequest(ReadOf(0))), false, "a read of nothing"},
        {BodyOf(EncodeRequest(WatchOf("home/ann"))), false, "a relative folder"},
        {BodyOf(EncodeRequest(WatchOf(""))), false, "no folder"},
        {BodyOf(EncodeRequest(WatchOf(std::string("/home\0/etc", 10)))), false, "a NUL in the folder"},
        {BodyOf(EncodeRequest(WatchOf("/tmp", MaxWatches))), false, "a watch beyond the most allowed"},
        {watch.substr(0, watch.size() - 1), false, "a folder cut short"},
        {watch + "x", false, "bytes after the request"},
        {std::string("\x09\0\0\0\0", 5), false, "an unknown kind"},
        {"", false, "nothing"},
        {badFlag, false, "a flag that is neither 0 nor 1"},
    };
    for (const auto& [body, valid, what] : cases)
        EXPECT_EQ(ParseRequest(body).has_value(), valid) << what;
    EXPECT_EQ(ParseRequest(watch)->Folder, "/home/ann");
}

// Records and processes cross whole, a process shared by records once.
TEST(HelperProtocol, AResultArrivesWhole) {
    auto touch = std::make_shared<TChangeProcess>(TChangeProcess{4242, true, "touch", "/usr/bin/touch", 1000});
    TMessage result;
    result.Kind = TMessageKind::Result;
    result.Watch = 5;
    result.Succeeded = true;
    result.Records = std::string("\0\x01\x02\xff", 4);
    result.Processes = {touch, nullptr, touch};
    const std::string frame = EncodeMessage(result);
    std::optional<TMessage> parsed = ParseMessage(BodyOf(frame));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Watch, 5u);
    EXPECT_EQ(parsed->Records, result.Records);
    ASSERT_EQ(parsed->Processes.size(), 3u);
    EXPECT_EQ(parsed->Processes[0], parsed->Processes[2]);
    EXPECT_FALSE(parsed->Processes[1]);
    EXPECT_EQ(parsed->Processes[0]->Executable, "/usr/bin/touch");
    EXPECT_EQ(parsed->Processes[0]->User, 1000);
    for (size_t cut = 0; cut < frame.size() - sizeof(uint32_t); ++cut)
        EXPECT_FALSE(ParseMessage(BodyOf(frame).substr(0, cut))) << "cut at " << cut;
}

// A rename's half without its other half is what a watch of its side sees.
TEST(HelperProtocol, FilteringKeepsWhatPassesAndSettlesLoneRenameHalves) {
    const std::vector<std::pair<uint32_t, std::string>> records = {
        {FILE_ACTION_ADDED, "open/a"},
        {FILE_ACTION_ADDED, "secret/b"},
        {FILE_ACTION_RENAMED_OLD_NAME, "secret/b"},
        {FILE_ACTION_RENAMED_NEW_NAME, "open/b"},
        {FILE_ACTION_RENAMED_OLD_NAME, "open/a"},
        {FILE_ACTION_RENAMED_NEW_NAME, "secret/a"},
        {FILE_ACTION_RENAMED_OLD_NAME, "open/c"},
        {FILE_ACTION_RENAMED_NEW_NAME, "open/d"},
    };
    alignas(4) char buffer[1024];
    uint32_t bytes = 0;
    FILE_NOTIFY_INFORMATION* previous = nullptr;
    std::vector<TProcessRef> processes;
    for (const auto& [action, name] : records) {
        previous = PutRecord(buffer, bytes, previous, action, Local8ToWide(name));
        bytes += RecordSize(previous->FileNameLength);
        auto process = std::make_shared<TChangeProcess>();
        process->Pid = static_cast<int32_t>(processes.size());
        processes.push_back(std::move(process));
    }
    FilterRecords(buffer, bytes, processes,
                  [](size_t, const std::string& name, uint32_t) { return name.rfind("secret/", 0) != 0; });
    std::vector<std::pair<uint32_t, std::string>> kept;
    for (uint32_t offset = 0; offset < bytes;) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        kept.emplace_back(record->Action, WideToLocal8({record->FileName, record->FileNameLength / 2}));
        if (record->NextEntryOffset == 0)
            break;
        offset += record->NextEntryOffset;
    }
    const std::vector<std::pair<uint32_t, std::string>> expected = {
        {FILE_ACTION_ADDED, "open/a"},
        {FILE_ACTION_ADDED, "open/b"},
        {FILE_ACTION_REMOVED, "open/a"},
        {FILE_ACTION_RENAMED_OLD_NAME, "open/c"},
        {FILE_ACTION_RENAMED_NEW_NAME, "open/d"},
    };
    EXPECT_EQ(kept, expected);
    ASSERT_EQ(processes.size(), expected.size());
    EXPECT_EQ(processes[1]->Pid, 3) << "the addition keeps the process of the rename's new half";
}
