#pragma once

#include <QLabel>
#include <string>

// The scheme put in front of a hyperlink label's link.
enum class TURLType { lnFile, lnFtp, lnGopher, lnHttp, lnHttps, lnMailto, lnNews, lnTelnet, lnWais };

// The text each link type puts in front of the link: "http://", "mailto:", ...
const char* URLPrefix(TURLType type);

// A label that behaves as a hyperlink: a click hands the link type's prefix
// followed by Link to the desktop, which opens it with the user's default
// program (ShellOpen). It shows a hand-pointer cursor and, with Hover, is
// underlined only while the mouse is over it.
class TWebLabel : public QLabel {
public:
    // Opened when Link is empty at the moment of a click; Link keeps it.
    static constexpr const char* DefaultLink = "sentrel.example";

    explicit TWebLabel(QWidget* parent = nullptr);

    // Opened with its type's prefix always added, even when it begins with
    // a scheme of its own.
    const std::string& Link() const { return FLink; }
    void SetLink(std::string value) { FLink = std::move(value); }
    TURLType LinkTyp() const { return FLinkTyp; }
    void SetLinkTyp(TURLType value) { FLinkTyp = value; }
    // True: no underline until the mouse enters. False: always underlined.
    bool Hover() const { return FHover; }
    void SetHover(bool value);

    // The label's click: opens the link. No other click reaction runs.
    void Click();
    void MouseEnter();
    void MouseLeave();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // Underline only, or no style at all.
    void SetUnderlineOnly(bool underlined);

    std::string FLink;
    TURLType FLinkTyp = TURLType::lnHttp;
    bool FHover = false;
    bool FPressed = false;
};
