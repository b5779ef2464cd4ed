#pragma once

#include <QIcon>
#include <functional>
#include <memory>
#include <string>

class QWidget;

// What the program needs of the desktop's notification area and task bar:
// one icon with a tool tip, the clicks on it, and whether a window has a
// task-bar button. A test replaces it with a fake (SetTrayServiceFactory),
// so that the tray logic runs without a desktop.
//
// Main thread only. No call blocks; the events are raised from the event loop.
class TTrayService {
public:
    enum class TClick { Left, Right };

    virtual ~TTrayService() = default;

    // True while the desktop has a notification area to show the icon in.
    virtual bool Available() const = 0;
    // Add fails while the icon is there already; Modify and Delete fail
    // while it is not. An icon added while the desktop has no notification
    // area appears once one turns up.
    virtual bool Add(const QIcon& icon, const std::string& toolTip) = 0;
    virtual bool Modify(const QIcon& icon, const std::string& toolTip) = 0;
    virtual bool Delete() = 0;
    // Shows or hides the task-bar button of a top-level window.
    virtual void SetTaskBarButton(QWidget& window, bool shown) = 0;

    // A button released over the icon; double clicks and other buttons are not reported.
    std::function<void(TClick click)> OnClick;
    std::function<void()> OnMouseMove;
    // The notification area came or went.
    std::function<void(bool available)> OnAvailableChanged;
};

using TTrayServiceFactory = std::function<std::unique_ptr<TTrayService>()>;

// The desktop's own service, or what the factory last set makes.
std::unique_ptr<TTrayService> CreateTrayService();
// An empty factory restores the desktop's own service.
void SetTrayServiceFactory(TTrayServiceFactory factory);
