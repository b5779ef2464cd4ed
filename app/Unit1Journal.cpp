// The main window's changes in the system journal: each change listed is
// sent as an entry of its own, a rename as one, while "Also send changes
// to the system journal" is on, at the rate the console keeps.
#include "app/Unit1.h"

#include "dialogs/GeneralOptionsUnit.h"

#include <QCheckBox>
#include <QMetaObject>

// A journal that stops taking entries is told in the status bar, and the
// option is cleared, so that the check never claims what is not done.
void TForm1::OpenJournal() {
    FJournal.reset();
    const QCheckBox& option = *GeneralOptionsForm->cbJournal;
    if (!option.isChecked() || !option.isEnabled())
        return;
    FJournal = std::make_unique<TChangeJournal>(FHistory != nullptr, [this](const std::string& error) {
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                ShowStatusMessage("Cannot send to the system journal: " + error);
                GeneralOptionsForm->cbJournal->setChecked(false);
            },
            Qt::QueuedConnection);
    });
}
