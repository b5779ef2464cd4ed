#include "tray/TrayCompRunTime.h"

#include "toolkit/Application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QStyle>

namespace {
constexpr size_t MaxToolTip = 62;

// Asks the hooked form to apply the tool tip again once the icon is in place.
QEvent::Type TrayTipRefresh() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// The first count characters of UTF-8 text; a character is never split.
std::string FirstCharacters(const std::string& text, size_t count) {
    size_t characters = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        const bool startsCharacter = (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
        if (startsCharacter && characters++ == count)
            return text.substr(0, at);
    }
    return text;
}

QIcon ApplicationIcon(const QWidget& owner) {
    QIcon icon = QApplication::windowIcon();
    return icon.isNull() ? owner.style()->standardIcon(QStyle::SP_ComputerIcon) : icon;
}
} // namespace

TTrayComp::TTrayComp(QWidget* owner) : FOwner(owner), FService(CreateTrayService()) {
    FService->OnClick = [this](TTrayService::TClick click) {
        if (!FHooked)
            return;
        if (click == TTrayService::TClick::Left)
            DoLeftClick();
        else
            DoRightClick();
    };
    FService->OnMouseMove = [this] {
        if (FHooked)
            DoMouseMove();
    };
    FService->OnAvailableChanged = [this](bool) { TrayChanged(); };
    SetIcon(ApplicationIcon(*owner));
}

TTrayComp::~TTrayComp() {
    UnhookOwnerWindow();
    if (FShowIcon)
        DeleteTrayIcon();
    // Whatever runs on without this component must still find the window.
    if (FButtonHidden && FOwner)
        FService->SetTaskBarButton(*FOwner, true);
}

// ---------------------------------------------------------------------------
// Properties

void TTrayComp::SetHideApp(bool) {
    FHideApp = false;
}

void TTrayComp::SetShowForm(bool value) {
    if (FAttached && FOwner) {
        if (value)
            ShowOwner();
        else
            FOwner->hide();
    }
    if (value && FOwner && !FOwner->isVisible())
        FOwner->show();
    FShowForm = value;
    UpdateTaskBarButton();
}

void TTrayComp::SetShowInTaskBar(bool value) {
    FShowInTaskBar = value;
    UpdateTaskBarButton();
}

void TTrayComp::SetShowIcon(bool value) {
    if (value)
        AddTrayIcon();
    else
        DeleteTrayIcon();
    FShowIcon = value;
    TrayChanged();
}

void TTrayComp::SetIcon(const QIcon& value) {
    if (&value == &FIcon)
        return;
    FIcon = value;
    ModifyTrayIcon();
}

void TTrayComp::SetToolTip(const std::string& value) {
    FToolTip = FirstCharacters(value, MaxToolTip);
    ModifyTrayIcon();
}

// ---------------------------------------------------------------------------
// The icon

bool TTrayComp::AddTrayIcon() {
    const bool added = FService->Add(FIcon, FToolTip);
    FIconAdded = FIconAdded || added;
    if (FToolTip.empty() && FOwner)
        QCoreApplication::postEvent(FOwner, new QEvent(TrayTipRefresh()));
    return added;
}

bool TTrayComp::ModifyTrayIcon() {
    if (!FShowIcon)
        return true;
    return FService->Modify(FIcon, FToolTip);
}

bool TTrayComp::DeleteTrayIcon() {
    const bool deleted = FService->Delete();
    FIconAdded = FIconAdded && !deleted;
    return deleted;
}

bool TTrayComp::InTray() const {
    return FShowIcon && FIconAdded && FService->Available();
}

// A form hidden in the tray comes back when there is no tray to click.
void TTrayComp::TrayChanged() {
    if (!InTray() && FAttached && FOwner && !FOwner->isVisible()) {
        ShowOwner();
        FFormHidden = false;
    }
    UpdateTaskBarButton();
}

