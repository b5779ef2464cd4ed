#pragma once

#include "toolkit/TrayService.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QMenu;

// Gives its owner form an icon in the desktop's notification area and lets
// the form live there instead of on the task bar: a click on the icon hides
// and shows the form, minimising hides it, and the task-bar button stays
// hidden while ShowInTaskBar is false.
//
// The window can never become unreachable: the form leaves the task bar and
// minimising hides it only while its icon is really shown, and when the
// notification area goes away (or the icon is removed) a form hidden in it
// comes back. Main thread only.
class TTrayComp : public QObject {
public:
    using TNotifyEvent = std::function<void(TTrayComp* Sender)>;
    using TMouseEvent = std::function<void(TTrayComp* Sender, Qt::MouseButton Button,
                                           Qt::KeyboardModifiers Shift, int X, int Y)>;

    // Sets every property without applying it: no icon is added and the
    // task-bar button is left alone until a property is assigned.
    explicit TTrayComp(QWidget* owner);
    // Unhooks the form and removes the icon if ShowIcon is true.
    ~TTrayComp() override;

    bool HideApp() const { return FHideApp; }
    // This system has no service-process registration: it reads false
    // after every assignment.
    void SetHideApp(bool value);
    bool ShowForm() const { return FShowForm; }
    void SetShowForm(bool value);
    bool ShowInTaskBar() const { return FShowInTaskBar; }
    void SetShowInTaskBar(bool value);
    bool RunMinimized() const { return FRunMinimized; }
    void SetRunMinimized(bool value) { FRunMinimized = value; }
    bool ShowIcon() const { return FShowIcon; }
    // True adds the icon and false removes it, whatever the current value.
    void SetShowIcon(bool value);
    const QIcon& Icon() const { return FIcon; }
    void SetIcon(const QIcon& value);
    const std::string& ToolTip() const { return FToolTip; }
    // Keeps at most the first 62 characters.
    void SetToolTip(const std::string& value);
    QMenu* PopupMenu() const { return FPopupMenu; }
    // Not owned: the menu must outlive the component or be cleared first.
    void SetPopupMenu(QMenu* value) { FPopupMenu = value; }
    bool DefRClick() const { return FDefRClick; }
    void SetDefRClick(bool value) { FDefRClick = value; }
    bool DefLClick() const { return FDefLClick; }
    void SetDefLClick(bool value) { FDefLClick = value; }
    void SetOnLeftClick(TNotifyEvent handler) { FOnLeftClick = std::move(handler); }
    void SetOnRightClick(TMouseEvent handler) { FOnRightClick = std::move(handler); }
    void SetOnMouseMove(TNotifyEvent handler) { FOnMouseMove = std::move(handler); }

    // True while the component considers the form hidden by its own doing.
    bool FormHidden() const { return FFormHidden; }

    // Called once by the owner after its form has been shown: from then on
    // the icon's clicks and the form's minimise are handled.
    void AttachToOwner();

    bool AddTrayIcon();
    bool ModifyTrayIcon();
    bool DeleteTrayIcon();

    // Gives the form its task-bar button back unless it lives in the tray.
    void UpdateTaskBarButton();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool InTray() const;
    void HookOwnerWindow();
    void UnhookOwnerWindow();
    bool FilterOwnerEvent(QEvent* event);
    void OwnerMinimized();
    void ShowOwner();
    void ToggleOwner();
    void TrayChanged();
    void DoLeftClick();
    void DoRightClick();
    void DoMouseMove();

    QPointer<QWidget> FOwner;
    std::unique_ptr<TTrayService> FService;
    bool FHideApp = true;
    bool FShowForm = true;
    bool FShowInTaskBar = false;
    bool FRunMinimized = false;
    bool FShowIcon = true;
    QIcon FIcon;
    std::string FToolTip;
    QMenu* FPopupMenu = nullptr;
    bool FDefRClick = false;
    bool FDefLClick = true;
    TNotifyEvent FOnLeftClick;
    TMouseEvent FOnRightClick;
    TNotifyEvent FOnMouseMove;
    bool FFormHidden = false;
    bool FAttached = false;
    bool FHooked = false;
    bool FIconAdded = false;
    bool FButtonHidden = false;
};
