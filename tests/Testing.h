#pragma once

#include "toolkit/Dialogs.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A folder of its own for one test, removed with everything in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& relative) const { return FPath + "/" + relative; }

    void MakeDir(const std::string& relative) const;
    void WriteFile(const std::string& relative, const std::string& content = "x") const;

private:
    std::string FPath;
};

// Makes a folder read-only while it lives, also for root: a read-only bind
// mount of itself where one can be made, else its write bits taken away.
class TReadOnlyFolder {
public:
    explicit TReadOnlyFolder(std::string path);
    ~TReadOnlyFolder();
    TReadOnlyFolder(const TReadOnlyFolder&) = delete;
    TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;

    // False where nothing stops this process from writing there (root
    // without the right to mount); a test then skips.
    bool Effective() const;

private:
    std::string FPath;
    bool FMounted = false;
};

// A tiny file system of its own (tmpfs) mounted on a folder while it
// lives, for tests of a full disk. Only root may mount: Mounted() is false
// elsewhere, and a test then skips.
class TSmallFileSystem {
public:
    explicit TSmallFileSystem(std::string path, int kibibytes = 256);
    ~TSmallFileSystem();
    TSmallFileSystem(const TSmallFileSystem&) = delete;
    TSmallFileSystem& operator=(const TSmallFileSystem&) = delete;

    bool Mounted() const { return FMounted; }
    // Takes every free block, so that the next write of any size fails.
    void Fill() const;

private:
    std::string FPath;
    bool FMounted = false;
};

// An ext4 file system of its own, made in an image in a folder of the
// test and mounted on Mount() while it lives, for what only a real disk
// file system shows (a damaged folder). Only root may: Mounted() is false
// elsewhere, or where the tools are missing, and a test then skips.
class TLoopFileSystem {
public:
    TLoopFileSystem();
    ~TLoopFileSystem();
    TLoopFileSystem(const TLoopFileSystem&) = delete;
    TLoopFileSystem& operator=(const TLoopFileSystem&) = delete;

    bool Mounted() const { return FMounted; }
    const std::string& Mount() const { return FMount; }
    // Overwrites the first block of a folder's entries (relative to Mount())
    // with noise, as a failing disk might: listing it then fails part way.
    bool Damage(const std::string& folder);

private:
    bool Attach();
    TTempDir FPlace;
    std::string FImage, FMount;
    bool FMounted = false;
};

// The whole content of a file, as bytes; empty when it cannot be read.
std::string ReadAll(const std::string& path);

// Runs check in a child process as an ordinary user (nobody): what root
// may do regardless must be tried as someone who may not. The child's exit
// code: 0 when check held, 1 when not, 2 when it could not become that user.
int RunAsOrdinaryUser(const std::function<bool()>& check);

// Sets an environment variable while it lives, then puts back what was there.
class TEnvironmentScope {
public:
    TEnvironmentScope(std::string name, const std::string& value);
    ~TEnvironmentScope();
    TEnvironmentScope(const TEnvironmentScope&) = delete;
    TEnvironmentScope& operator=(const TEnvironmentScope&) = delete;

private:
    std::string FName;
    std::optional<std::string> FBefore;
};

// Whether watches of folder use fanotify in this run: the engine tests run
// once for each of the kernel's interfaces, chosen by SENTREL_CHANGE_BACKEND.
bool FanotifyServes(const std::string& folder);

// Runs the event loop until the condition holds or the time is up; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs the event loop for a while, for tests that show that nothing arrives.
void ProcessEventsFor(std::chrono::milliseconds duration);

// Error boxes the program showed since the last call, each its full text.
std::vector<std::string> TakeErrorBoxes();

// The tests' standing answers: error boxes are recorded, every other dialog
// is left to the test. A test that answers more starts from these and puts
// them back when it ends.
TDialogAnswers TestDialogAnswers();
