#pragma once

#include "platform/processes/ProcessNames.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Change notification on a folder, in the shape of the Windows interface:
// open a folder, start one asynchronous read that fills a caller's buffer
// with FILE_NOTIFY_INFORMATION records, wait for it with a time limit, and
// take its result. Each operating system has one backend.

#ifdef _WIN32
// The system's own definitions of the records, flags, action and error codes.
#include <windows.h>
#else
// Notify filter flags: which kinds of change a read reports.
constexpr uint32_t FILE_NOTIFY_CHANGE_FILE_NAME = 0x001;
constexpr uint32_t FILE_NOTIFY_CHANGE_DIR_NAME = 0x002;
constexpr uint32_t FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x004;
constexpr uint32_t FILE_NOTIFY_CHANGE_SIZE = 0x008;
constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_WRITE = 0x010;
constexpr uint32_t FILE_NOTIFY_CHANGE_LAST_ACCESS = 0x020;
constexpr uint32_t FILE_NOTIFY_CHANGE_CREATION = 0x040;
constexpr uint32_t FILE_NOTIFY_CHANGE_SECURITY = 0x100;

// Action codes of the records.
constexpr uint32_t FILE_ACTION_ADDED = 1;
constexpr uint32_t FILE_ACTION_REMOVED = 2;
constexpr uint32_t FILE_ACTION_MODIFIED = 3;
constexpr uint32_t FILE_ACTION_RENAMED_OLD_NAME = 4;
constexpr uint32_t FILE_ACTION_RENAMED_NEW_NAME = 5;

// One record of a read's buffer. Records are chained by NextEntryOffset
// (bytes from this record's start; 0 on the last) and start on 32-bit
// boundaries. FileName holds FileNameLength bytes of 16-bit characters, no
// terminator, relative to the watched folder, parts separated by the path
// separator.
struct FILE_NOTIFY_INFORMATION {
    uint32_t NextEntryOffset;
    uint32_t Action;
    uint32_t FileNameLength;
    char16_t FileName[1];
};

// Windows error codes, the ones a user of the program may see for a folder
// that cannot be opened.
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
constexpr uint32_t ERROR_DIRECTORY = 267;
constexpr uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;
#endif

// Set in a record's action beside its code when the entry is a folder, by
// the backends that know the kind of every entry they report (Linux's); a
// record without it is then about a file. The system's own records on
// Windows never carry it.
constexpr uint32_t FileActionFolderFlag = 0x100;
#ifdef _WIN32
constexpr bool RecordsTellFolders = false;
#else
constexpr bool RecordsTellFolders = true;
#endif

// action with the folder flag when the entry is a folder; nothing (0) stays
// nothing.
constexpr uint32_t ActionOnEntry(uint32_t action, bool isDir) {
    return action != 0 && isDir ? action | FileActionFolderFlag : action;
}

enum class TWaitResult { Signalled, TimedOut, Failed };

// News about what a watch covers, beside the change records: how far the
// set-up of a sub-tree has come (every change is reported once it is
// Covered, which may come before the set-up is Done), folders that could
// not be covered, and changes that the system merged, which the watch
// corrected to the real state of their names; and the answer to an ask
// for every change made before it (Delivered).
struct TWatchNotice {
    enum class TKind { SetupProgress, Covered, SetupDone, NotCovered, Merged, Delivered };
    TKind Kind = TKind::SetupProgress;
    std::string Folder;     // NotCovered: relative to the watched folder ("" = itself)
    int Error = 0;          // NotCovered: the system's error number
    uint64_t FolderCount = 0; // SetupProgress, Covered, SetupDone: folders watched so far (0: not counted)
    std::string Mechanism;    // SetupProgress, Covered, SetupDone: how the system watches, and what it
                              // lost or merged so far, for the user
    uint64_t Ticket = 0;      // Delivered: the latest ask it answers
};

// Folders the user excluded from watching: a watch neither watches nor
// walks them, and reports nothing below them; their own coming, going and
// renaming in a watched folder is still reported. Which folders they are
// is for the owner of a watch to decide; the rules reach the watch as an
// unchanging whole, so that its worker never reads what the owner edits.
class TFolderExclusion {
public:
    virtual ~TFolderExclusion() = default;
    // folderPath: the folder as the watch's changes name it (the watched
    // folder as given, then the names below it), ending in the separator.
    virtual bool Excludes(const std::string& folderPath) const = 0;
};
using TFolderExclusionRules = std::shared_ptr<const TFolderExclusion>;

// Why Open failed.
struct TOpenFailure {
    bool ProcedureMissing = false; // the system offers no change reading at all
    uint32_t ErrorCode = 0;        // otherwise: the Windows error code for the folder
};

