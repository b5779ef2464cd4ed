#include "toolkit/TrayService.h"

#include "toolkit/Application.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__linux__)
#include <xcb/xcb.h>
#endif

namespace {
TTrayServiceFactory& Factory() {
    static TTrayServiceFactory factory;
    return factory;
}

#if defined(__linux__)
xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::char_traits<char>::length(name)), name),
        nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

std::vector<xcb_atom_t> WindowStates(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property) {
    std::vector<xcb_atom_t> states;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, XCB_ATOM_ATOM, 0, 1024), nullptr);
    if (!reply)
        return states;
    if (reply->format == 32) {
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        states.assign(atoms, atoms + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return states;
}

// On X11 a window leaves the task bar through the _NET_WM_STATE_SKIP_TASKBAR
// state. The window's own property carries it while no window manager does
// (and into the next mapping); a window manager is asked as the desktop
// standard says, since it owns the property of a mapped window.
void SetSkipTaskBarX11(QWidget& window, bool skip) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t state = Atom(connection, "_NET_WM_STATE");
    const xcb_atom_t skipTaskBar = Atom(connection, "_NET_WM_STATE_SKIP_TASKBAR");
    if (state == XCB_ATOM_NONE || skipTaskBar == XCB_ATOM_NONE)
        return;

    std::vector<xcb_atom_t> states = WindowStates(connection, id, state);
    states.erase(std::remove(states.begin(), states.end(), skipTaskBar), states.end());
    if (skip)
        states.push_back(skipTaskBar);
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(states.size()), states.data());

    if (window.isVisible()) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = id;
        message.type = state;
        message.data.data32[0] = skip ? 1 : 0; // add or remove
        message.data.data32[1] = skipTaskBar;
        message.data.data32[3] = 1; // asked by an ordinary application
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        xcb_send_event(connection, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
    }
    xcb_flush(connection);
}
#endif

// The desktop's notification area through Qt. Qt shows a visible icon by
// itself when a notification area turns up later; that it came or went is
// only learnt by asking, so the service asks once a second.
class TQtTrayService final : public TTrayService {
public:
    TQtTrayService() {
        QObject::connect(&FIcon, &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
            RunHandler([&] { Activated(reason); });
        });
        FAvailable = QSystemTrayIcon::isSystemTrayAvailable();
        QObject::connect(&FPoll, &QTimer::timeout, [this] { RunHandler([this] { Poll(); }); });
        FPoll.start(1000);
    }

    bool Available() const override { return FAvailable; }

    bool Add(const QIcon& icon, const std::string& toolTip) override {
        if (FIcon.isVisible())
            return false;
        Apply(icon, toolTip);
        FIcon.show();
        return true;
    }

    bool Modify(const QIcon& icon, const std::string& toolTip) override {
        if (!FIcon.isVisible())
            return false;
        Apply(icon, toolTip);
        return true;
    }

    bool Delete() override {
        if (!FIcon.isVisible())
            return false;
        FIcon.hide();
        return true;
    }

    void SetTaskBarButton([[maybe_unused]] QWidget& window, [[maybe_unused]] bool shown) override {
#if defined(__linux__)
        SetSkipTaskBarX11(window, !shown);
#endif
    }

private:
    void Apply(const QIcon& icon, const std::string& toolTip) {
        FIcon.setIcon(icon);
        FIcon.setToolTip(QString::fromStdString(toolTip));
    }

    void Activated(QSystemTrayIcon::ActivationReason reason) {
        if (!OnClick)
            return;
        if (reason == QSystemTrayIcon::Trigger)
            OnClick(TClick::Left);
        else if (reason == QSystemTrayIcon::Context)
            OnClick(TClick::Right);
    }

    void Poll() {
        const bool available = QSystemTrayIcon::isSystemTrayAvailable();
        if (available == FAvailable)
            return;
        FAvailable = available;
        if (OnAvailableChanged)
            OnAvailableChanged(available);
    }

    QSystemTrayIcon FIcon;
    QTimer FPoll;
    bool FAvailable = false;
};
} // namespace

std::unique_ptr<TTrayService> CreateTrayService() {
    if (Factory())
        return Factory()();
    return std::make_unique<TQtTrayService>();
}

void SetTrayServiceFactory(TTrayServiceFactory factory) {
    Factory() = std::move(factory);
}
