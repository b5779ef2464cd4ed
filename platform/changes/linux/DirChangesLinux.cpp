// Change notification on Linux: the choice between the kernel's two
// interfaces, and polling where the kernel is told of no change.
//
// fanotify marks a whole file system at once, so a watch of any size is set
// up at once and no new folder is ever unwatched for a moment; it needs the
// CAP_SYS_ADMIN capability and a file system that can be marked. inotify
// watches single folders, one watch per folder of the tree
// (InotifyTreeFollower); it serves everyone else. Either source puts its
// events to the same translator (InotifyTranslator) and reader
// (TranslatingReader).
#ifdef __linux__

#include "platform/changes/linux/DirChangesLinux.h"

#include "platform/changes/fanotify/FanotifySource.h"
#include "platform/changes/inotify/InotifySource.h"
#include "platform/changes/linux/TranslatingReader.h"
#include "platform/changes/polling/PollingReader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

using namespace inotify;

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Which interface the user asked for, if any: "inotify", "fanotify" or
// "polling".
std::string ChosenBackend() {
    const char* chosen = std::getenv("SENTREL_CHANGE_BACKEND");
    return chosen ? chosen : "";
}

} // namespace

uint32_t WindowsErrorFor(int error, const std::string& path) {
    switch (error) {
    case ENOENT:
        return IsDirectory(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR: {
        struct stat st;
        bool isFile = ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
        return isFile ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    }
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::string DescribeNotCovered(int error) {
    if (error == OtherFileSystem)
        return "another file system";
    if (error == NotReachable)
        return "not reachable: its file system does not answer; polling goes on";
    if (error == LeadsElsewhere)
        return "the path now leads to another folder than the one opened";
    if (error == ENOSPC)
        return "the system's limit on watched folders is reached; folders after this one are "
               "not watched either (raise fs.inotify.max_user_watches)";
    return std::strerror(error);
}

namespace {

// What every reader of a folder needs: the proof that the folder opens, a
// wake-up and the mount table.
struct TReaderBasics {
    struct stat Status;
    TFd Wake;
    TFd Mounts;
};

// opened: the folder opened already, else -1.
std::optional<TReaderBasics> PrepareReader(const std::string& path, TOpenFailure& failure, int opened = -1) {
    TReaderBasics basics;
    // The folder is opened only to prove that it can be: a descriptor kept
    // open would hold its removal back, and the watch would not learn of it.
    TFd folder(opened >= 0 ? ::fcntl(opened, F_DUPFD_CLOEXEC, 0) : ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0 || ::fstat(folder.Get(), &basics.Status) != 0) {
        failure.ErrorCode = WindowsErrorFor(errno, path);
        return std::nullopt;
    }
    basics.Wake = TFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (basics.Wake.Get() < 0) {
        failure.ErrorCode = WindowsErrorFor(errno, path);
        return std::nullopt;
    }
    // Without it, mounts inside the tree are still found by the walk; only
    // their coming and going later goes unseen.
    basics.Mounts = TFd(::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC));
    return basics;
}

} // namespace

std::unique_ptr<TDirChangeReader> inotify::OpenFanotifyReader(const std::string& path,
                                                              std::shared_ptr<TFanotifyServed> served,
                                                              TOpenFailure& failure, std::string& whyNot,
                                                              const std::string& mechanism) {
    std::optional<TReaderBasics> basics = PrepareReader(path, failure, served ? served->Folder.Get() : -1);
    if (!basics)
        return nullptr;
    TFanotifyChoice fanotify = ChooseFanotify(path, std::move(served));
    whyNot = fanotify.WhyNot;
    if (!fanotify.Maker)
        return nullptr;
    return std::make_unique<TTranslatingReader>(path, fanotify.Maker, std::move(basics->Wake),
                                                std::move(basics->Mounts), mechanism);
}

std::unique_ptr<TDirChangeReader> TDirChangeReader::OpenNative(const std::string& directory, TOpenFailure& failure) {
    const std::string path = directory.empty() ? "." : directory;
    std::optional<TReaderBasics> basics = PrepareReader(path, failure);
    if (!basics)
        return nullptr;
    // What the kernel is never told of can only be polled for.
    if (std::optional<std::string> kind = PolledFileSystemKind(path))
        return std::make_unique<TPollingReader>(path, *kind);
    if (ChosenBackend() == "polling")
        return std::make_unique<TPollingReader>(path, "chosen by SENTREL_CHANGE_BACKEND");
    std::string mechanism = "inotify: chosen by SENTREL_CHANGE_BACKEND";
    if (ChosenBackend() != "inotify") {
        TFanotifyChoice fanotify = ChooseFanotify(path);
        if (fanotify.Maker)
            return std::make_unique<TTranslatingReader>(path, fanotify.Maker, std::move(basics->Wake),
                                                        std::move(basics->Mounts), "fanotify");
        mechanism = "inotify: " + fanotify.WhyNot;
    }
    int error = 0;
    TEventSourceMaker makeSource = InotifySourceMaker(basics->Status.st_dev, error);
    if (!makeSource) {
        failure.ErrorCode = WindowsErrorFor(error, path);
        return nullptr;
    }
    return std::make_unique<TTranslatingReader>(path, makeSource, std::move(basics->Wake), std::move(basics->Mounts),
                                                std::move(mechanism));
}

#endif
