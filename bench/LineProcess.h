#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// A watcher program run in a process of its own, its output lines counted
// by a reader thread as they come, its error output searched for the text
// it gives once it watches.
class TLineProcess {
public:
    TLineProcess(const std::vector<std::string>& command, std::string readyText);
    ~TLineProcess();
    TLineProcess(const TLineProcess&) = delete;
    TLineProcess& operator=(const TLineProcess&) = delete;

    bool WaitReady();
    int Pid() const { return FPid; }
    // The processor time the process has used so far, user and system.
    double CpuSeconds() const;
    // Waits until expected lines have come, or until their count has stood
    // still for a second; the time from start to the last line.
    double WaitForLines(long expected, std::chrono::steady_clock::time_point start);

    std::atomic<bool> Ready{false};
    std::atomic<bool> Failed{false};
    std::atomic<long> Lines{0};

private:
    void ReadErrors(int fd);
    void CountLines(int fd);

    const std::string FReadyText;
    int FPid = -1;
    std::thread FErrorReader;
    std::thread FLineReader;
};

// inotifywait -m -r on a folder, given the creations and removals, and what
// it says once it watches.
inline std::vector<std::string> InotifyWaitCommand(const std::string& folder) {
    return {"inotifywait", "-m", "-r", "-e", "create", "-e", "delete", "--format", "%e %w%f", folder};
}
inline constexpr const char* InotifyWaitReady = "Watches established";

// Creates then deletes files files in folder as fast as one thread can.
void WriteBurst(const std::string& folder, int files);
