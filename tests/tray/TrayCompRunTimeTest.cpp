#include "Testing.h"
#include "tray/FakeTrayService.h"
#include "tray/TrayCompRunTime.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

namespace {
class TrayComp : public ::testing::Test {
protected:
    // The form in the state the program leaves it in: shown, icon in the
    // tray, no task-bar button, hooked.
    std::unique_ptr<TTrayComp> AttachedInTray() {
        Owner.show();
        auto tray = std::make_unique<TTrayComp>(&Owner);
        tray->SetShowIcon(true);
        tray->SetShowInTaskBar(false);
        tray->AttachToOwner();
        return tray;
    }

    TFakeTrayService& Service() { return *Log.Live; }

    TFakeTrayService::TLog Log;
    TFakeTrayScope Scope{Log};
    QWidget Owner;
};
} // namespace

TEST_F(TrayComp, ConstructionAppliesNothing) {
    TTrayComp tray(&Owner);
    EXPECT_TRUE(tray.HideApp());
    EXPECT_TRUE(tray.ShowForm());
    EXPECT_FALSE(tray.ShowInTaskBar());
    EXPECT_FALSE(tray.RunMinimized());
    EXPECT_TRUE(tray.ShowIcon());
    EXPECT_FALSE(tray.Icon().isNull());
    EXPECT_EQ(tray.ToolTip(), "");
    EXPECT_TRUE(tray.DefLClick());
    EXPECT_FALSE(tray.DefRClick());
    EXPECT_FALSE(tray.FormHidden());
    EXPECT_EQ(Log.Adds, 0);
    EXPECT_EQ(Log.Modifies, 1) << "the icon assignment asks for a modify";
    EXPECT_EQ(Log.FailedRequests, 1) << "which fails: no icon yet";
    EXPECT_TRUE(Log.TaskBarButton.empty());
    tray.SetHideApp(true);
    EXPECT_FALSE(tray.HideApp()) << "no service-process registration here";
}

TEST_F(TrayComp, IconRequestsInSequence) {
    {
        TTrayComp tray(&Owner);
        tray.SetShowIcon(true);
        tray.SetShowIcon(true);
        EXPECT_EQ(Log.Adds, 2);
        EXPECT_EQ(Log.FailedRequests, 2) << "the construction's modify and the second add";
        EXPECT_TRUE(Log.IconShown);
        tray.SetShowIcon(false);
        EXPECT_FALSE(Log.IconShown);
        const int modifies = Log.Modifies;
        tray.SetToolTip("hidden");
        EXPECT_EQ(Log.Modifies, modifies) << "no modify while ShowIcon is false";
        EXPECT_EQ(tray.ToolTip(), "hidden");
    }
    EXPECT_EQ(Log.Deletes, 1) << "freeing with ShowIcon false issues no delete";
    {
        TTrayComp tray(&Owner);
        tray.SetShowIcon(true);
    }
    EXPECT_EQ(Log.Deletes, 2) << "freeing with ShowIcon true removes the icon";
    EXPECT_FALSE(Log.IconShown);
}

TEST_F(TrayComp, ToolTipKeepsAtMost62Characters) {
    TTrayComp tray(&Owner);
    tray.SetShowIcon(true);
    tray.SetToolTip(std::string(80, 'x'));
    EXPECT_EQ(tray.ToolTip(), std::string(62, 'x'));
    EXPECT_EQ(Log.ShownToolTip, std::string(62, 'x'));
    tray.SetToolTip(std::string(62, 'y'));
    EXPECT_EQ(tray.ToolTip(), std::string(62, 'y'));
    std::string accents;
    for (int i = 0; i < 70; ++i)
        accents += "\xC3\xA9"; // é
    tray.SetToolTip(accents);
    EXPECT_EQ(tray.ToolTip(), accents.substr(0, 124)) << "characters are counted, none is split";
}

TEST_F(TrayComp, AddWithAnEmptyToolTipRefreshesItOnceHooked) {
    TTrayComp tray(&Owner);
    tray.SetShowIcon(true);
    const int modifies = Log.Modifies;
    ProcessEventsFor(std::chrono::milliseconds(20));
    EXPECT_EQ(Log.Modifies, modifies) << "before the hook the refresh reaches nobody";

    tray.AttachToOwner();
    tray.SetShowIcon(false);
    tray.SetShowIcon(true);
    ProcessEventsFor(std::chrono::milliseconds(20));
    EXPECT_EQ(Log.Modifies, modifies + 1);
    EXPECT_TRUE(Log.IconShown);

    tray.SetToolTip("tip");
    tray.SetShowIcon(false);
    tray.SetShowIcon(true);
    ProcessEventsFor(std::chrono::milliseconds(20));
    EXPECT_EQ(Log.Modifies, modifies + 2) << "only the tool tip assignment: no refresh with a tip";
}

TEST_F(TrayComp, TaskBarButtonHiddenOnlyWhileTheIconIsInTheTray) {
    auto tray = AttachedInTray();
    EXPECT_FALSE(HasTaskBarButton(Log, Owner));
    Log.TaskBarButton.clear();
    Owner.hide();
    Owner.show();
    EXPECT_FALSE(HasTaskBarButton(Log, Owner)) << "hidden again on every showing";
    EXPECT_FALSE(Log.TaskBarButton.empty());

    tray->SetShowInTaskBar(true);
    EXPECT_TRUE(HasTaskBarButton(Log, Owner));
    tray->SetShowInTaskBar(false);
    tray->SetShowIcon(false);
    EXPECT_TRUE(HasTaskBarButton(Log, Owner)) << "no icon, so the button stays";
    tray->SetShowIcon(true);
    EXPECT_FALSE(HasTaskBarButton(Log, Owner));
    tray.reset();
    EXPECT_TRUE(HasTaskBarButton(Log, Owner)) << "the window keeps its button without the component";
}

