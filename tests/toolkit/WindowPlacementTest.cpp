#include "Testing.h"

#include "toolkit/WindowPlacement.h"

#include <QWidget>
#include <gtest/gtest.h>

namespace {
struct TPlaceCase {
    const char* What;
    QRect Saved;
    QRect Placed;
};
} // namespace

// Two screens side by side, the primary one on the left, 1024 by 768 each
// with a panel of 32 pixels at the bottom of the primary one.
TEST(WindowPlacement, ATitleBarOnNoScreenIsBroughtBackOntoThePrimaryOne) {
    const QList<QRect> screens{QRect(0, 0, 1024, 736), QRect(1024, 0, 1024, 768)};
    const TPlaceCase cases[] = {
        {"on the primary screen", {100, 100, 500, 400}, {100, 100, 500, 400}},
        {"on the second screen", {1500, 200, 400, 300}, {1500, 200, 400, 300}},
        {"across both", {900, 10, 400, 300}, {900, 10, 400, 300}},
        {"mostly off, title bar still graspable", {-400, 600, 470, 400}, {-400, 600, 470, 400}},
        {"on a third screen that is gone", {2500, 100, 400, 300}, {624, 100, 400, 300}},
        {"title bar above every screen", {100, -10, 400, 300}, {100, 0, 400, 300}},
        {"title bar under the panel", {100, 730, 400, 300}, {100, 436, 400, 300}},
        {"larger than the primary screen", {-50, -50, 3000, 2000}, {0, 0, 1024, 736}},
        {"only a sliver of the title bar", {-460, 100, 500, 300}, {0, 100, 500, 300}},
    };
    for (const TPlaceCase& c : cases)
        EXPECT_EQ(ReachablePlace(c.Saved, 24, screens), c.Placed) << c.What;
}

// Before a window is framed its outer size is not known: the place asked
// for is what a save takes, and the frame gets it once it is known.
TEST(WindowPlacement, APlaceGivenBeforeTheFrameIsKnownIsKeptForIt) {
    QWidget window;
    PlaceWindowFrame(window, QRect(40, 50, 520, 410));
    EXPECT_EQ(WindowFrameGeometry(window), QRect(40, 50, 520, 410));
    window.show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.frameGeometry() == QRect(40, 50, 520, 410); }))
        << "the frame, not the window inside it, is where it was asked to be";
    EXPECT_NE(window.geometry(), window.frameGeometry()) << "this platform draws a frame";
    EXPECT_EQ(WindowFrameGeometry(window), QRect(40, 50, 520, 410));
}

// A dialog opens over its owner, and wholly on the owner's screen however
// large it would be or wherever the owner stands.
TEST(WindowPlacement, ADialogOpensOverItsOwnerAndFitsItsScreen) {
    const QRect screen(0, 0, 1024, 736);
    const struct {
        const char* What;
        QSize Wanted;
        QRect Owner;
        QRect Placed;
    } cases[] = {
        {"centred on its owner", {400, 300}, {100, 100, 600, 500}, {200, 200, 400, 300}},
        {"owner at the right edge", {955, 600}, {700, 100, 491, 400}, {69, 0, 955, 600}},
        {"owner half off the screen", {400, 300}, {-300, 600, 400, 400}, {0, 436, 400, 300}},
        {"larger than the screen", {1600, 900}, {100, 100, 491, 400}, {0, 0, 1024, 736}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PlaceOverOwner(c.Wanted, c.Owner, screen), c.Placed) << c.What;
}
