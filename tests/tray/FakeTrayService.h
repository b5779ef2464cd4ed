#pragma once

#include "toolkit/TrayService.h"

#include <QWidget>
#include <map>
#include <string>

// A notification area that records every request, answers as the desktop
// would (a second add fails, a modify or delete without an icon fails) and
// lets a test click the icon and take the notification area away.
class TFakeTrayService final : public TTrayService {
public:
    struct TLog {
        int Adds = 0, Modifies = 0, Deletes = 0;
        int FailedRequests = 0;
        bool IconShown = false;
        std::string ShownToolTip;
        bool Available = true;
        std::map<const QWidget*, bool> TaskBarButton; // last request per window
        TFakeTrayService* Live = nullptr;            // the service in use, if any
    };

    explicit TFakeTrayService(TLog& log) : FLog(log) { FLog.Live = this; }
    ~TFakeTrayService() override {
        if (FLog.Live == this)
            FLog.Live = nullptr;
    }

    bool Available() const override { return FLog.Available; }
    bool Add(const QIcon&, const std::string& toolTip) override {
        ++FLog.Adds;
        return Apply(!FLog.IconShown, true, toolTip);
    }
    bool Modify(const QIcon&, const std::string& toolTip) override {
        ++FLog.Modifies;
        return Apply(FLog.IconShown, true, toolTip);
    }
    bool Delete() override {
        ++FLog.Deletes;
        return Apply(FLog.IconShown, false, FLog.ShownToolTip);
    }
    void SetTaskBarButton(QWidget& window, bool shown) override { FLog.TaskBarButton[&window] = shown; }

    void Click(TClick click) {
        if (OnClick)
            OnClick(click);
    }
    void SetAvailable(bool available) {
        FLog.Available = available;
        if (OnAvailableChanged)
            OnAvailableChanged(available);
    }

private:
    bool Apply(bool allowed, bool shown, const std::string& toolTip) {
        if (!allowed) {
            ++FLog.FailedRequests;
            return false;
        }
        FLog.IconShown = shown;
        FLog.ShownToolTip = toolTip;
        return true;
    }

    TLog& FLog;
};

// Makes every tray component created meanwhile use a fake that writes to log.
class TFakeTrayScope {
public:
    explicit TFakeTrayScope(TFakeTrayService::TLog& log) {
        SetTrayServiceFactory([&log] { return std::make_unique<TFakeTrayService>(log); });
    }
    ~TFakeTrayScope() { SetTrayServiceFactory({}); }
    TFakeTrayScope(const TFakeTrayScope&) = delete;
    TFakeTrayScope& operator=(const TFakeTrayScope&) = delete;
};

// True unless the last request for window hid its task-bar button.
inline bool HasTaskBarButton(const TFakeTrayService::TLog& log, const QWidget& window) {
    auto found = log.TaskBarButton.find(&window);
    return found == log.TaskBarButton.end() || found->second;
}
