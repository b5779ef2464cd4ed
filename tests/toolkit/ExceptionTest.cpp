#include "Testing.h"
#include "QtLog.h"

#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "runtime/Exception.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
class EMine : public TExceptionOf<EMine> {
public:
    using TExceptionOf::TExceptionOf;
};
} // namespace

TEST(Exception, AssertionTextNamesUnitAndLine) {
    try {
        Assert(false, "BrkDirWatch", 42);
        FAIL() << "no assertion failure raised";
    } catch (const EAssertionFailed& failure) {
        EXPECT_EQ(failure.Message(), "Assertion failure (BrkDirWatch, line 42)");
    }
    EXPECT_NO_THROW(Assert(true, "BrkDirWatch", 1));
}

TEST(Exception, ClassRaisesTheSameKindAgain) {
    const TExceptionClass* kind = nullptr;
    try {
        throw EMine("first");
    } catch (const Exception& error) {
        kind = &error.Class();
    }
    EXPECT_THROW(kind->Raise("again"), EMine);
    EXPECT_THROW(Exception("plain").Class().Raise("x"), Exception);
}

TEST(ErrorBox, FullStopAppendedAfterLettersAndDigitsOnly) {
    EXPECT_EQ(ErrorBoxText("GetOverlappedResult call failed"), "GetOverlappedResult call failed.");
    EXPECT_EQ(ErrorBoxText("Error code: 2"), "Error code: 2.");
    EXPECT_EQ(ErrorBoxText("ReadDirectoryChanges call failed."), "ReadDirectoryChanges call failed.");
    EXPECT_EQ(ErrorBoxText("Really?"), "Really?.");
    EXPECT_EQ(ErrorBoxText("done!"), "done!");
    EXPECT_EQ(ErrorBoxText("(a, b)"), "(a, b)");
    EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(Application, ErrorRaisedByAnEventHandlerIsShownAndTheProgramGoesOn) {
    TakeErrorBoxes();
    bool later = false;
    QTimer::singleShot(0, [] { throw EMine("Something broke"); });
    QTimer::singleShot(5, [&] { later = true; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return later; }));
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"Something broke."});
    EXPECT_EQ(TApplication::Title(), "Sentrel");
}

TEST(Application, RunHandlerShowsTheErrorAndReturns) {
    TakeErrorBoxes();
    bool after = false;
    RunHandler([] { throw EMine("Handler broke"); });
    RunHandler([] { throw 42; });
    RunHandler([&] { after = true; });
    EXPECT_TRUE(after);
    EXPECT_EQ(TakeErrorBoxes(), (std::vector<std::string>{"Handler broke.", "Unknown error."}));
}

TEST(Application, AnErrorThatReachesTheEventDispatchIsLoggedAsAFault) {
    TakeErrorBoxes();
    TQtLog log;
    bool later = false;
    QTimer::singleShot(0, [] { throw EMine("Unguarded"); });
    QTimer::singleShot(5, [&] { later = true; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return later; }));
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"Unguarded."});
    EXPECT_EQ(log.TakeCritical().size(), 1u);
}
