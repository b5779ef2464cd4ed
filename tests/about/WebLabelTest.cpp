#include "AboutTesting.h"

#include "about/WebLabel.h"

#include <QEnterEvent>
#include <QMouseEvent>

namespace {
void Send(QWidget* target, QEvent&& event) {
    QCoreApplication::sendEvent(target, &event);
}

void MouseButton(QWidget* label, QEvent::Type type, QPointF at) {
    Send(label, QMouseEvent(type, at, label->mapToGlobal(at), Qt::LeftButton,
                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier));
}

void ClickAt(QWidget* label, QPointF press, QPointF release) {
    MouseButton(label, QEvent::MouseButtonPress, press);
    MouseButton(label, QEvent::MouseButtonRelease, release);
}

void Enter(QWidget* label) {
    Send(label, QEnterEvent(QPointF(1, 1), QPointF(1, 1), label->mapToGlobal(QPointF(1, 1))));
}

void Leave(QWidget* label) {
    Send(label, QEvent(QEvent::Leave));
}

// Underline only: no bold, italic or strike-out.
bool UnderlineOnly(const QFont& font) {
    return font.underline() && !font.bold() && !font.italic() && !font.strikeOut();
}

bool NoStyle(const QFont& font) {
    return !font.underline() && !font.bold() && !font.italic() && !font.strikeOut();
}

struct TPrefixCase {
    TURLType Type;
    const char* Opened;
};
} // namespace

using HyperlinkLabel = TAboutTest;

TEST_F(HyperlinkLabel, StartsUnderlinedBlueWithAHandCursor) {
    TWebLabel label;
    EXPECT_EQ(label.Link(), "");
    EXPECT_EQ(label.LinkTyp(), TURLType::lnHttp);
    EXPECT_FALSE(label.Hover());
    EXPECT_TRUE(UnderlineOnly(label.font()));
    EXPECT_EQ(label.font().pointSize(), 10);
    EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(label.cursor().shape(), Qt::PointingHandCursor);
}

std::string SchemeName(const ::testing::TestParamInfo<TPrefixCase>& info) {
    const std::string prefix = URLPrefix(info.param.Type);
    return prefix.substr(0, prefix.find(':'));
}

class LinkPrefix : public TAboutTest, public ::testing::WithParamInterface<TPrefixCase> {};

TEST_P(LinkPrefix, ClickHandsPrefixAndLinkToTheDesktop) {
    TWebLabel label;
    label.SetLink("sentrel.example/a b");
    label.SetLinkTyp(GetParam().Type);
    label.Click();
    EXPECT_EQ(Opened, std::vector<std::string>{GetParam().Opened});
    EXPECT_EQ(label.Link(), "sentrel.example/a b");
}

INSTANTIATE_TEST_SUITE_P(HyperlinkLabel, LinkPrefix,
                         ::testing::Values(TPrefixCase{TURLType::lnFile, "file://sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnFtp, "ftp://sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnGopher, "gopher://sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnHttp, "http://sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnHttps, "https://sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnMailto, "mailto:sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnNews, "news:sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnTelnet, "telnet:sentrel.example/a b"},
                                           TPrefixCase{TURLType::lnWais, "wais:sentrel.example/a b"}),
                         SchemeName);

TEST_F(HyperlinkLabel, PrefixIsAddedEvenToALinkWithASchemeAndAnEmptyLinkOpensTheDefault) {
    TWebLabel label;
    label.SetLink("http://sentrel.example");
    label.Click();
    label.SetLink("someone@sentrel.example");
    label.SetLinkTyp(TURLType::lnMailto);
    label.Click();
    EXPECT_EQ(Opened,
              (std::vector<std::string>{"http://http://sentrel.example", "mailto:someone@sentrel.example"}));

    Opened.clear();
    TWebLabel empty;
    empty.SetLinkTyp(TURLType::lnFtp);
    empty.Click();
    EXPECT_EQ(Opened, std::vector<std::string>{std::string("http://") + TWebLabel::DefaultLink})
        << "an empty link opens the default with http, whatever the type";
    EXPECT_EQ(empty.Link(), TWebLabel::DefaultLink) << "and keeps it";
    empty.Click();
    EXPECT_EQ(Opened.back(), std::string("ftp://") + TWebLabel::DefaultLink);
}

TEST_F(HyperlinkLabel, MouseClickOpensOnlyWhenReleasedOverTheLabel) {
    TWebLabel label;
    label.resize(100, 16);
    label.SetLink("sentrel.example");
    ClickAt(&label, {5, 5}, {6, 6});
    EXPECT_EQ(Opened, std::vector<std::string>{"http://sentrel.example"});
    ClickAt(&label, {5, 5}, {150, 6});
    EXPECT_EQ(Opened.size(), 1u) << "released elsewhere";
}

TEST_F(HyperlinkLabel, HoverUnderlinesOnlyWhileTheMouseIsOver) {
    TWebLabel label;
    label.SetHover(true);
    EXPECT_TRUE(NoStyle(label.font())) << "not underlined until the mouse enters";
    Enter(&label);
    EXPECT_TRUE(UnderlineOnly(label.font()));
    QFont bold = label.font();
    bold.setBold(true);
    bold.setItalic(true);
    label.setFont(bold);
    Leave(&label);
    EXPECT_TRUE(NoStyle(label.font())) << "leaving clears every style";

    label.SetHover(false);
    EXPECT_TRUE(UnderlineOnly(label.font()));
    label.setFont(bold);
    Enter(&label);
    EXPECT_EQ(label.font(), bold) << "without hover, entering changes nothing";
    Leave(&label);
    EXPECT_EQ(label.font(), bold) << "nor does leaving";
}
