#pragma once

// What the engine's tests need on every system the engine is built for.
#include <chrono>
#include <functional>
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

// A name below a watched folder as this system's change records give it:
// "sub/a.txt" becomes "sub\a.txt" on Windows.
std::string SystemName(std::string name);

// The whole content of a file, as bytes; empty when it cannot be read.
std::string ReadAll(const std::string& path);

// Runs the main thread's message loop until the condition holds or the
// time is up; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs the message loop for a while, for tests that show that nothing arrives.
void ProcessEventsFor(std::chrono::milliseconds duration);

// The errors that message handlers raised since the last call, each its
// full text (shown in error boxes by the window).
std::vector<std::string> TakeErrorBoxes();

// Whether watches of folder use fanotify in this run: the engine tests run
// once for each of the kernel's interfaces, chosen by SENTREL_CHANGE_BACKEND.
bool FanotifyServes(const std::string& folder);

// The parts of a test that cannot run on this machine (no root to mount, a
// folder root may write to anyway): the test runs the rest and then ends as
// skipped, naming them, so that a run that passes never counts a part that
// did not run.
class TPartsNotRun {
public:
    void Add(std::string part) { FParts.push_back(std::move(part)); }
    bool Empty() const { return FParts.empty(); }
    std::string Said() const;

private:
    std::vector<std::string> FParts;
};
#define SKIP_PARTS_NOT_RUN(parts)                                                                                      \
    if ((parts).Empty()) {                                                                                             \
    } else                                                                                                             \
        GTEST_SKIP() << "not run here: " << (parts).Said()

// Whether the tests run under Wine, whose change reading differs from
// Windows' in places: a test meets such a place with KnownWineDifference.
bool RunsUnderWine();

// Where Wine's change reading falls short of Windows': it reports nothing
// from the sub-folders that were there when the read began, nor from those
// moved in or made and filled at once, only from those it saw made.
inline constexpr const char* WineSubTreeGap = "changes below sub-folders it did not see made are not reported";

// Where Wine's file system falls short of Windows': a folder that a
// program removes while another holds it open stays until the last holder
// lets it go, so a watch of it never sees it go.
inline constexpr const char* WineRemovalGap = "a folder removed while watched stays until the watch lets it go";

// Wine keeps Windows names as UTF-8 on Linux, which cannot hold a lone
// surrogate: such a file cannot be made.
inline constexpr const char* WineLoneSurrogateGap = "no file name may hold a lone surrogate";

// Ends a test that would fail only for a known difference of Wine from
// Windows, naming it, so that the run shows it as skipped with the reason
// instead of weakening what the test asks of Windows.
#define KNOWN_WINE_DIFFERENCE(why)                                                                                     \
    if (!RunsUnderWine()) {                                                                                            \
    } else                                                                                                             \
        GTEST_SKIP() << "known difference of Wine from Windows: " << why