// The button is hidden again on every showing, since a window manager may
// drop the window's state whenever the window is hidden.
void TTrayComp::UpdateTaskBarButton() {
    const bool hide = !FShowInTaskBar && InTray();
    if (FOwner && (hide || FButtonHidden))
        FService->SetTaskBarButton(*FOwner, !hide);
    FButtonHidden = hide;
}

// ---------------------------------------------------------------------------
// The owner form

// A form that was minimised before it was hooked is taken as minimised now:
// into the tray when it has one, else it stays on the task bar. Nothing here
// ends the program: only Exit and the close box do, and they save the
// settings.
void TTrayComp::AttachToOwner() {
    if (!FOwner)
        return;
    FAttached = true;
    HookOwnerWindow();
    if (FOwner->isMinimized() && !FRunMinimized && !FShowInTaskBar && InTray())
        QMetaObject::invokeMethod(this, [this] { RunHandler([this] { OwnerMinimized(); }); }, Qt::QueuedConnection);
    if (!FShowForm)
        FOwner->setVisible(false);
}

void TTrayComp::HookOwnerWindow() {
    FOwner->installEventFilter(this);
    FHooked = true;
}

void TTrayComp::UnhookOwnerWindow() {
    if (FHooked && FOwner)
        FOwner->removeEventFilter(this);
    FHooked = false;
}

bool TTrayComp::eventFilter(QObject* watched, QEvent* event) {
    bool handled = false;
    if (watched == FOwner)
        RunHandler([&] { handled = FilterOwnerEvent(event); });
    return handled;
}

bool TTrayComp::FilterOwnerEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
        UpdateTaskBarButton();
        return false;
    case QEvent::ActivationChange:
        if (FOwner->isActiveWindow())
            UpdateTaskBarButton();
        return false;
    case QEvent::WindowStateChange:
        // The form is hidden once the minimise is complete: whoever
        // minimises it shows it in the same step.
        if (FOwner->isMinimized() && !FShowInTaskBar && InTray())
            QMetaObject::invokeMethod(this, [this] { RunHandler([this] { OwnerMinimized(); }); },
                                      Qt::QueuedConnection);
        return false;
    default:
        if (event->type() != TrayTipRefresh())
            return false;
        SetToolTip(FToolTip);
        return true;
    }
}

// Minimising hides the form instead, to come back in its normal state. The
// state is restored first: restoring a hidden X11 window would show it.
void TTrayComp::OwnerMinimized() {
    if (!FOwner || !FOwner->isMinimized())
        return;
    FOwner->setWindowState(FOwner->windowState() & ~Qt::WindowMinimized);
    FOwner->hide();
    FFormHidden = !FFormHidden;
}

void TTrayComp::ShowOwner() {
    FOwner->show();
    FOwner->raise();
    FOwner->activateWindow();
}

void TTrayComp::ToggleOwner() {
    if (FFormHidden) {
        ShowOwner();
        FFormHidden = false;
    } else {
        FOwner->hide();
        FFormHidden = true;
    }
}

// ---------------------------------------------------------------------------
// Clicks on the icon

void TTrayComp::DoLeftClick() {
    if (FOnLeftClick) {
        FOnLeftClick(this);
        return;
    }
    if (FDefLClick && FShowForm && FOwner)
        ToggleOwner();
}

// The menu comes up also after the handler or the default toggle ran.
void TTrayComp::DoRightClick() {
    const QPoint at = QCursor::pos();
    if (FOnRightClick)
        FOnRightClick(this, Qt::RightButton, Qt::NoModifier, at.x(), at.y());
    else if (FDefRClick && FShowForm && FOwner)
        ToggleOwner();
    if (FPopupMenu) {
        if (FOwner)
            FOwner->activateWindow();
        FPopupMenu->popup(at);
    }
}

void TTrayComp::DoMouseMove() {
    if (FOnMouseMove)
        FOnMouseMove(this);
}
