#include "watch/BrkDirWatch.h"

#include "platform/system/PlatformInfo.h"
#include "platform/system/TextConversion.h"
#include "platform/system/UnalignedRead.h"
#include "runtime/SysUtils.h"

#include <chrono>
#include <cstring>
#include <memory>

#define DW_ASSERT(condition) Assert((condition), "BrkDirWatch", __LINE__)

const uint32_t NotifyFilterValues[8] = {
    FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME,   FILE_NOTIFY_CHANGE_ATTRIBUTES,
    FILE_NOTIFY_CHANGE_SIZE,      FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_NOTIFY_CHANGE_LAST_ACCESS,
    FILE_NOTIFY_CHANGE_CREATION,  FILE_NOTIFY_CHANGE_SECURITY,
};

const char* const FileActionNames[6] = {
    "",
    "FILE_ACTION_ADDED",
    "FILE_ACTION_REMOVED",
    "FILE_ACTION_MODIFIED",
    "FILE_ACTION_RENAMED_OLD_NAME",
    "FILE_ACTION_RENAMED_NEW_NAME",
};

namespace {
TDirWatchStatus::TKind StatusKindFor(TWatchNotice::TKind kind) {
    switch (kind) {
    case TWatchNotice::TKind::SetupProgress:
        return TDirWatchStatus::TKind::SettingUp;
    case TWatchNotice::TKind::Covered:
        return TDirWatchStatus::TKind::Covered;
    case TWatchNotice::TKind::SetupDone:
        return TDirWatchStatus::TKind::Ready;
    case TWatchNotice::TKind::Merged:
        return TDirWatchStatus::TKind::ChangesMerged;
    case TWatchNotice::TKind::NotCovered:
    case TWatchNotice::TKind::Delivered:
        break;
    }
    return TDirWatchStatus::TKind::NotCovered;
}
} // namespace

TBriskoDirWatch::TBriskoDirWatch() {
    if (PlatformId() != VER_PLATFORM_WIN32_NT)
        throw EDirWatchError("TBriskoDirWatch requires MS Windows NT Version 4 or higher");
    FWindowHandle = std::make_unique<TMessageWindow>([this](TMessage& Message) { WatchWndProc(Message); });
}

TBriskoDirWatch::~TBriskoDirWatch() {
    SetEnabled(false);
    FWindowHandle.reset();
}

void TBriskoDirWatch::SetEnabled(bool Value) {
    if (Value == Enabled())
        return;
    if (Value)
        StartWatch();
    else
        StopWatch();
    DoChange();
}

void TBriskoDirWatch::SetOptions(TDirWatchOptions Value) {
    if (Value == FOptions)
        return;
    FOptions = Value;
    if (Enabled())
        RestartWatch();
    DoChange();
}

void TBriskoDirWatch::SetWatchSubTree(bool Value) {
    if (Value == FWatchSubTree)
        return;
    FWatchSubTree = Value;
    if (Enabled())
        RestartWatch();
    DoChange();
}

std::string TBriskoDirWatch::Directory() const {
    return FDirectory.empty() ? std::string(".") + PathDelim : FDirectory;
}

// Blanks around the text are trimmed away, unless they belong to the name of
// an existing folder: trimming must never turn one folder into another.
void TBriskoDirWatch::SetDirectory(const std::string& Value) {
    std::string folder = Trim(Value);
    if (folder != Value && DirectoryExists(Value))
        folder = Value;
    if (SamePath(folder, FDirectory))
        return;
    FDirectory = std::move(folder);
    if (Enabled())
        RestartWatch();
    DoChange();
}

void TBriskoDirWatch::SetExcludedFolders(TFolderExclusionRules Value) {
    FExcludedFolders = std::move(Value);
    if (FThread)
        FThread->SetExcludedFolders(FExcludedFolders);
}

uint32_t TBriskoDirWatch::GetNotifyFilter() const {
    uint32_t filter = 0;
    for (int option = dw_file_name; option <= dw_file_security; ++option)
        if (FOptions.Contains(static_cast<TDirWatchOption>(option)))
            filter |= NotifyFilterValues[option];
    return filter;
}

void TBriskoDirWatch::DoChange() {
    if (FOnChange)
        FOnChange(this);
}

void TBriskoDirWatch::DoNotify(int Action, const std::string& FileName) {
    if (FOnNotify)
        FOnNotify(this, Action, FileName);
}

void TBriskoDirWatch::DoStatus(const TDirWatchStatus& Status) {
    if (FOnStatus)
        FOnStatus(this, Status);
}

