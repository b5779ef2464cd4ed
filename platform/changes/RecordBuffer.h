#pragma once

// Buffers of FILE_NOTIFY_INFORMATION records: written by the readers,
// passed on from the privileged helper, and filtered on the way.
#include "platform/changes/DirChanges.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The bytes one record with a name of nameBytes takes, padded so that the
// next starts on a 32-bit boundary.
uint32_t RecordSize(uint32_t nameBytes);

// Writes one record at offset of buffer and chains previous (nullptr for
// the first) to it.
FILE_NOTIFY_INFORMATION* PutRecord(char* buffer, uint32_t offset, FILE_NOTIFY_INFORMATION* previous, uint32_t action,
                                   const std::u16string& name);

// Whether a record may be passed on: its place among the records read (from
// 0), its name (bytes, relative to the watched folder) and its action (with
// the folder flag where it is one).
using TRecordTest = std::function<bool(size_t index, const std::string& name, uint32_t action)>;

// Keeps, in order, the records of buffer (bytes long) that pass, with
// their processes (one for each record, or none at all); bytes becomes the
// length of what is kept. A rename's half whose other half is not kept is
// what a watch of only the kept names sees: the new name an addition, the
// old one a removal. A malformed record ends the walk.
void FilterRecords(char* buffer, uint32_t& bytes, std::vector<TProcessRef>& processes, const TRecordTest& passes);
