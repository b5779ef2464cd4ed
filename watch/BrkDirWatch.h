#pragma once

#include "platform/changes/DirChanges.h"
#include "platform/loop/MessageWindow.h"
#include "watch/DirWatchThread.h"
#include "runtime/Exception.h"
#include "runtime/Object.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Kinds of change a watch reports, in the order of their bits.
enum TDirWatchOption {
    dw_file_name,
    dw_dir_name,
    dw_file_attr,
    dw_file_size,
    dw_file_write_date,
    dw_file_access_date,
    dw_file_creation_date,
    dw_file_security,
};

// A set of TDirWatchOption in one byte: bit n stands for the option of ordinal n.
struct TDirWatchOptions {
    uint8_t Bits = 0;

    static constexpr TDirWatchOptions All() { return {0xFF}; }
    bool Contains(TDirWatchOption option) const { return Bits & (1u << option); }
    void Include(TDirWatchOption option) { Bits |= static_cast<uint8_t>(1u << option); }
    void Exclude(TDirWatchOption option) { Bits &= static_cast<uint8_t>(~(1u << option)); }
    friend bool operator==(TDirWatchOptions, TDirWatchOptions) = default;
};

// The notify-filter flag of each option, by ordinal.
extern const uint32_t NotifyFilterValues[8];

// Names of the action codes 1 to 5, indexed by the code (index 0 is empty).
extern const char* const FileActionNames[6];

class TBriskoDirWatch;

using TNotifyEvent = std::function<void(TBriskoDirWatch* Sender)>;
using TFileChangeNotifyEvent = std::function<void(TBriskoDirWatch* Sender, int Action, const std::string& FileName)>;

// What a watch covers, beside the changes themselves: the set-up of a large
// sub-tree takes time (every change is reported once it is Covered, which
// may come before it is Ready), a sub-folder can be out of reach, a flood of
// changes can overrun a queue, and the system can merge changes, which the
// watch then corrects to the real state of their names.
struct TDirWatchStatus {
    enum class TKind { SettingUp, Covered, Ready, NotCovered, ChangesLost, ChangesMerged };
    TKind Kind = TKind::Ready;
    uint64_t FolderCount = 0; // SettingUp, Covered, Ready: folders watched so far (0: not counted)
    std::string Mechanism;    // SettingUp, Covered, Ready: how the system watches, what it lost or merged
    std::string Folder;       // NotCovered: relative to Directory ("" = Directory itself)
    std::string Reason;       // NotCovered: why
};
using TDirWatchStatusEvent = std::function<void(TBriskoDirWatch* Sender, const TDirWatchStatus& Status)>;

constexpr unsigned WM_DIRWATCH_ERROR = FirstOwnMessage + 137;
constexpr unsigned WM_DIRWATCH_NOTIFY = FirstOwnMessage + 138;
constexpr unsigned WM_DIRWATCH_STATUS = FirstOwnMessage + 139;
constexpr unsigned WM_DIRWATCH_DELIVERED = FirstOwnMessage + 140;

// Watches one folder, with its sub-tree, and raises OnNotify on the main
// thread once for every change record: the action code and the name relative
// to the folder. While Enabled it owns one worker; changes travel from it as
// messages posted to the watch's hidden window. OnChange tells that one of
// the watch's own settings changed.
class TBriskoDirWatch : public TObject {
public:
    TBriskoDirWatch();
    TBriskoDirWatch(const TBriskoDirWatch&) = delete;
    TBriskoDirWatch& operator=(const TBriskoDirWatch&) = delete;
    ~TBriskoDirWatch() override;

    bool Enabled() const { return FThread != nullptr; }
    void SetEnabled(bool Value);
    TDirWatchOptions Options() const { return FOptions; }
    void SetOptions(TDirWatchOptions Value);
    bool WatchSubTree() const { return FWatchSubTree; }
    void SetWatchSubTree(bool Value);
    // The folders below Directory that are neither watched nor walked, and
    // whose changes are never reported (nullptr: none). While Enabled they
    // take effect at once, without a restart.
    const TFolderExclusionRules& ExcludedFolders() const { return FExcludedFolders; }
    void SetExcludedFolders(TFolderExclusionRules Value);
    // The folder; "./" while none is set.
    std::string Directory() const;
    void SetDirectory(const std::string& Value);

    const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent Value) { FOnChange = std::move(Value); }
    const TFileChangeNotifyEvent& OnNotify() const { return FOnNotify; }
    void SetOnNotify(TFileChangeNotifyEvent Value) { FOnNotify = std::move(Value); }
    const TDirWatchStatusEvent& OnStatus() const { return FOnStatus; }
    void SetOnStatus(TDirWatchStatusEvent Value) { FOnStatus = std::move(Value); }

    // While OnNotify runs: whether the change's entry is a file or a folder,
    // where the system says which (Unknown where it does not, and outside
    // OnNotify).
    enum class TEntryKind { Unknown, File, Folder };
    TEntryKind NotifiedEntry() const { return FNotifiedEntry; }
    // While OnNotify runs: when the worker read the change from the system,
    // in nanoseconds since 1970 (the window may handle it a little later).
    int64_t NotifiedTime() const { return FNotifiedTime; }
    // While OnNotify runs: the process that made the change, where the
    // system tells (nullptr where it does not).
    const TProcessRef& NotifiedProcess() const { return FNotifiedProcess; }

    uint32_t GetNotifyFilter() const;
    // Why the last start failed, or the running watch failed, in a few
    // words ("not found", "removed"); empty once a start succeeds or the
    // watch is stopped on purpose.
    const std::string& StopReason() const { return FStopReason; }

    // Done runs on the main thread once OnNotify has raised every change
    // made before this call; where the system cannot tell, or the watch is
    // not running, once what its worker handed over so far is raised.
    void WhenDelivered(std::function<void()> Done);

protected:
    virtual void DoChange();
    virtual void DoNotify(int Action, const std::string& FileName);
    virtual void DoStatus(const TDirWatchStatus& Status);

private:
    void StartWatch();
    void StopWatch();
    void RestartWatch();
    void ThreadChanges(TDirWatchThread* Sender);
    void ThreadError(TDirWatchThread* Sender);
    void ThreadNotice(TDirWatchThread* Sender, unsigned Generation);
    void WatchWndProc(TMessage& Message);
    void RaiseThreadError(const TMessage& Message);
    void PostDelivered(uint64_t Ticket);
    void RunDelivered(uint64_t Ticket);

    std::unique_ptr<TDirWatchThread> FThread;
    // Counts the workers started; a status that a worker no longer running
    // reported about its set-up is stale and dropped.
    unsigned FGeneration = 0;
    TDirWatchOptions FOptions = TDirWatchOptions::All();
    std::unique_ptr<TMessageWindow> FWindowHandle;
    std::string FErrorMessage;
    std::string FStopReason;
    TEntryKind FNotifiedEntry = TEntryKind::Unknown;
    int64_t FNotifiedTime = 0;
    TProcessRef FNotifiedProcess;
    bool FWatchSubTree = true;
    std::string FDirectory;
    TFolderExclusionRules FExcludedFolders;
    TNotifyEvent FOnChange;
    TFileChangeNotifyEvent FOnNotify;
    TDirWatchStatusEvent FOnStatus;
    // The asks of WhenDelivered, by ticket; tickets only grow.
    uint64_t FDeliveryTickets = 0;
    std::vector<std::pair<uint64_t, std::function<void()>>> FDeliveryWaits;
};

// Done runs once every watch has raised what was made before this call.
void WhenAllDelivered(const std::vector<TBriskoDirWatch*>& Watches, std::function<void()> Done);
