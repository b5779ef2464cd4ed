#ifdef __linux__

#include "platform/changes/inotify/InotifySource.h"

#include "platform/changes/inotify/InotifyTreeFollower.h"
#include "platform/changes/tree/TreePaths.h"
#include "platform/system/FileDescriptor.h"

#include <cerrno>
#include <sys/inotify.h>
#include <utility>

namespace inotify {

namespace {

class TInotifySource final : public TEventSource {
public:
    TInotifySource(TWatchTree& tree, TPendingChanges& queue, TFd inotify, dev_t device, TExcludedFolders& excluded,
                   const std::atomic<bool>& interrupted)
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

int TInotifySource::Start(TInotifyTranslator& translator, bool subTree, uint32_t filter, const std::string& givenPath) {
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
    constexpr uint32_t guardMask =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
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

} // namespace

TEventSourceMaker InotifySourceMaker(dev_t device, int& error) {
    auto inotify = std::make_shared<TFd>(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify->Get() < 0) {
        error = errno;
        return nullptr;
    }
    return [inotify, device](TWatchTree& tree, TPendingChanges& queue, TExcludedFolders& excluded,
                             const std::atomic<bool>& interrupted) -> std::unique_ptr<TEventSource> {
        return std::make_unique<TInotifySource>(tree, queue, std::move(*inotify), device, excluded, interrupted);
    };
}

} // namespace inotify

#endif