// A watch without a folder would watch whatever folder the program happens
// to run in: it is refused instead.
void TBriskoDirWatch::StartWatch() {
    DW_ASSERT(!FThread);
    if (FDirectory.empty()) {
        FStopReason = "no folder";
        throw EDirWatchError("No folder is set for this watch", FStopReason);
    }
    const unsigned generation = ++FGeneration;
    try {
        FThread = std::make_unique<TDirWatchThread>(
            Directory(), GetNotifyFilter(), FWatchSubTree, FExcludedFolders,
            [this](TDirWatchThread* Sender) { ThreadChanges(Sender); },
            [this](TDirWatchThread* Sender) { ThreadError(Sender); },
            [this, generation](TDirWatchThread* Sender) { ThreadNotice(Sender, generation); });
    } catch (const EDirWatchError& error) {
        FStopReason = error.Reason();
        throw;
    }
    FStopReason.clear();
}

// What the stopped worker handed over is all that comes: those waiting for
// it are answered behind it.
void TBriskoDirWatch::StopWatch() {
    DW_ASSERT(FThread != nullptr);
    FThread.reset();
    FStopReason.clear();
    if (!FDeliveryWaits.empty())
        PostDelivered(FDeliveryTickets);
}

void TBriskoDirWatch::WhenDelivered(std::function<void()> Done) {
    const uint64_t ticket = ++FDeliveryTickets;
    FDeliveryWaits.emplace_back(ticket, std::move(Done));
    if (!FThread || !FThread->AskDelivered(ticket))
        PostDelivered(ticket);
}

// Any thread: the answer travels behind every change posted before it.
void TBriskoDirWatch::PostDelivered(uint64_t Ticket) {
    FWindowHandle->Post({WM_DIRWATCH_DELIVERED, static_cast<std::intptr_t>(Ticket), 0, {}});
}

// Main thread. A wait may end the watch's owner's run, or ask again.
void TBriskoDirWatch::RunDelivered(uint64_t Ticket) {
    std::vector<std::function<void()>> answered;
    std::erase_if(FDeliveryWaits, [&](auto& wait) {
        if (wait.first > Ticket)
            return false;
        answered.push_back(std::move(wait.second));
        return true;
    });
    for (const auto& done : answered)
        done();
}

void WhenAllDelivered(const std::vector<TBriskoDirWatch*>& Watches, std::function<void()> Done) {
    if (Watches.empty()) {
        Done();
        return;
    }
    auto left = std::make_shared<size_t>(Watches.size());
    auto done = std::make_shared<std::function<void()>>(std::move(Done));
    for (TBriskoDirWatch* watch : Watches)
        watch->WhenDelivered([left, done] {
            if (--*left == 0)
                (*done)();
        });
}

void TBriskoDirWatch::RestartWatch() {
    SetEnabled(false);
    SetEnabled(true);
}

// Worker thread. A read that brought zero bytes carries no records: the
// system dropped its changes, which the holder is told instead.
void TBriskoDirWatch::ThreadChanges(TDirWatchThread* Sender) {
    DW_ASSERT(Sender != nullptr);
    const uint32_t bytes = Sender->BytesReturned();
    if (bytes == 0) {
        FWindowHandle->Post(
            {WM_DIRWATCH_STATUS, static_cast<std::intptr_t>(TDirWatchStatus::TKind::ChangesLost), 0, {}});
        return;
    }
    // The records are checked before any part of them is read: a header
    // inside the delivered bytes, a name inside them too, and the next
    // record further on, inside, at a place a name's characters may start.
    // A malformed buffer ends the read with an assertion failure and
    // delivers none of it. (Windows starts records on 32-bit boundaries,
    // Wine on 16-bit ones: headers are read wherever they lie.)
    constexpr uint32_t header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    DW_ASSERT(bytes <= WatchBufferSize);
    std::vector<TMessage> messages;
    const auto readAt =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const std::vector<TProcessRef>& processes = Sender->Processes();
    for (uint32_t offset = 0;;) {
        DW_ASSERT(bytes - offset >= header);
        const char* record = Sender->Buffer() + offset;
        const auto field = [record](std::size_t at) { return ReadUnaligned<uint32_t>(record + at); };
        const uint32_t next = field(offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset));
        const uint32_t nameLength = field(offsetof(FILE_NOTIFY_INFORMATION, FileNameLength));
        DW_ASSERT(nameLength <= bytes - offset - header);
        TMessage& message = messages.emplace_back();
        message.Msg = WM_DIRWATCH_NOTIFY;
        message.WParam = static_cast<std::intptr_t>(field(offsetof(FILE_NOTIFY_INFORMATION, Action)));
        message.LParam = static_cast<std::intptr_t>(readAt);
        message.Text.resize(nameLength / sizeof(char16_t));
        std::memcpy(message.Text.data(), record + header, message.Text.size() * sizeof(char16_t));
        if (messages.size() <= processes.size())
            message.Attachment = processes[messages.size() - 1];
        if (next == 0)
            break;
        DW_ASSERT(next % sizeof(char16_t) == 0);
        DW_ASSERT(next < bytes - offset);
        offset += next;
    }
    // One hand-over per read, so the main thread is woken once, not per record.
    FWindowHandle->PostAll(messages);
}