TEST_F(TrayComp, MinimiseHidesTheFormWhileNotInTheTaskBar) {
    auto tray = AttachedInTray();
    Owner.showMinimized();
    ProcessEventsFor(std::chrono::milliseconds(20));
    EXPECT_FALSE(Owner.isVisible());
    EXPECT_FALSE(Owner.isMinimized()) << "it comes back in its normal state";
    EXPECT_TRUE(tray->FormHidden());
    Service().Click(TTrayService::TClick::Left);
    EXPECT_TRUE(Owner.isVisible());
    EXPECT_FALSE(tray->FormHidden());

    tray->SetShowInTaskBar(true);
    Owner.showMinimized();
    ProcessEventsFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(Owner.isVisible());
    EXPECT_TRUE(Owner.isMinimized()) << "an ordinary minimise";
    EXPECT_FALSE(tray->FormHidden());
}

TEST_F(TrayComp, LeftClickTogglesTheForm) {
    auto tray = AttachedInTray();
    Service().Click(TTrayService::TClick::Left);
    EXPECT_FALSE(Owner.isVisible());
    EXPECT_TRUE(tray->FormHidden());
    Service().Click(TTrayService::TClick::Left);
    EXPECT_TRUE(Owner.isVisible());
    EXPECT_FALSE(tray->FormHidden());

    tray->SetShowForm(false);
    EXPECT_FALSE(Owner.isVisible());
    EXPECT_FALSE(tray->FormHidden()) << "ShowForm leaves FormHidden alone";
    Service().Click(TTrayService::TClick::Left);
    EXPECT_FALSE(Owner.isVisible()) << "nothing happens while ShowForm is false";
    tray->SetShowForm(true);
    EXPECT_TRUE(Owner.isVisible());

    int handled = 0;
    tray->SetOnLeftClick([&](TTrayComp* sender) {
        EXPECT_EQ(sender, tray.get());
        ++handled;
    });
    Service().Click(TTrayService::TClick::Left);
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(Owner.isVisible()) << "the handler replaces the toggle";
}

TEST_F(TrayComp, ClicksBeforeTheHookAreIgnored) {
    Owner.show();
    TTrayComp tray(&Owner);
    tray.SetShowIcon(true);
    Log.Live->Click(TTrayService::TClick::Left);
    EXPECT_TRUE(Owner.isVisible());
    EXPECT_FALSE(tray.FormHidden());
}

TEST_F(TrayComp, RightClickRunsTheHandlerOrToggleThenTheMenu) {
    auto tray = AttachedInTray();
    Service().Click(TTrayService::TClick::Right);
    EXPECT_TRUE(Owner.isVisible()) << "no default action on the right button";

    QMenu menu;
    menu.addAction(QStringLiteral("item"));
    tray->SetPopupMenu(&menu);
    Qt::MouseButton button = Qt::NoButton;
    tray->SetOnRightClick([&](TTrayComp*, Qt::MouseButton b, Qt::KeyboardModifiers, int, int) { button = b; });
    Service().Click(TTrayService::TClick::Right);
    EXPECT_EQ(button, Qt::RightButton);
    EXPECT_TRUE(menu.isVisible()) << "the menu comes up after the handler";
    menu.hide();

    tray->SetOnRightClick({});
    tray->SetDefRClick(true);
    Service().Click(TTrayService::TClick::Right);
    EXPECT_FALSE(Owner.isVisible());
    EXPECT_TRUE(menu.isVisible()) << "and after the toggle";
    menu.hide();
    tray->SetPopupMenu(nullptr);
}

// A form must never hide where nobody can click it back.
TEST_F(TrayComp, WithoutANotificationAreaTheFormStaysReachable) {
    Log.Available = false;
    auto tray = AttachedInTray();
    EXPECT_TRUE(HasTaskBarButton(Log, Owner));
    Owner.showMinimized();
    ProcessEventsFor(std::chrono::milliseconds(20));
    EXPECT_TRUE(Owner.isVisible());
    EXPECT_TRUE(Owner.isMinimized()) << "an ordinary minimise";
    Owner.showNormal();

    Service().SetAvailable(true);
    EXPECT_FALSE(HasTaskBarButton(Log, Owner)) << "a tray that turns up takes the form in";
    EXPECT_TRUE(Log.IconShown);
    Service().Click(TTrayService::TClick::Left);
    ASSERT_FALSE(Owner.isVisible());

    Service().SetAvailable(false);
    EXPECT_TRUE(Owner.isVisible()) << "a tray that goes away gives the form back";
    EXPECT_FALSE(tray->FormHidden());
    EXPECT_TRUE(HasTaskBarButton(Log, Owner));
}

// Minimised at its first showing, with "Minimise to tray" on: into the tray
// when there is one, on the task bar when there is none yet; the program
// never ends of it.
TEST_F(TrayComp, AttachingToAMinimisedFormNeverEndsTheProgram) {
    for (bool trayThere : {false, true}) {
        Log.Available = trayThere;
        QWidget owner;
        owner.showMinimized();
        TTrayComp tray(&owner);
        tray.SetShowIcon(true);
        tray.SetShowInTaskBar(false);
        tray.AttachToOwner();
        QTimer::singleShot(300, [] { QCoreApplication::exit(7); });
        EXPECT_EQ(QCoreApplication::exec(), 7) << "tray there: " << trayThere;
        EXPECT_EQ(tray.FormHidden(), trayThere);
        EXPECT_EQ(owner.isVisible(), !trayThere);
        EXPECT_TRUE(HasTaskBarButton(Log, owner) || trayThere) << "without a tray it stays reachable";
    }
}
