#include "toolkit/QtLog.h"
#include "Testing.h"

#include "platform/loop/MessageWindow.h"
#include "runtime/Exception.h"

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

TEST(MessageWindow, MessagesFromManyThreadsArriveInPostingOrderPerThread) {
    std::vector<std::pair<int, int>> received;
    TMessageWindow window([&](TMessage& message) {
        received.emplace_back(static_cast<int>(message.WParam), static_cast<int>(message.LParam));
    });
    constexpr int PerThread = 20000;
    std::vector<std::thread> posters;
    for (int thread = 0; thread < 3; ++thread)
        posters.emplace_back([&, thread] {
            for (int i = 0; i < PerThread; ++i)
                window.Post({FirstOwnMessage, thread, i, {}});
        });
    for (auto& poster : posters)
        poster.join();
    ASSERT_TRUE(ProcessEventsUntil([&] { return received.size() == 3 * PerThread; }));
    std::vector<int> next(3, 0);
    for (auto [thread, index] : received)
        ASSERT_EQ(index, next[thread]++) << "thread " << thread;
}

TEST(MessageWindow, ABurstLeavesRoomForOtherEvents) {
    int handled = 0;
    int handledWhenTimerRan = -1;
    TMessageWindow window([&](TMessage&) {
        ++handled;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    });
    constexpr int Burst = 5000;
    for (int i = 0; i < Burst; ++i)
        window.Post({FirstOwnMessage, i, 0, {}});
    QTimer::singleShot(0, [&] { handledWhenTimerRan = handled; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return handled == Burst; }));
    EXPECT_GE(handledWhenTimerRan, 0);
    EXPECT_LT(handledWhenTimerRan, Burst) << "the burst held the event loop to the end";
}

TEST(MessageWindow, ModalLoopInsideAHandlerStillDeliversTheFollowingMessagesInOrder) {
    std::vector<int> order;
    TMessageWindow window([&](TMessage& message) {
        order.push_back(static_cast<int>(message.WParam));
        if (message.WParam == 0) {
            QEventLoop modal;
            QTimer::singleShot(50, &modal, &QEventLoop::quit);
            modal.exec();
            order.push_back(-1);
        }
    });
    for (int i = 0; i < 3; ++i)
        window.Post({FirstOwnMessage, i, 0, {}});
    ASSERT_TRUE(ProcessEventsUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, -1}));
}

TEST(MessageWindow, MessagesStillQueuedAtDestructionAreFreedNotHandled) {
    int handled = 0;
    auto window = std::make_unique<TMessageWindow>([&](TMessage&) { ++handled; });
    for (int i = 0; i < 100; ++i)
        window->Post({FirstOwnMessage, i, 0, std::u16string(100, u'x')});
    window.reset();
    ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_EQ(handled, 0);
}

// A watch raises its worker's error from its message handler: the error box
// shows it, and the messages queued behind it are still handled, in order.
TEST(MessageWindow, AHandlersErrorIsShownAndTheFollowingMessagesAreHandled) {
    TakeErrorBoxes();
    TQtLog log;
    std::vector<intptr_t> handled;
    TMessageWindow window([&](TMessage& message) {
        if (message.WParam == 2)
            throw Exception("Message 2 failed");
        handled.push_back(message.WParam);
    });
    for (intptr_t i = 1; i <= 4; ++i)
        window.Post({FirstOwnMessage, i, 0, {}});
    ASSERT_TRUE(ProcessEventsUntil([&] { return handled.size() == 3; }));
    EXPECT_EQ(handled, (std::vector<intptr_t>{1, 3, 4}));
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"Message 2 failed."});
    EXPECT_TRUE(log.TakeCritical().empty()) << "the error did not pass through Qt's code";
}