// Worker thread. The message travels with the post, so a later worker's
// failure cannot overwrite it before the main thread reads it.
void TBriskoDirWatch::ThreadError(TDirWatchThread* Sender) {
    DW_ASSERT(Sender != nullptr);
    TMessage message{WM_DIRWATCH_ERROR, 0, reinterpret_cast<std::intptr_t>(Sender->ErrorClass()), {}};
    message.Text = Local8ToWide(Sender->ErrorMessage());
    message.Attachment = std::make_shared<const std::string>(Sender->ErrorWords());
    FWindowHandle->Post(std::move(message));
}

// Worker thread. The first parameter carries the kind in its low byte and
// the worker's generation above it.
void TBriskoDirWatch::ThreadNotice(TDirWatchThread* Sender, unsigned Generation) {
    DW_ASSERT(Sender != nullptr);
    const TWatchNotice& notice = Sender->LastNotice();
    if (notice.Kind == TWatchNotice::TKind::Delivered) {
        PostDelivered(notice.Ticket);
        return;
    }
    const bool notCovered = notice.Kind == TWatchNotice::TKind::NotCovered;
    const auto kind = static_cast<std::intptr_t>(StatusKindFor(notice.Kind));
    TMessage message{WM_DIRWATCH_STATUS,
                     kind | static_cast<std::intptr_t>(Generation) << 8,
                     static_cast<std::intptr_t>(notCovered ? notice.Error : notice.FolderCount),
                     {}};
    message.Text = Local8ToWide(notCovered ? notice.Folder : notice.Mechanism);
    FWindowHandle->Post(std::move(message));
}

// Main thread. The failure is raised against the watch as it is now: a
// watch disabled meanwhile stops nothing, a restarted one stops its new
// worker. A watch stopped by its failure keeps why, as one that could not
// start does.
void TBriskoDirWatch::RaiseThreadError(const TMessage& Message) {
    const auto* errorClass = reinterpret_cast<const TExceptionClass*>(Message.LParam);
    DW_ASSERT(errorClass != nullptr);
    FErrorMessage = WideToLocal8(Message.Text);
    if (Enabled()) {
        StopWatch();
        FStopReason = *std::static_pointer_cast<const std::string>(Message.Attachment);
        DoChange();
    }
    errorClass->Raise(FErrorMessage);
}

// Main thread.
void TBriskoDirWatch::WatchWndProc(TMessage& Message) {
    switch (Message.Msg) {
    case WM_DIRWATCH_NOTIFY: {
        const auto action = static_cast<uint32_t>(Message.WParam);
        FNotifiedEntry = !RecordsTellFolders                    ? TEntryKind::Unknown
                         : (action & FileActionFolderFlag) != 0 ? TEntryKind::Folder
                                                                : TEntryKind::File;
        FNotifiedTime = static_cast<int64_t>(Message.LParam);
        FNotifiedProcess = std::static_pointer_cast<const TChangeProcess>(Message.Attachment);
        DoNotify(static_cast<int>(action & ~FileActionFolderFlag), WideToLocal8(Message.Text));
        FNotifiedEntry = TEntryKind::Unknown;
        FNotifiedTime = 0;
        FNotifiedProcess = nullptr;
        break;
    }
    case WM_DIRWATCH_ERROR:
        RaiseThreadError(Message);
        break;
    case WM_DIRWATCH_DELIVERED:
        RunDelivered(static_cast<uint64_t>(Message.WParam));
        break;
    case WM_DIRWATCH_STATUS: {
        TDirWatchStatus status;
        status.Kind = static_cast<TDirWatchStatus::TKind>(Message.WParam & 0xFF);
        const bool aboutSetUp = status.Kind == TDirWatchStatus::TKind::SettingUp ||
                                status.Kind == TDirWatchStatus::TKind::Covered ||
                                status.Kind == TDirWatchStatus::TKind::Ready;
        if (aboutSetUp && (!Enabled() || static_cast<unsigned>(Message.WParam >> 8) != FGeneration))
            break;
        if (status.Kind == TDirWatchStatus::TKind::NotCovered) {
            status.Folder = WideToLocal8(Message.Text);
            status.Reason = DescribeNotCovered(static_cast<int>(Message.LParam));
        } else {
            status.FolderCount = static_cast<uint64_t>(Message.LParam);
            status.Mechanism = WideToLocal8(Message.Text);
        }
        DoStatus(status);
        break;
    }
    default:
        break;
    }
}
