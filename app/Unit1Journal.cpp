// The main window's changes in the system journal: each change listed is
// sent as an entry of its own, a rename as one, while "Also send changes
// to the system journal" is on, at the rate the console keeps.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "records/JournalEntries.h"
#include "toolkit/Application.h"

#include <QCheckBox>
#include <QMetaObject>

namespace {
// As the console: changes sent one by one in a second, below what journald
// keeps of a service by default, and entries waiting for a slow journal.
constexpr std::size_t JournalPerSecond = 300;
constexpr std::size_t JournalQueued = 65536;
} // namespace

// A journal that stops taking entries is told in the status bar, and the
// option is cleared, so that the check never claims what is not done.
void TForm1::OpenJournal() {
    FJournal.reset();
    const QCheckBox& option = *GeneralOptionsForm->cbJournal;
    if (!option.isChecked() || !option.isEnabled())
        return;
    const bool kept = FHistory != nullptr;
    FJournal = std::make_unique<TJournalWriter>(
        JournalPerSecond, JournalQueued,
        TJournalWriter::THandlers{
            [kept](const std::string& folder, uint64_t count) { return JournalSummary(folder, count, kept); },
            [this](const std::string& error) {
                QMetaObject::invokeMethod(
                    this,
                    [this, error] {
                        ShowStatusMessage("Cannot send to the system journal: " + error);
                        GeneralOptionsForm->cbJournal->setChecked(false);
                    },
                    Qt::QueuedConnection);
            }});
}

void TForm1::SendToJournal(const TChangeRecord& record) {
    TJournalEntry entry = JournalEntry(record, true);
    if (record.Reason.empty())
        FJournal->SendChange(std::move(entry), record.Folder);
    else
        FJournal->SendNote(std::move(entry));
}
