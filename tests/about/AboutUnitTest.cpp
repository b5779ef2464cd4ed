#include "AboutTesting.h"

#include "about/Gfvcl.h"
#include "about/ImageMp.h"
#include "about/WebLabel.h"
#include "app/AppTesting.h"
#include "app/CommandLine.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

namespace {
// "0.1.0" of "Sentrel 0.1.0", as sentrel --version says it.
std::string VersionOfTheProgram() {
    const std::string text = VersionText();
    return text.substr(8, text.size() - 9);
}

// A window shown as the About command shows it.
TAboutForm* ShowAbout() {
    auto* form = new TAboutForm;
    form->show();
    return form;
}

QColor TextColour(const QWidget* control) {
    return control->palette().color(QPalette::WindowText);
}

QAction* MenuItem(const char* caption) {
    for (QAction* menu : Form1->menuBar()->actions())
        for (QAction* item : menu->menu()->actions())
            if (item->text() == caption)
                return item;
    return nullptr;
}
} // namespace

using AboutWindow = TAboutTest;

TEST_F(AboutWindow, IsASmallBlackToolWindowOnTopWithItsControlsInPlace) {
    TAboutForm* form = ShowAbout();
    EXPECT_EQ(form->windowTitle(), "About");
    EXPECT_EQ(form->parentWidget(), nullptr) << "no owner";
    EXPECT_EQ(form->size(), QSize(352, 191));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "not resizable";
    EXPECT_EQ(form->windowType(), Qt::Tool);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(form->font().pixelSize(), 11);

    EXPECT_EQ(form->ImageMp1->geometry(), QRect(12, 44, 81, 77));
    EXPECT_EQ(form->ImageMp1->PenColour(), clBlue);
    EXPECT_EQ(form->ImageMp1->BackColour(), clBlack);
    EXPECT_EQ(form->ImageMp1->Magnification(), 4.0);
    EXPECT_EQ(form->ImageMp1->AngleX(), 0.04);
    EXPECT_EQ(form->ImageMp1->AngleY(), 0.03);
    EXPECT_EQ(form->ImageMp1->Picture().size(), QSize(121, 121));
    EXPECT_EQ(form->ImageMp1->Picture().depth(), 24);

    EXPECT_EQ(form->Panel1->geometry(), QRect(96, 0, 256, 191));
    EXPECT_EQ(form->GradientFill1->geometry(), QRect(0, 0, 256, 191)) << "fills the panel";
    EXPECT_EQ(form->GradientFill1->FillDirection(), TFillDirection::fdRightToLeft);
    EXPECT_EQ(form->GradientFill1->NumberOfColors(), 255);
    EXPECT_EQ(form->GradientFill1->BeginColor(), clBlue);
    EXPECT_EQ(form->GradientFill1->EndColor(), clBlack);

    struct TExpected {
        QWidget* Control;
        QRect Place;
        int PixelHeight;
    };
    for (const TExpected& expected : {TExpected{form->label1, {74, 16, 95, 17}, 15},
                                      TExpected{form->Label3, {68, 38, 112, 14}, 11},
                                      TExpected{form->WebLabel1, {64, 64, 116, 16}, 13},
                                      TExpected{form->Label2, {62, 142, 137, 13}, 9}}) {
        EXPECT_EQ(expected.Control->parentWidget(), form->Panel1);
        EXPECT_EQ(expected.Control->geometry(), expected.Place) << expected.Control->metaObject()->className();
        EXPECT_EQ(expected.Control->font().pixelSize(), expected.PixelHeight);
        EXPECT_EQ(TextColour(expected.Control), QColor(Qt::white));
        EXPECT_FALSE(expected.Control->autoFillBackground()) << "transparent";
    }
    EXPECT_EQ(form->label1->text(), "Sentrel");
    EXPECT_EQ(form->Label3->text(), TAboutForm::MakerLine);
    EXPECT_EQ(form->Label2->text().toStdString(), "Version " + VersionOfTheProgram())
        << "the version the command line gives";
    EXPECT_EQ(form->WebLabel1->text(), "Documentation");
    EXPECT_EQ(form->WebLabel1->LinkTyp(), TURLType::lnFile);
    EXPECT_TRUE(std::filesystem::exists(form->WebLabel1->Link())) << form->WebLabel1->Link();
    EXPECT_FALSE(form->WebLabel1->Hover());
    EXPECT_TRUE(form->WebLabel1->font().underline());
    EXPECT_EQ(form->WebLabel1->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(form->BitBtnClose->geometry(), QRect(92, 100, 65, 25));
    EXPECT_EQ(form->BitBtnClose->text(), "OK");
    EXPECT_TRUE(form->BitBtnClose->isDefault());
    EXPECT_FALSE(form->BitBtnClose->icon().isNull());
}

TEST_F(AboutWindow, GradientShowsThroughTheLabels) {
    TAboutForm* form = ShowAbout();
    const QImage window = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(window.size(), QSize(352, 191));
    EXPECT_EQ(PixelAt(window, 96 + 255, 190), (TRgb{0, 0, 255})) << "the rightmost column is pure blue";
    EXPECT_EQ(PixelAt(window, 96 + 127, 190), (TRgb{0, 0, 128}));
    EXPECT_EQ(PixelAt(window, 96 + 128, 190), (TRgb{0, 0, 128}));
    EXPECT_EQ(PixelAt(window, 96, 190), (TRgb{0, 0, 1})) << "the leftmost column of the panel";
    EXPECT_EQ(PixelAt(window, 5, 5), (TRgb{0, 0, 0})) << "the window is black beside the panel";
    // The right end of the name's label, past its text, shows the gradient.
    const int x = 74 + 94;
    EXPECT_EQ(PixelAt(window, 96 + x, 16), PixelAt(window, 96 + x, 190));
    EXPECT_NE(PixelAt(window, 96 + x, 16), (TRgb{0, 0, 0}));
}

TEST_F(AboutWindow, ShowingSetsTheAnimationTo30Milliseconds) {
    auto* form = new TAboutForm;
    EXPECT_EQ(form->ImageMp1->TimerRate(), 320000) << "until shown";
    form->show();
    EXPECT_EQ(form->ImageMp1->TimerRate(), 30);
    EXPECT_EQ(form->ImageMp1->FrameTimer()->interval(), 30);
    const int start = form->ImageMp1->FrameCount();
    EXPECT_TRUE(ProcessEventsUntil([&] { return form->ImageMp1->FrameCount() >= start + 3; }));

    // The first frame lands on the window: blue lines reach the figure's edges.
    const QImage window = form->grab().toImage();
    int blue = 0;
    for (int y = 44; y < 44 + 77; ++y)
        for (int x = 12; x < 12 + 81; ++x)
            blue += window.pixelColor(x, y) == QColor(Qt::blue);
    EXPECT_GT(blue, 40);
}

TEST_F(AboutWindow, LinkOpensTheDocumentationThroughTheDesktop) {
    TAboutForm* form = ShowAbout();
    form->WebLabel1->Click();
    EXPECT_EQ(Opened, std::vector<std::string>{"file://" + TAboutForm::DocumentationLink().Target});
}

TEST_F(AboutWindow, OkFreesTheWindowAndItsTimer) {
    QPointer<TAboutForm> form = ShowAbout();
    QPointer<const QTimer> timer = form->ImageMp1->FrameTimer();
    form->BitBtnClose->click();
    ASSERT_TRUE(form) << "freed once the events already queued are handled";
    FlushDeletes();
    EXPECT_FALSE(form);
    EXPECT_FALSE(timer);
    EXPECT_TRUE(OpenAboutForms().empty());
}

TEST_F(AboutWindow, EnterPressesOk) {
    QPointer<TAboutForm> form = ShowAbout();
    QPointer<TAboutForm> other = ShowAbout();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(form, &enter);
    QCoreApplication::sendEvent(other->BitBtnClose, &enter);
    ASSERT_TRUE(form && other) << "freed once the events already queued are handled";
    FlushDeletes();
    EXPECT_FALSE(form) << "Enter in the window";
    EXPECT_FALSE(other) << "Enter on the button";
}

TEST_F(AboutWindow, CloseBoxFreesTheWindowAndItsTimer) {
    QPointer<TAboutForm> form = ShowAbout();
    QPointer<const QTimer> timer = form->ImageMp1->FrameTimer();
    EXPECT_TRUE(form->close());
    FlushDeletes();
    EXPECT_FALSE(form) << "not left hidden with its figure running";
    EXPECT_FALSE(timer);
}

class AboutCommand : public TProgramTest {
protected:
    void TearDown() override {
        for (TAboutForm* form : OpenAboutForms())
            delete form;
        TProgramTest::TearDown();
    }
};

TEST_F(AboutCommand, EachCommandOpensAnIndependentWindow) {
    QAction* about = MenuItem("About");
    ASSERT_TRUE(about);
    EXPECT_TRUE(about->isEnabled());
    about->trigger();
    ASSERT_EQ(OpenAboutForms().size(), 1u);
    Form1->MnuAboutClick();
    std::vector<TAboutForm*> forms = OpenAboutForms();
    ASSERT_EQ(forms.size(), 2u);
    QPointer<TAboutForm> first = forms[0], second = forms[1];
    for (TAboutForm* form : forms) {
        EXPECT_TRUE(form->isVisible());
        EXPECT_EQ(form->parentWidget(), nullptr);
        EXPECT_FALSE(form->isModal());
    }
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return first->ImageMp1->FrameCount() >= 2 && second->ImageMp1->FrameCount() >= 2; }));

    // OK pressed while both figures are turning, as a user would.
    QTimer::singleShot(0, first->BitBtnClose, &QPushButton::click);
    EXPECT_TRUE(ProcessEventsUntil([&] { return first.isNull(); }));
    ASSERT_TRUE(second);
    const int frames = second->ImageMp1->FrameCount();
    EXPECT_TRUE(ProcessEventsUntil([&] { return second->ImageMp1->FrameCount() >= frames + 2; }))
        << "the other window animates on";
}
