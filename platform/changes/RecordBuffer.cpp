#include "platform/changes/RecordBuffer.h"

#include "platform/system/TextConversion.h"

#include <cstddef>
#include <cstring>

namespace {
constexpr auto HeaderBytes = static_cast<uint32_t>(offsetof(FILE_NOTIFY_INFORMATION, FileName));

struct TEntry {
    uint32_t Action;
    std::u16string Name;
    TProcessRef Process;
    bool Passes;
};

std::vector<TEntry> ReadEntries(const char* buffer, uint32_t bytes, const std::vector<TProcessRef>& processes,
                                const TRecordTest& passes) {
    std::vector<TEntry> entries;
    for (uint32_t offset = 0; offset + HeaderBytes <= bytes;) {
        FILE_NOTIFY_INFORMATION header;
        std::memcpy(&header, buffer + offset, HeaderBytes);
        if (header.FileNameLength % 2 != 0 || header.FileNameLength > bytes - offset - HeaderBytes)
            break;
        std::u16string name(header.FileNameLength / 2, u'\0');
        std::memcpy(name.data(), buffer + offset + HeaderBytes, header.FileNameLength);
        const size_t at = entries.size();
        const bool passed = passes(at, WideToLocal8(name), header.Action);
        entries.push_back({header.Action, std::move(name), at < processes.size() ? processes[at] : nullptr, passed});
        const uint32_t next = header.NextEntryOffset;
        if (next == 0 || next % 4 != 0 || next < RecordSize(header.FileNameLength) || next > bytes - offset)
            break;
        offset += next;
    }
    return entries;
}

uint32_t CodeOf(uint32_t action) {
    return action & ~FileActionFolderFlag;
}

uint32_t WithCode(uint32_t action, uint32_t code) {
    return (action & FileActionFolderFlag) | code;
}

// A rename's half alone is what a watch of its side alone sees.
void SettleLoneHalves(std::vector<TEntry>& entries) {
    for (size_t at = 0; at + 1 < entries.size(); ++at) {
        TEntry& from = entries[at];
        TEntry& to = entries[at + 1];
        if (CodeOf(from.Action) != FILE_ACTION_RENAMED_OLD_NAME || CodeOf(to.Action) != FILE_ACTION_RENAMED_NEW_NAME)
            continue;
        if (from.Passes && !to.Passes)
            from.Action = WithCode(from.Action, FILE_ACTION_REMOVED);
        if (to.Passes && !from.Passes)
            to.Action = WithCode(to.Action, FILE_ACTION_ADDED);
        ++at;
    }
}
} // namespace

uint32_t RecordSize(uint32_t nameBytes) {
    return (HeaderBytes + nameBytes + 3) & ~3u;
}

FILE_NOTIFY_INFORMATION* PutRecord(char* buffer, uint32_t offset, FILE_NOTIFY_INFORMATION* previous, uint32_t action,
                                   const std::u16string& name) {
    auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(buffer + offset);
    record->NextEntryOffset = 0;
    record->Action = action;
    record->FileNameLength = static_cast<uint32_t>(name.size() * sizeof(char16_t));
    std::memcpy(record->FileName, name.data(), record->FileNameLength);
    if (previous)
        previous->NextEntryOffset =
            static_cast<uint32_t>(reinterpret_cast<char*>(record) - reinterpret_cast<char*>(previous));
    return record;
}

void FilterRecords(char* buffer, uint32_t& bytes, std::vector<TProcessRef>& processes, const TRecordTest& passes) {
    std::vector<TEntry> entries = ReadEntries(buffer, bytes, processes, passes);
    SettleLoneHalves(entries);
    const bool withProcesses = !processes.empty();
    processes.clear();
    uint32_t offset = 0;
    FILE_NOTIFY_INFORMATION* previous = nullptr;
    for (const TEntry& entry : entries) {
        if (!entry.Passes)
            continue;
        // What is kept is never longer than what was read, so it fits.
        previous = PutRecord(buffer, offset, previous, entry.Action, entry.Name);
        offset += RecordSize(previous->FileNameLength);
        if (withProcesses)
            processes.push_back(entry.Process);
    }
    bytes = offset;
}
