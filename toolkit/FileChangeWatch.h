#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QFileSystemWatcher;
class QTimer;

// Tells when a file was written by someone else: by a text editor that
// saves through a new file and a rename, by another program, or by hand.
// The file's folder is watched too, so a file replaced whole, or made
// after the watch began, is still followed. Changes that come in a burst
// (an editor's save) are told once, after they have settled.
//
// Main thread only. OnChange runs from the event loop and must raise
// nothing; it is not called for a file whose size, times and identity are
// those last known (see Acknowledge).
class TFileChangeWatch : public QObject {
public:
    TFileChangeWatch(std::string path, std::function<void()> onChange);
    ~TFileChangeWatch() override;

    // Takes the file as it is now as known: a write of the program's own is
    // not told as a change.
    void Acknowledge();

private:
    void Follow();
    void Settled();
    std::string Stamp() const;

    std::string FPath;
    std::function<void()> FOnChange;
    std::string FKnown;
    std::unique_ptr<QFileSystemWatcher> FWatcher;
    QTimer* FSettle;
};
