#pragma once

// What the program and its privileged helper say to each other, over the
// helper's standard input (requests) and standard output (messages). Each
// one is framed: its length (32 bits, the machine's order: both ends run on
// one machine), a kind byte, then its body. The helper reads requests from a
// client it does not trust: every field is bounded and checked, and a
// request that breaks a rule ends the connection.
#include "platform/changes/DirChanges.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace helper {

// The longest request: a folder's path and a few numbers.
constexpr uint32_t MaxRequestLength = 4096 + 64;
// The most record bytes one read hands over, and the most watches one
// client may have.
constexpr uint32_t MaxReadLength = 65536;
constexpr uint32_t MaxWatches = 256;
// The longest message: a read's records and a process for each.
constexpr uint32_t MaxMessageLength = 16 * 1024 * 1024;

enum class TRequestKind : uint8_t {
    Watch = 1, // open Folder as watch Watch
    Read = 2,  // start one read of at most Length bytes of watch Watch
    Stop = 3,  // end watch Watch
};

struct TRequest {
    TRequestKind Kind = TRequestKind::Watch;
    uint32_t Watch = 0;
    std::string Folder;  // Watch: an absolute path, no NUL
    bool SubTree = true; // Read
    uint32_t Filter = 0; // Read: the notify filter
    uint32_t Length = 0; // Read: 1..MaxReadLength
};

enum class TMessageKind : uint8_t {
    Ready = 1,   // the helper serves User (Watch: its user ID)
    Opened = 2,  // Watch is open
    Refused = 3, // Watch could not be opened: Error, Reason
    Result = 4,  // Watch's read completed: Succeeded, Records, Processes
    Notice = 5,  // Watch's notice
    Failed = 6,  // Watch's read could not start or failed: Reason
};

struct TMessage {
    TMessageKind Kind = TMessageKind::Ready;
    uint32_t Watch = 0;
    uint32_t Error = 0; // Refused: the Windows error code
    std::string Reason;
    bool Succeeded = false;
    std::string Records;                // Result: the record buffer, as the reader filled it
    std::vector<TProcessRef> Processes; // Result: one for each record, or none
    TWatchNotice Notice;
};

// A frame's body (without its length) in, the request or message out;
// nothing when it breaks a rule.
std::optional<TRequest> ParseRequest(std::string_view body);
std::optional<TMessage> ParseMessage(std::string_view body);
// Whole frames, length first.
std::string EncodeRequest(const TRequest& request);
std::string EncodeMessage(const TMessage& message);

// Reads one frame's body from fd into body; false at the end of the input, on
// a read error, or for a frame longer than limit.
bool ReadFrame(int fd, uint32_t limit, std::string& body);
// Writes all of data; false when the other end is gone (a socket's raises
// no SIGPIPE; a pipe's does, unless the process ignores it).
bool WriteAll(int fd, std::string_view data);

} // namespace helper
