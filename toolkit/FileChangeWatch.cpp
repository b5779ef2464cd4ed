#include "toolkit/FileChangeWatch.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <sys/stat.h>

namespace {
// Long enough for an editor's save (write, sync, rename) to end.
constexpr int SettleMs = 150;
} // namespace

TFileChangeWatch::TFileChangeWatch(std::string path, std::function<void()> onChange)
    : FPath(std::move(path)), FOnChange(std::move(onChange)),
      FWatcher(std::make_unique<QFileSystemWatcher>()), FSettle(new QTimer(this)) {
    FSettle->setSingleShot(true);
    FSettle->setInterval(SettleMs);
    connect(FSettle, &QTimer::timeout, this, [this] { Settled(); });
    const auto changed = [this] { FSettle->start(); };
    connect(FWatcher.get(), &QFileSystemWatcher::fileChanged, this, changed);
    connect(FWatcher.get(), &QFileSystemWatcher::directoryChanged, this, changed);
    Follow();
    Acknowledge();
}

TFileChangeWatch::~TFileChangeWatch() = default;

void TFileChangeWatch::Acknowledge() {
    FKnown = Stamp();
}

// A file replaced by a rename is a new file: it is watched anew.
void TFileChangeWatch::Follow() {
    const QString file = QString::fromStdString(FPath);
    const QString folder = QFileInfo(file).absolutePath();
    if (!FWatcher->directories().contains(folder))
        FWatcher->addPath(folder);
    if (!FWatcher->files().isEmpty())
        FWatcher->removePaths(FWatcher->files());
    if (QFileInfo::exists(file))
        FWatcher->addPath(file);
}

void TFileChangeWatch::Settled() {
    Follow();
    const std::string now = Stamp();
    if (now == FKnown)
        return;
    FKnown = now;
    FOnChange();
}

// What tells one state of the file from another: its identity, size and
// times to the nanosecond; empty when there is no file.
std::string TFileChangeWatch::Stamp() const {
    struct stat status {};
    if (::stat(FPath.c_str(), &status) != 0)
        return {};
    return std::to_string(status.st_dev) + ':' + std::to_string(status.st_ino) + ':' +
           std::to_string(status.st_size) + ':' + std::to_string(status.st_mtim.tv_sec) + '.' +
           std::to_string(status.st_mtim.tv_nsec) + ':' + std::to_string(status.st_ctim.tv_sec) + '.' +
           std::to_string(status.st_ctim.tv_nsec);
}
