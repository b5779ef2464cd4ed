// Change notification on Linux: the choice between the kernel's two
// interfaces, and the inotify one.
//
// fanotify marks a whole file system at once, so a watch of any size is set
// up at once and no new folder is ever unwatched for a moment; it needs the
// CAP_SYS_ADMIN capability and a file system that can be marked. inotify
// watches single folders, one watch per folder of the tree
// (InotifyTreeFollower); it serves everyone else. Either source puts its
// events to the same translator (InotifyTranslator) and reader
// (TranslatingReader).
#ifdef __linux__

#include "platform/changes/DirChanges.h"
#include "platform/changes/fanotify/FanotifySource.h"
#include "platform/changes/inotify/InotifyTreeFollower.h"
#include "platform/changes/linux/TranslatingReader.h"
#include "platform/changes/polling/PollingReader.h"
#include "platform/changes/tree/InotifyTranslator.h"
#include "platform/changes/tree/TreePaths.h"
#include "platform/changes/tree/WatchTree.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/eventfd.h>
#include <sys/inotify.h>
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

// inotify's events for the tree: one watch per folder, kept by the follower.
class TInotifySource final : public TEventSource {
public:
    TInotifySource(TWatchTree& tree, TPendingChanges& queue, TFd inotify, dev_t device,
                   TExcludedFolders& excluded, const std::atomic<bool>& interrupted)
        : FTree(tree), FInotify(std::move(inotify)), FDevice(device),
          FFollower(tree, queue, FInotify.Get(), excluded, interrupted) {}

    int Descriptor() const override { return FInotify.Get(); }
    int Start(TInotifyTranslator& translator, bool subTree, uint32_t filter, const std::string& givenPath) override;
    void Translate(const char* data, size_t length, TInotifyTranslator& translator) override;
    TFolderKeeper& Keeper() override { return FFollower; }
    std::string ProcessesUnknown() const override { return "processes unknown: inotify does not tell them"; }

private:
    void GuardRootPath(TInotifyTranslator& translator, const std::string& givenPath);

    TWatchTree& FTree;
    TFd FInotify;
    dev_t FDevice;
    TTreeFollower FFollower;
};

int TInotifySource::Start(TInotifyTranslator& translator, bool subTree, uint32_t filter,
                          const std::string& givenPath) {
    const uint32_t mask = InotifyMaskFor(filter);
    // The watched folder itself may be reached through a symbolic link.
    int wd = inotify_add_watch(FInotify.Get(), FTree.RootPath().c_str(), mask & ~IN_DONT_FOLLOW);
    if (wd < 0)
        return errno;
    FTree.AddRoot(wd);
    GuardRootPath(translator, givenPath);
    FFollower.Start(filter, mask, subTree, FDevice);
    return 0;
}

// Watches the folders on the way to the watched one, both along the path as
// given and along the path without links, for the names of the next parts:
// when one of them is renamed, removed or replaced, the watched path leads
// elsewhere, and the watch must end rather than report paths that lie.
void TInotifySource::GuardRootPath(TInotifyTranslator& translator, const std::string& givenPath) {
    const std::string given = AbsolutePath(givenPath);
    constexpr uint32_t guardMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
    for (const std::string& path : {given, CanonicalPath(given)})
        for (const auto& [folder, next] : StepsTo(path)) {
            int wd = inotify_add_watch(FInotify.Get(), folder.c_str(), guardMask);
            if (wd >= 0 && wd != FTree.Root())
                translator.AddGuard(wd, next);
        }
}

void TInotifySource::Translate(const char* data, size_t length, TInotifyTranslator& translator) {
    for (const char* at = data; at < data + length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        translator.Translate({event->wd, event->mask, event->cookie, event->len ? event->name : ""});
        at += sizeof(inotify_event) + event->len;
    }
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

std::optional<TReaderBasics> PrepareReader(const std::string& path, TOpenFailure& failure) {
    TReaderBasics basics;
    // The folder is opened only to prove that it can be: a descriptor kept
    // open would hold its removal back, and the watch would not learn of it.
    TFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

std::unique_ptr<TDirChangeReader> inotify::OpenFanotifyReader(const std::string& path, TOpenFailure& failure,
                                                              std::string& whyNot, const std::string& mechanism) {
    std::optional<TReaderBasics> basics = PrepareReader(path, failure);
    if (!basics)
        return nullptr;
    TFanotifyChoice fanotify = ChooseFanotify(path);
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
    auto inotify = std::make_shared<TFd>(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify->Get() < 0) {
        failure.ErrorCode = WindowsErrorFor(errno, path);
        return nullptr;
    }
    const dev_t device = basics->Status.st_dev;
    auto makeSource = [inotify, device](TWatchTree& tree, TPendingChanges& queue, TExcludedFolders& excluded,
                                        const std::atomic<bool>& interrupted) -> std::unique_ptr<TEventSource> {
        return std::make_unique<TInotifySource>(tree, queue, std::move(*inotify), device, excluded, interrupted);
    };
    return std::make_unique<TTranslatingReader>(path, makeSource, std::move(basics->Wake), std::move(basics->Mounts),
                                                std::move(mechanism));
}

#endif