// The identity of the folder that holds a record's entry, where the reader
// keeps one (fanotify's: the folder's key); null where it does not.
using TFolderRef = std::shared_ptr<const std::string>;

// Threading: Open runs on the owner's thread; Interrupt and
// SetExcludedFolders on any thread; every
// other member runs on one worker thread. Exactly one read is outstanding at a time: ReadChanges is
// called again only after Wait said Signalled and GetResult was taken.
// Wait never blocks longer than its limit, so a worker can always be stopped
// promptly. Destruction ends any outstanding read before the buffer it fills
// can go away.
class TDirChangeReader {
public:
    virtual ~TDirChangeReader() = default;

    // Opens the folder for change listing; nullptr with the reason on failure.
    static std::unique_ptr<TDirChangeReader> Open(const std::string& directory,
                                                  TOpenFailure& failure);
    // The running system's own reader, which Open gives unless replaced.
    static std::unique_ptr<TDirChangeReader> OpenNative(const std::string& directory,
                                                        TOpenFailure& failure);

    // Starts one read into buffer; false when it cannot start (an empty
    // filter is refused, as the system does).
    virtual bool ReadChanges(void* buffer, uint32_t length, bool watchSubTree,
                             uint32_t notifyFilter) = 0;
    // Waits at most timeoutMs for the outstanding read to complete.
    virtual TWaitResult Wait(int timeoutMs) = 0;
    // The completed read's result: false when it failed (the folder itself
    // went away). A read that completes with 0 bytes lost its changes: the
    // system's queue overflowed and the buffer holds no valid records.
    virtual bool GetResult(uint32_t& bytesReturned) = 0;
    // The process behind each record of the completed read, in order; none
    // (and an empty list) where the system does not tell.
    virtual void TakeProcesses(std::vector<TProcessRef>& processes) { processes.clear(); }
    // The folder that holds each record of the completed read, in order,
    // where the reader keeps folders' identities; none otherwise.
    virtual void TakeFolders(std::vector<TFolderRef>& folders) { folders.clear(); }
    // Takes the next notice, if any.
    virtual bool TakeNotice(TWatchNotice& notice) = 0;
    // The folders to leave out from now on (nullptr: none). Any thread: the
    // worker takes them at its next wait, which it ends at once; a folder
    // no longer excluded is watched without reporting what it holds.
    virtual void SetExcludedFolders(TFolderExclusionRules) {}
    // Any thread: asks for a Delivered notice with ticket (or a later one)
    // once every change made before this call has been handed on by
    // GetResult; tickets only grow. False where the reader cannot tell: what
    // it handed on is then all there is to wait for.
    virtual bool AskDelivered(uint64_t ticket) {
        (void)ticket;
        return false;
    }
    // Ends a Wait in progress, and every later one, at once with TimedOut,
    // so that a stop request needs no time-out to be seen. Any thread.
    virtual void Interrupt() = 0;
    // Why the last read could not start or failed, as a sentence for the
    // user; empty when the system gave no reason.
    virtual std::string FailureReason() const { return {}; }
    // The same in a word or two, for the watch's line ("removed"); empty
    // where the reader cannot say.
    virtual std::string StopWords() const { return {}; }
};

// The error of a NotCovered notice for a folder on another file system (a
// mount point inside the watched tree).
constexpr int OtherFileSystem = -1;
// The error of a NotCovered notice for a polled folder whose file system
// does not answer (told once; polling goes on).
constexpr int NotReachable = -2;
// The error of a start whose folder's path, once every folder on the way
// was guarded, led to another folder than the one opened.
constexpr int LeadsElsewhere = -3;
// How the mechanism of a polled watch begins ("polled every 2 s: ...").
inline constexpr const char* PolledMechanism = "polled every ";

#ifdef __linux__
// The code Windows gives for the same failure (the system's error number)
// to open the folder at path.
uint32_t WindowsErrorFor(int error, const std::string& path);
#endif

// Why a folder could not be opened, in a few words for the user ("not
// found", "no permission"): the text of an Open failure's error code.
std::string DescribeOpenFailure(uint32_t errorCode);

// Why a folder is not covered, for the user: the text of a NotCovered notice's error.
std::string DescribeNotCovered(int error);

// Replaces the readers that Open gives (an empty function restores the
// system's), so that a test can drive a watch with reads of its own making.
using TDirChangeReaderFactory =
    std::function<std::unique_ptr<TDirChangeReader>(const std::string& directory, TOpenFailure& failure)>;
void SetDirChangeReaderFactory(TDirChangeReaderFactory factory);
