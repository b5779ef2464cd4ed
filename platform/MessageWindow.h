#pragma once

#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// WM_USER: the first message number free for a program's own messages.
constexpr unsigned WM_USER = 0x0400;

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
// posted, by the ordinary event loop, so also while a modal dialog runs.
//
// A long run of messages is handled in slices of a few milliseconds, so that
// painting and input go on between them during a burst. Messages still queued
// when the window is destroyed are freed, never handled. An error raised by
// the handler is shown in the error box, and the next message follows.
class TMessageWindow : public QObject {
public:
    using TWndProc = std::function<void(TMessage& message)>;

    explicit TMessageWindow(TWndProc wndProc);
    ~TMessageWindow() override;

    void Post(TMessage message);
    // Posts several messages at once, in their order: one hand-over for all.
    void PostAll(std::vector<TMessage>& messages);

protected:
    bool event(QEvent* event) override;

private:
    void PostWake();
    bool TakeNext(TMessage& message);
    void HandleQueued();

    TWndProc FWndProc;
    std::mutex FMutex;
    std::deque<TMessage> FQueue;
    bool FWakePosted = false;
};
