// The engine's tests where the toolkit is not built (Windows): the
// program's own event loop runs the main thread's messages, and an error
// a message handler raises is kept for the test, as the window's error box
// would show it.
#include "EngineTesting.h"

#include "platform/loop/EventLoop.h"
#include "platform/loop/MessageWindow.h"

#include <exception>
#include <gtest/gtest.h>
#include <utility>

namespace {
std::vector<std::string>& HandlerErrors() {
    static std::vector<std::string> errors;
    return errors;
}

void KeepHandlerError() noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        HandlerErrors().push_back(error.what());
    } catch (...) {
        HandlerErrors().push_back("Unknown error");
    }
}
} // namespace

std::vector<std::string> TakeErrorBoxes() {
    return std::exchange(HandlerErrors(), {});
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    TEventLoop loop;
    const TMainMessageLoopScope mainLoop(loop);
    SetMessageErrorReporter(&KeepHandlerError);
    return RUN_ALL_TESTS();
}
