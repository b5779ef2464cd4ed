#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

class TOutputSink;

// The program's standard output, as a descriptor.
inline constexpr int StandardOutput = 1;

// Writes lines to a file descriptor from a thread of its own, so that the
// program making them never waits for their reader: what is ready goes out
// in one write, a reader that stops reading costs a bounded amount of
// memory, and a stop ends the program at once however full the pipe is.
//
// Past the limit of unwritten bytes, lines are dropped until everything
// queued before them is written; then the lines LostLines makes for the
// folders whose lines were dropped (with their counts) go out first.
class TOutputWriter {
public:
    using TDropped = std::map<std::string, uint64_t>;
    struct THandlers {
        // Both run on the writer's thread, must raise nothing and must not
        // call Write.
        std::function<std::string(const TDropped& dropped)> LostLines;
        // Once, when writing ended: empty for a reader that went away, else
        // the system's reason. Nothing is written after it.
        std::function<void(const std::string& error)> Ended;
    };

    TOutputWriter(int fd, std::size_t limit, THandlers handlers);
    // Writes what is still queued while the descriptor takes it within a
    // short grace, then gives up on the rest. A write that the system lets
    // no stop cancel (under Wine) is left to the end of the program, and
    // calls no handler any more.
    ~TOutputWriter();
    TOutputWriter(const TOutputWriter&) = delete;
    TOutputWriter& operator=(const TOutputWriter&) = delete;

    // Queues whole lines that belong to folder's watch; false when they were
    // dropped.
    bool Write(std::string_view lines, const std::string& folder);

    // The regular file the descriptor writes to, by its full path; none for
    // a pipe, a terminal or a socket.
    static std::optional<std::string> FileOf(int fd);
    // Whether the descriptor writes to a regular file, named or not.
    static bool IsFile(int fd);

private:
    // What the writer's thread uses: its own, so that a writer the system
    // does not let go of can be left to end with the program.
    struct TState;
    std::shared_ptr<TState> FState;
    std::thread FThread;
};
