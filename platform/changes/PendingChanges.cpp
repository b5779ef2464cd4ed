#include "platform/changes/PendingChanges.h"

#include "platform/changes/DirChanges.h"
#include "platform/changes/RecordBuffer.h"
#include "platform/system/TextConversion.h"

#include <cstddef>
#include <cstring>

size_t TPendingChanges::Cost(const TRecord& record) {
    return sizeof(TRecord) + record.Name.capacity() + record.NewName.capacity();
}

void TPendingChanges::Push(TRecord record) {
    FBytes += Cost(record);
    FRecords.push_back(std::move(record));
}

void TPendingChanges::Pop() {
    FBytes -= Cost(FRecords.front());
    FRecords.pop_front();
    ++FFirstSlot;
}

TPendingChanges::TRecord& TPendingChanges::At(TSlot slot) {
    return FRecords.at(static_cast<size_t>(slot - FFirstSlot));
}

void TPendingChanges::Add(uint32_t action, std::string name, TProcessRef process, TFolderRef folder) {
    if (action != 0)
        Push({action, std::move(name), {}, false, std::move(process), std::move(folder), nullptr});
}

void TPendingChanges::AddLoss() {
    Push({Loss, {}, {}, false, nullptr, nullptr, nullptr});
}

TPendingChanges::TSlot TPendingChanges::Hold(TProcessRef process, TFolderRef folder) {
    Push({Held, {}, {}, false, std::move(process), std::move(folder), nullptr});
    return EndSlot() - 1;
}

void TPendingChanges::SettleAsRename(TSlot slot, std::string oldName, std::string newName, bool isDir,
                                     TFolderRef newFolder) {
    TRecord& record = At(slot);
    FBytes -= Cost(record);
    record = {Renamed,
              std::move(oldName),
              std::move(newName),
              isDir,
              std::move(record.Process),
              std::move(record.Folder),
              std::move(newFolder)};
    FBytes += Cost(record);
}

void TPendingChanges::Settle(TSlot slot, uint32_t action, std::string name, TFolderRef folder) {
    TRecord& record = At(slot);
    FBytes -= Cost(record);
    record = {action == 0 ? Nothing : action,
              std::move(name),
              {},
              false,
              std::move(record.Process),
              folder ? std::move(folder) : std::move(record.Folder),
              nullptr};
    FBytes += Cost(record);
}

bool TPendingChanges::FrontReady() {
    while (!FRecords.empty() && FRecords.front().Action == Nothing)
        Pop();
    return !FRecords.empty() && FRecords.front().Action != Held;
}

bool TPendingChanges::FrontIsLoss() const {
    return !FRecords.empty() && FRecords.front().Action == Loss;
}

void TPendingChanges::PopLoss() {
    Pop();
}

uint32_t TPendingChanges::Pack(char* buffer, uint32_t length, std::vector<TProcessRef>* processes,
                               std::vector<TFolderRef>* folders) {
    uint32_t offset = 0;
    FILE_NOTIFY_INFORMATION* previous = nullptr;
    while (!FRecords.empty() && FRecords.front().Action != Held && FRecords.front().Action != Loss) {
        const TRecord& record = FRecords.front();
        if (record.Action == Nothing) {
            Pop();
            continue;
        }
        const std::u16string name = Local8ToWide(record.Name);
        const std::u16string newName = record.Action == Renamed ? Local8ToWide(record.NewName) : u"";
        uint32_t size = RecordSize(static_cast<uint32_t>(name.size() * sizeof(char16_t)));
        if (record.Action == Renamed)
            size += RecordSize(static_cast<uint32_t>(newName.size() * sizeof(char16_t)));
        if (offset + size > length) {
            if (offset == 0)
                Pop();
            break;
        }
        if (record.Action == Renamed) {
            previous = PutRecord(buffer, offset, previous,
                                 ActionOnEntry(FILE_ACTION_RENAMED_OLD_NAME, record.RenamedFolder), name);
            offset += RecordSize(previous->FileNameLength);
            previous = PutRecord(buffer, offset, previous,
                                 ActionOnEntry(FILE_ACTION_RENAMED_NEW_NAME, record.RenamedFolder), newName);
            if (processes)
                processes->push_back(record.Process);
            if (folders)
                folders->push_back(record.Folder);
        } else {
            previous = PutRecord(buffer, offset, previous, record.Action, name);
        }
        if (processes)
            processes->push_back(record.Process);
        if (folders)
            folders->push_back(record.Action == Renamed ? record.NewFolder : record.Folder);
        offset += RecordSize(previous->FileNameLength);
        Pop();
    }
    return offset;
}
