#pragma once

#include "EngineTesting.h"
#include "toolkit/Dialogs.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// Runs check in a child process as an ordinary user (nobody): what root
// may do regardless must be tried as someone who may not. The child's exit
// code: 0 when check held, 1 when not, 2 when it could not become that user.
int RunAsOrdinaryUser(const std::function<bool()>& check);

// Sets an environment variable while it lives, then puts back what was there.
class TEnvironmentScope {
public:
    // value: none unsets the variable.
    TEnvironmentScope(std::string name, const std::optional<std::string>& value);
    ~TEnvironmentScope();
    TEnvironmentScope(const TEnvironmentScope&) = delete;
    TEnvironmentScope& operator=(const TEnvironmentScope&) = delete;

private:
    std::string FName;
    std::optional<std::string> FBefore;
};

// The tests' standing answers: error boxes are recorded, questions are
// recorded and answered Yes, every other dialog is left to the test. A test
// that answers more starts from these and puts them back when it ends.
TDialogAnswers TestDialogAnswers();
// The questions asked so far; a test clears them before it looks.
std::vector<std::string>& Questions();
