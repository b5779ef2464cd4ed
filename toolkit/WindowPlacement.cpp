#include "toolkit/WindowPlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QWidget>
#include <algorithm>

namespace {
constexpr int MinimumTitleHeight = 24;
// So much of the title bar's width on a screen is enough to drag it by.
constexpr int GraspableWidth = 64;
// A window manager frames a window within moments of its showing; where
// none does, the place given is the place.
constexpr int FrameWaitMs = 3000;
constexpr const char* PlacerName = "sentrel-frame-placer";
constexpr int MaximumMargin = 200;

QMargins FrameMargins(const QWidget& window) {
    const QRect frame = window.frameGeometry();
    const QRect inner = window.geometry();
    return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
            frame.bottom() - inner.bottom()};
}

bool FrameKnown(const QWidget& window) {
    return window.frameGeometry() != window.geometry();
}

// The window inside the frame is placed, by the frame's margins as they are
// now: what a window system takes for a window's own position differs.
void ApplyFrame(QWidget& window, const QRect& outer) {
    window.setGeometry(outer.marginsRemoved(FrameMargins(window)));
}

QList<QRect> AvailableScreens() {
    QList<QRect> areas;
    if (QScreen* primary = QGuiApplication::primaryScreen())
        areas << primary->availableGeometry();
    for (QScreen* screen : QGuiApplication::screens())
        if (screen != QGuiApplication::primaryScreen())
            areas << screen->availableGeometry();
    return areas;
}

// A frame as a window manager draws it: a few pixels of border, a title
// bar. Margins outside this are a frame still being put in place.
bool PlausibleFrame(const QMargins& margins) {
    for (int margin : {margins.left(), margins.top(), margins.right(), margins.bottom()})
        if (margin < 0 || margin > MaximumMargin)
            return false;
    return true;
}

// Waits beside a window for its frame, gives the frame the size it was
// asked to have, and goes. The frame's place needs no waiting: the window
// manager was asked to put the frame, not the window inside it, there (a
// request to move a window being mapped may be taken for an old one).
class TFramePlacer : public QObject {
public:
    TFramePlacer(QWidget& window, const QRect& outer) : QObject(&window), FWindow(window), FOuter(outer) {
        setObjectName(QString::fromLatin1(PlacerName));
        window.installEventFilter(this);
        QTimer::singleShot(FrameWaitMs, this, [this] { deleteLater(); });
    }
    const QRect& Outer() const { return FOuter; }

protected:
    // The window manager reparents a window before it maps it, and Qt then
    // tells passing places of no meaning; by the first paint the window is
    // on the screen in its frame.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != &FWindow || event->type() != QEvent::Paint || !FrameKnown(FWindow) ||
            !PlausibleFrame(FrameMargins(FWindow)))
            return false;
        FWindow.removeEventFilter(this);
        deleteLater();
        FWindow.resize(FOuter.marginsRemoved(FrameMargins(FWindow)).size());
        return false;
    }

private:
    QWidget& FWindow;
    QRect FOuter;
};

TFramePlacer* PlacerOf(const QWidget& window) {
    return window.findChild<TFramePlacer*>(QString::fromLatin1(PlacerName), Qt::FindDirectChildrenOnly);
}
} // namespace

QRect ReachablePlace(QRect outer, int titleHeight, const QList<QRect>& screens) {
    const QRect title(outer.left(), outer.top(), outer.width(), titleHeight);
    for (const QRect& screen : screens) {
        const QRect shown = screen.intersected(title);
        if (shown.height() == titleHeight && shown.width() >= std::min(GraspableWidth, outer.width()))
            return outer;
    }
    if (screens.isEmpty())
        return outer;
    const QRect& primary = screens.front();
    outer.setWidth(std::min(outer.width(), primary.width()));
    outer.setHeight(std::min(outer.height(), primary.height()));
    outer.moveLeft(std::clamp(outer.left(), primary.left(), primary.right() + 1 - outer.width()));
    outer.moveTop(std::clamp(outer.top(), primary.top(), primary.bottom() + 1 - outer.height()));
    return outer;
}

void PlaceWindowFrame(QWidget& window, QRect outer) {
    delete PlacerOf(window);
    window.winId(); // the window system's window, which the frame belongs to
    outer = ReachablePlace(outer, std::max(MinimumTitleHeight, FrameMargins(window).top()), AvailableScreens());
    if (FrameKnown(window)) {
        ApplyFrame(window, outer);
        return;
    }
    // The window system takes the place for the frame's once the window's
    // own record of its place agrees.
    window.setGeometry(outer);
    window.windowHandle()->setFramePosition(outer.topLeft());
    new TFramePlacer(window, outer);
}

QRect WindowFrameGeometry(const QWidget& window) {
    if (const TFramePlacer* placer = PlacerOf(window))
        return placer->Outer();
    return window.frameGeometry();
}

QRect PlaceOverOwner(QSize wanted, QRect owner, QRect screen) {
    const QSize size = wanted.boundedTo(screen.size());
    QRect place(QPoint(0, 0), size);
    place.moveCenter(owner.center());
    place.moveLeft(std::clamp(place.left(), screen.left(), screen.right() + 1 - size.width()));
    place.moveTop(std::clamp(place.top(), screen.top(), screen.bottom() + 1 - size.height()));
    return place;
}

void PlaceDialogOver(QWidget& dialog, const QWidget& owner) {
    const QScreen* screen = owner.screen() ? owner.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    dialog.setGeometry(
        PlaceOverOwner(dialog.sizeHint().expandedTo(dialog.minimumSizeHint()), owner.frameGeometry(), screen->availableGeometry()));
}
