#include "platform/output/OutputSink.h"
#include "platform/output/OutputWriter.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <stdlib.h>
#include <thread>
#include <unistd.h>

namespace {
// What a stop may take: a bounded grace, far from the tens of seconds (or
// forever) that waiting on the reader would, yet loose enough for a loaded
// machine or a sanitizer build.
constexpr auto StopBound = 20 * TOutputSink::StopGrace;

struct TPipe {
    int Ends[2] = {-1, -1};
    TPipe() { EXPECT_EQ(pipe2(Ends, O_CLOEXEC), 0); }
    ~TPipe() {
        for (int end : Ends)
            if (end >= 0)
                close(end);
    }
    // Everything that arrives until nothing has come for a while.
    std::string ReadAvailable() {
        std::string text;
        char buffer[65536];
        pollfd ready{Ends[0], POLLIN, 0};
        while (poll(&ready, 1, 300) > 0) {
            const ssize_t got = read(Ends[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }
};

TOutputWriter::THandlers LostLinesOnly() {
    return {[](const TOutputWriter::TDropped& dropped) {
                std::string lines;
                for (const auto& [folder, count] : dropped)
                    lines += "lost " + std::to_string(count) + " of " + folder + "\n";
                return lines;
            },
            [](const std::string&) {}};
}

// A reader that stops reading costs at most the limit; once it has taken
// everything queued, the gap is said before any later line.
TEST(OutputWriter, AStuckReaderCostsAtMostTheLimitAndTheGapIsSaid) {
    TPipe pipe;
    const std::string line(99, 'x');
    constexpr size_t Limit = 200 * 1000;
    std::string expected;
    {
        TOutputWriter writer(pipe.Ends[1], Limit, LostLinesOnly());
        size_t taken = 0, dropped = 0, droppedOfA = 0;
        for (int i = 0; i < 10000; ++i) {
            const bool ofA = i % 2;
            const bool queued = writer.Write(line + "\n", ofA ? "/a" : "/b");
            taken += queued;
            dropped += !queued;
            droppedOfA += !queued && ofA;
        }
        EXPECT_GT(dropped, 0u);
        EXPECT_LE(taken * 100, Limit + 65536 * 2) << "the pipe's own buffer and the limit, no more";
        const std::string before = pipe.ReadAvailable();
        const size_t lost = before.find("lost ");
        ASSERT_NE(lost, std::string::npos);
        EXPECT_EQ(lost, taken * 100) << "the lost lines come after all that was queued";
        EXPECT_EQ(before.substr(lost), "lost " + std::to_string(droppedOfA) + " of /a\nlost " +
                                           std::to_string(dropped - droppedOfA) + " of /b\n");
        EXPECT_TRUE(writer.Write("after\n", "/a"));
        EXPECT_EQ(pipe.ReadAvailable(), "after\n");
    }
}

// A stop while the reader takes nothing ends within the grace, through a
// pipe and through a terminal alike.
TEST(OutputWriter, AStopIsNotHeldByAReaderThatTakesNothing) {
    TPipe pipe;
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const int terminalEnd = open(ptsname(terminal), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminalEnd, 0);
    for (const auto& [name, fd] : {std::pair<const char*, int>{"pipe", pipe.Ends[1]}, {"terminal", terminalEnd}}) {
        const auto start = std::chrono::steady_clock::now();
        {
            TOutputWriter writer(fd, 1 << 20, LostLinesOnly());
            for (int i = 0; i < 10000; ++i)
                writer.Write(std::string(99, 'y') + "\n", "/a");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, StopBound) << name;
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << name << ": the shared descriptor stays as it was";
    }
    close(terminalEnd);
    close(terminal);
}

// The grace counts from the stop for everything queued, however the reader
// trickles: a page now and then does not stretch it.
TEST(OutputWriter, AStopIsNotStretchedByAReaderThatTakesLittle) {
    TPipe pipe;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char page[4096];
        while (reading) {
            [[maybe_unused]] const ssize_t got = read(pipe.Ends[0], page, sizeof page);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    {
        TOutputWriter writer(pipe.Ends[1], 4 << 20, LostLinesOnly());
        for (int i = 0; i < 20000; ++i)
            writer.Write(std::string(99, 'z') + "\n", "/a");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, StopBound);
    reading = false;
    close(pipe.Ends[1]);
    pipe.Ends[1] = -1;
    reader.join();
}

TEST(OutputWriter, AReaderThatLeftEndsWritingOnceAndQuietly) {
    TPipe pipe;
    std::mutex mutex;
    std::vector<std::string> ended;
    close(pipe.Ends[0]);
    pipe.Ends[0] = -1;
    {
        TOutputWriter writer(pipe.Ends[1], 1 << 20,
                             {[](const TOutputWriter::TDropped&) { return std::string(); },
                              [&](const std::string& error) {
                                  std::lock_guard lock(mutex);
                                  ended.push_back(error);
                              }});
        writer.Write("one\n", "/a");
        for (int i = 0; i < 100 && writer.Write("more\n", "/a"); ++i)
            usleep(10000);
        EXPECT_FALSE(writer.Write("late\n", "/a"));
    }
    EXPECT_EQ(ended, std::vector<std::string>{""});
}

TEST(OutputWriter, OnlyARegularFileIsNamed) {
    TPipe pipe;
    EXPECT_FALSE(TOutputWriter::FileOf(pipe.Ends[1]));
    std::string name = std::filesystem::canonical(std::filesystem::temp_directory_path()) / "sentrel-output-XXXXXX";
    const int file = mkstemp(name.data());
    ASSERT_GE(file, 0);
    EXPECT_EQ(TOutputWriter::FileOf(file), name);
    close(file);
    unlink(name.c_str());
}
} // namespace
