// The main window's use of the privileged helper: started through pkexec
// only when the user asks, it then watches every listed folder through
// fanotify, with the process behind each change, for this user.
#include "app/Unit1.h"

#include "platform/helper/HelperClient.h"
#include "records/PathText.h"
#include "toolkit/Application.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"

#include <QCoreApplication>
#include <QTimer>
#include <chrono>

namespace {
// How often the window looks whether pkexec's question was answered.
constexpr int HelperAnswerCheckMs = 100;
} // namespace

// pkexec asks for an administrator's consent in a window of its own; this
// one stays responsive meanwhile.
void TForm1::UsePrivilegedHelper1Click() {
    if (FHelper) {
        ShowStatusMessage("The privileged helper watches the folders already.");
        return;
    }
    if (FStartingHelper.valid())
        return;
    std::string why;
    std::vector<std::string> command = HelperCommand;
    if (command.empty())
        command = PrivilegedHelperCommand(QCoreApplication::applicationDirPath().toStdString(), why);
    if (command.empty())
        return HelperStarted({nullptr, why});
    FStartingHelper = std::async(std::launch::async, [command] {
        TStartedHelper started;
        started.Connection = THelperConnection::Start(command, started.Why);
        return started;
    });
    ShowStatusMessage("Waiting for an administrator to allow the privileged helper…");
    auto* check = new QTimer(this);
    connect(check, &QTimer::timeout, this, [this, check] {
        if (FStartingHelper.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return;
        check->deleteLater();
        RunHandler([&] { HelperStarted(FStartingHelper.get()); });
    });
    check->start(HelperAnswerCheckMs);
}

// Every running watch starts again, now through the helper.
void TForm1::HelperStarted(TStartedHelper started) {
    if (!started.Connection) {
        ShowStatusMessage("The privileged helper was not started.");
        ShowErrorBox("The privileged helper was not started: " + started.Why + ".\r\n" + HowFoldersAreWatched());
        return;
    }
    FHelper = std::move(started.Connection);
    SetDirChangeReaderFactory(HelperReaderFactory(FHelper));
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (TBriskoDirWatch* watch = WatchOfLine(i); watch && watch->Enabled()) {
            watch->SetEnabled(false);
            watch->SetEnabled(true);
        }
    ShowStatusMessage("The privileged helper watches the folders.");
}

// Each running watch's line says how the system watches it.
std::string TForm1::HowFoldersAreWatched() const {
    std::string watched;
    for (int i = 0; i < lbWatches->Count(); ++i)
        if (const TBriskoDirWatch* watch = WatchOfLine(i); watch && watch->Enabled())
            watched += "\r\n" + ShownPath(lbWatches->Line(i)) + " " + lbWatches->Remark(i);
    return watched.empty() ? "No folder is being watched." : "The folders are watched as before:" + watched;
}

// The watches stop before the helper they read through.
void TForm1::StopUsingHelper() {
    if (FStartingHelper.valid())
        FStartingHelper.wait();
    if (FHelper)
        SetDirChangeReaderFactory({});
    FHelper.reset();
}
