// The main window's history: what the list shows is kept in the history
// database too, a rename as one record, while "Keep a history" is on.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "history/HistoryRecords.h"
#include "history/HistorySettings.h"
#include "runtime/SysUtils.h"
#include "toolkit/Application.h"
#include "toolkit/ListBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QMetaObject>
#include <algorithm>

// Trouble is told on the writer's thread and shown in the status bar.
void TForm1::OpenHistory() {
    FHistory.reset();
    if (!GeneralOptionsForm->cbKeepHistory->isChecked())
        return;
    if (HistoryFileName().empty()) {
        ShowStatusMessage(NoHistoryPlace);
        return;
    }
    FHistory = std::make_unique<THistoryStore>(
        HistoryFileName(), FHistorySettings.Retention, [this](const std::string& message) {
            QMetaObject::invokeMethod(
                this, [this, message] { ShowStatusMessage(message); }, Qt::QueuedConnection);
        });
}

// A half of a rename waits for its other half, which comes right after it
// or not at all.
void TForm1::KeepRecord(const TChangeRecord& record) {
    if (!FHistory && !FJournal)
        return;
    const bool wasHolding = FHistoryRenames.Holding();
    for (const TChangeRecord& ready : FHistoryRenames.Add(record))
        KeepPaired(ready);
    if (FHistoryRenames.Holding() && !wasHolding)
        QMetaObject::invokeMethod(
            this, [this] { RunHandler([this] { FlushHistoryRename(); }); }, Qt::QueuedConnection);
}

void TForm1::FlushHistoryRename() {
    for (const TChangeRecord& ready : FHistoryRenames.Flush())
        KeepPaired(ready);
}

void TForm1::KeepPaired(const TChangeRecord& record) {
    if (FHistory)
        FHistory->Add(HistoryRecordOf(record));
    if (FJournal)
        FJournal->Send(record, true);
}

void TForm1::FlushHistory() {
    FlushHistoryRename();
    if (FHistory)
        FHistory->Flush();
}

bool TForm1::IsHistoryFileChange(const std::string& path) const {
    return FHistory && IsHistoryFile(path, FHistory->Path());
}

void TForm1::ApplyHistorySettings(const std::vector<std::string>& lines) {
    std::vector<std::string> warnings;
    FHistorySettings = HistorySettingsOf(lines, &warnings);
    for (const std::string& warning : warnings)
        ShowStatusMessage(warning);
    GeneralOptionsForm->ShowHistory(HistoryFileName(), FHistorySettings);
    OpenHistory();
    KeepListInBounds();
}

void TForm1::HistoryRetentionChanged() {
    FHistorySettings = GeneralOptionsForm->HistorySettings();
    if (FHistory)
        FHistory->SetRetention(FHistorySettings.Retention);
    KeepListInBounds();
}

// The oldest lines give way in blocks, not one by one, to a note at the top
// that counts them; they were kept in the history as they came.
void TForm1::KeepListInBounds() {
    const int limit = FHistorySettings.ListLimit;
    const int count = lbResults->Count();
    if (!FHistory || count <= limit + limit / 64)
        return;
    const auto note = [this] {
        return Format("%llu older changes are in the history: Action > Search History…",
                      static_cast<unsigned long long>(FListDropped));
    };
    const bool noted = FListDropped > 0 && lbResults->Line(0) == note();
    const int replaced = count - limit + 1;
    FListDropped += noted ? replaced - 1 : replaced;
    lbResults->ReplaceTop(replaced, note());
}

std::vector<std::string> TForm1::HistorySection() const {
    THistorySettings settings = FHistorySettings;
    settings.Keep = GeneralOptionsForm->cbKeepHistory->isChecked();
    return HistorySectionOf(settings);
}
