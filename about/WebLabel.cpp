#include "about/WebLabel.h"

#include "platform/desktop/ShellOpen.h"
#include "toolkit/Application.h"
#include "toolkit/Graphics.h"

#include <QMouseEvent>

const char* URLPrefix(TURLType type) {
    switch (type) {
    case TURLType::lnFile:
        return "file://";
    case TURLType::lnFtp:
        return "ftp://";
    case TURLType::lnGopher:
        return "gopher://";
    case TURLType::lnHttp:
        return "http://";
    case TURLType::lnHttps:
        return "https://";
    case TURLType::lnMailto:
        return "mailto:";
    case TURLType::lnNews:
        return "news:";
    case TURLType::lnTelnet:
        return "telnet:";
    case TURLType::lnWais:
        return "wais:";
    }
    return "";
}

TWebLabel::TWebLabel(QWidget* parent) : QLabel(parent) {
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, ToQColor(clBlue));
    setPalette(colours);
    QFont underlined = font();
    underlined.setPointSize(10);
    setFont(underlined);
    SetUnderlineOnly(true);
    setCursor(Qt::PointingHandCursor);
}

void TWebLabel::SetUnderlineOnly(bool underlined) {
    QFont style = font();
    style.setBold(false);
    style.setItalic(false);
    style.setStrikeOut(false);
    style.setUnderline(underlined);
    setFont(style);
}

void TWebLabel::SetHover(bool value) {
    FHover = value;
    SetUnderlineOnly(!FHover);
}

void TWebLabel::Click() {
    std::string prefix;
    if (FLink.empty()) {
        prefix = URLPrefix(TURLType::lnHttp);
        FLink = DefaultLink;
    } else {
        prefix = URLPrefix(FLinkTyp);
    }
    ShellOpen(prefix + FLink);
}

void TWebLabel::MouseEnter() {
    if (FHover)
        SetUnderlineOnly(true);
}

void TWebLabel::MouseLeave() {
    if (FHover)
        SetUnderlineOnly(false);
}

void TWebLabel::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void TWebLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool click =
        FPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    FPressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        RunHandler([this] { Click(); });
}

void TWebLabel::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    RunHandler([this] { MouseEnter(); });
}

void TWebLabel::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    RunHandler([this] { MouseLeave(); });
}
