// The main window's status bar: whether any watch runs, the display mode,
// the current line's place among the lines shown, and its process.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "records/PathText.h"
#include "records/ResultLines.h"
#include "toolkit/Application.h"
#include "toolkit/ListBox.h"
#include "toolkit/StatusPanel.h"

#include <QCheckBox>
#include <QStatusBar>
#include <QTimer>
#include <array>

// Monitoring and the mode keep their width as long as there is room; the
// process takes what is left.
void TForm1::CreateStatusBar() {
    constexpr std::array<int, 4> Widths = {150, 150, 0, 150};
    for (size_t panel = 0; panel < StatusBar1.size(); ++panel) {
        StatusBar1[panel] = new TStatusPanel(this, Widths[panel]);
        statusBar()->addWidget(StatusBar1[panel], panel == 3 ? 1 : 0);
    }
    FLineCountDue = new QTimer(this);
    FLineCountDue->setSingleShot(true);
    FLineCountDue->setInterval(100);
    connect(FLineCountDue, &QTimer::timeout, this, [this] { RunHandler([this] { ShowLineCount(); }); });
}

// Monitoring is enabled while any watch runs: a saved folder that is gone
// does not make the others look stopped, and one that failed while watched
// leaves no claim behind.
void TForm1::ShowMonitoring() {
    bool anyRunning = false;
    for (int i = 0; i < lbWatches->Count() && !anyRunning; ++i)
        anyRunning = WatchOfLine(i) && WatchOfLine(i)->Enabled();
    StatusBar1[0]->setText(anyRunning ? QStringLiteral("Monitoring enabled") : QStringLiteral("Monitoring not enabled"));
}

void TForm1::UpdateStatusBar() {
    statusBar()->clearMessage();
    ShowMonitoring();
    if (lbWatches->Count() != 0)
        StatusBar1[1]->setText(GeneralOptionsForm->cbVerboseDisplay->isChecked() ? QStringLiteral("Verbose Mode")
                                                                                : QStringLiteral("Brief Mode"));
    ShowLineCount();
}

void TForm1::ShowLineCount() {
    FLineCountDue->stop();
    const int current = lbResults->ItemIndex();
    const bool currentShown = current >= 0 && lbResults->LineShown(current);
    StatusBar1[2]->setText(QString::fromStdString(
        LineCountText(currentShown ? std::optional<int>(lbResults->ShownBefore(current) + 1) : std::nullopt,
                      lbResults->ShownCount(), lbResults->Count(), lbResults->Filtered())));
    const TChangeProcess* process = currentShown ? ProcessOfResult(current) : nullptr;
    StatusBar1[3]->setText(process ? QString::fromStdString("Process: " + ShownPath(DescribeProcess(*process)))
                                   : QString());
}

void TForm1::CountLinesSoon() {
    if (!FLineCountDue->isActive())
        FLineCountDue->start();
}

std::string TForm1::StatusPanelText(int panel) const {
    return StatusBar1.at(static_cast<size_t>(panel))->text().toStdString();
}
