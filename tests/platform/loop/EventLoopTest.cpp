// The program's own event loop, which runs the console's messages and the
// engine's tests on Windows, behind the same message windows the toolkit's
// loop runs in the window.
#include "EngineTesting.h"

#include "platform/loop/EventLoop.h"
#include "platform/loop/MessageWindow.h"

#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

TEST(EventLoop, RunsEachThreadsMessagesInOrderUntilExitAndDropsAGoneWindowsRest) {
    TEventLoop loop;
    const TMainMessageLoopScope mainLoop(loop);
    constexpr int Threads = 4, PerThread = 5000;
    std::vector<int> next(Threads, 0);
    int outOfOrder = 0, handled = 0;
    auto window = std::make_unique<TMessageWindow>([&](TMessage& message) {
        int& expected = next[static_cast<std::size_t>(message.WParam)];
        outOfOrder += message.LParam != expected;
        expected = static_cast<int>(message.LParam) + 1;
        if (++handled == Threads * PerThread)
            loop.Exit(7);
    });
    std::vector<std::thread> posters;
    for (int thread = 0; thread < Threads; ++thread)
        posters.emplace_back([&, thread] {
            for (int i = 0; i < PerThread; ++i)
                window->Post({FirstOwnMessage, thread, i, {}});
        });
    EXPECT_EQ(loop.Run(), 7);
    for (std::thread& poster : posters)
        poster.join();
    EXPECT_EQ(handled, Threads * PerThread);
    EXPECT_EQ(outOfOrder, 0);

    // A handler that ends its window's owner: what was queued behind is
    // freed, never handled, and the loop goes on with other work.
    int afterDestruction = 0;
    window = std::make_unique<TMessageWindow>([&](TMessage& message) {
        if (message.WParam == 0)
            window.reset();
        else
            ++afterDestruction;
    });
    for (int i = 0; i < 3; ++i)
        window->Post({FirstOwnMessage, i, 0, {}});
    loop.Post([&] { loop.Exit(0); });
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_EQ(afterDestruction, 0);
    EXPECT_EQ(window, nullptr);
}

// Exit from another thread ends a loop that waits for work; what is posted
// after stays queued for the next run.
TEST(EventLoop, ExitFromAnotherThreadEndsAnIdleRunAndKeepsLaterWork) {
    TEventLoop loop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.Exit(3);
    });
    EXPECT_EQ(loop.Run(), 3);
    stopper.join();
    bool ran = false;
    loop.Post([&] { ran = true; });
    loop.ProcessFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(ran);
}
