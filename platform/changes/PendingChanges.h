#pragma once

#include "platform/changes/DirChanges.h"
#include "platform/processes/ProcessNames.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// Change records translated from the system's events and not yet handed on,
// in order, with the bytes they hold counted so that the queue can be
// bounded.
//
// A move out of a folder takes its place in the order at once but is held
// until its move-in half comes or is known never to come: it then becomes
// an old-name/new-name pair, kept side by side, or a removal. Nothing behind
// a held record is handed on before it is settled.
class TPendingChanges {
public:
    using TSlot = uint64_t;

    // One record; none when action is 0 (nothing to report). process: the
    // process that made the change, where it is known; folder: the folder
    // that holds the entry.
    void Add(uint32_t action, std::string name, TProcessRef process = nullptr, TFolderRef folder = nullptr);
    // Changes the system dropped: the read that reaches this mark reports
    // them lost.
    void AddLoss();
    // A record whose kind is not known yet; settle it with one of the two
    // below. It keeps the process and the folder it is held with.
    TSlot Hold(TProcessRef process = nullptr, TFolderRef folder = nullptr);
    // Both halves say whether the renamed entry is a folder (ActionOnEntry);
    // newFolder holds the new name.
    void SettleAsRename(TSlot slot, std::string oldName, std::string newName, bool isDir = false,
                        TFolderRef newFolder = nullptr);
    // One record, or none when action is 0 (nothing to report); folder, when
    // given, holds name instead of the folder it was held with.
    void Settle(TSlot slot, uint32_t action, std::string name, TFolderRef folder = nullptr);

    bool Empty() const { return FRecords.empty(); }
    // Every record ever queued has a slot, in order: the first not yet
    // handed on, and the one the next record queued will take.
    TSlot FirstSlot() const { return FFirstSlot; }
    TSlot EndSlot() const { return FFirstSlot + FRecords.size(); }
    // True when the first record may be handed on: it is settled (records
    // settled as nothing are dropped on the way).
    bool FrontReady();
    bool FrontIsLoss() const;
    void PopLoss();
    // Writes settled records, up to the first held one or loss mark, as
    // FILE_NOTIFY_INFORMATION records into buffer; returns the bytes written.
    // A pair never straddles two reads. A record too large for the whole
    // buffer cannot be delivered: it is dropped and 0 is returned, which the
    // reader reports as lost changes, as the system does. processes and
    // folders, when given, get the process and the folder of each record
    // written, in order.
    uint32_t Pack(char* buffer, uint32_t length, std::vector<TProcessRef>* processes = nullptr,
                  std::vector<TFolderRef>* folders = nullptr);
    size_t Bytes() const { return FBytes; }

private:
    // Marks kept in a record's action, apart from every action code.
    enum : uint32_t { Held = 0xFFFFFFFF, Renamed = 0xFFFFFFFE, Nothing = 0xFFFFFFFD, Loss = 0xFFFFFFFC };
    struct TRecord {
        uint32_t Action;
        std::string Name;
        std::string NewName;
        bool RenamedFolder = false;
        TProcessRef Process;
        TFolderRef Folder;
        TFolderRef NewFolder; // a rename's new half's
    };

    static size_t Cost(const TRecord& record);
    void Push(TRecord record);
    void Pop();
    TRecord& At(TSlot slot);

    std::deque<TRecord> FRecords;
    TSlot FFirstSlot = 0; // the slot of FRecords.front()
    size_t FBytes = 0;
};
