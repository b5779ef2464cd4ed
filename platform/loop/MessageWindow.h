#pragma once

#include "platform/loop/MessageLoop.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The first message number free for a program's own messages (the
// system's WM_USER).
constexpr unsigned FirstOwnMessage = 0x0400;

// One posted message: its number, two parameters and an owned text (the
// heap copy of a name, freed with the message whether or not it is handled).
struct TMessage {
    unsigned Msg = 0;
    std::intptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::u16string Text;
    // Anything else the message carries to its handler, freed with it.
    std::shared_ptr<const void> Attachment = nullptr;
};

// Reports an error that a message's handler raised; called inside the catch
// block, so it may raise the error again to look at it. The application
// sets it once (the error box); until then such an error ends the program,
// for nothing may unwind through the event loop that delivered the message.
using TMessageErrorReporter = void (*)() noexcept;
void SetMessageErrorReporter(TMessageErrorReporter reporter);

// A hidden message sink that belongs to the thread that creates it (the main
// thread). Post() may be called from any thread: it never waits for the
// owning thread, and messages are handled on the owning thread in the order
// posted, by the main thread's message loop, so also while a modal dialog
// runs.
//
// A long run of messages is handled in slices of a few milliseconds, so that
// painting and input go on between them during a burst. Messages still queued
// when the window is destroyed are freed, never handled. An error raised by
// the handler is shown in the error box, and the next message follows.
class TMessageWindow {
public:
    using TWndProc = std::function<void(TMessage& message)>;

    explicit TMessageWindow(TWndProc wndProc);
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;

    void Post(TMessage message);
    // Posts several messages at once, in their order: one hand-over for all.
    void PostAll(std::vector<TMessage>& messages);

private:
    // The queue outlives the window while the loop handles it, so that a
    // handler may destroy the window; a wake-up for a window gone finds it
    // closed, or gone too, and does nothing.
    struct TQueue {
        TWndProc WndProc;
        std::mutex Mutex;
        std::deque<TMessage> Messages;
        bool WakePosted = false;
        bool Closed = false; // the window is gone: nothing more is handled
    };
    static void PostWake(const std::shared_ptr<TQueue>& queue, TMessageLoop& loop);
    static bool TakeNext(const std::shared_ptr<TQueue>& queue, TMessageLoop& loop, TMessage& message);
    static void HandleQueued(const std::shared_ptr<TQueue>& queue, TMessageLoop& loop);

    TMessageLoop& FLoop;
    std::shared_ptr<TQueue> FQueue;
};
