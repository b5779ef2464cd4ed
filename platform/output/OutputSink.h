#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The output writer's descriptor, written on the system's terms: a reader
// that stops reading never holds a stop for longer than its grace.
class TOutputSink {
public:
    // How long a stop waits for a reader to take what is still queued.
    static constexpr auto StopGrace = std::chrono::milliseconds(250);

    // Raises Exception when the output cannot be prepared.
    explicit TOutputSink(int fd);
    ~TOutputSink();
    TOutputSink(const TOutputSink&) = delete;
    TOutputSink& operator=(const TOutputSink&) = delete;

    // The writer's thread only: writes the whole text; false when writing
    // ended for good: a stop's grace ran out, or ended was called once with
    // the reason (empty for a reader that went away).
    bool WriteAll(std::string_view text, const std::function<bool()>& stopping,
                  const std::function<void(const std::string& error)>& ended);
    // Any thread, once: a stop was asked; a wait for the reader ends within
    // the grace.
    void Wake();

private:
    struct TState;
    std::unique_ptr<TState> FState;
};
