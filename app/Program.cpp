#include "app/Program.h"

#include "app/CommandLine.h"
#include "app/Unit1.h"
#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/InputFormUnit.h"
#include "dialogs/OptionsUnit.h"
#include "toolkit/Application.h"

#include <QApplication>
#include <QCheckBox>

// The dialogs belong to the main window, so they are freed with it; the
// globals are cleared first so that nothing reaches a window being freed.
// The program ends when its main window closes, not when the last visible
// window does: with the main window in the tray, an error box can be that.
TProgramForms::TProgramForms() {
    QApplication::setQuitOnLastWindowClosed(false);
    FForm1 = std::make_unique<TForm1>();
    Form1 = FForm1.get();
    OptionsForm = new TOptionsForm(Form1);
    GeneralOptionsForm = new TGeneralOptionsForm(Form1);
    GeneralOptionsForm->OnFolderRulesChanged = [] { Form1->ExcludedFoldersChanged(); };
    GeneralOptionsForm->OnKeepHistoryChanged = [] { Form1->OpenHistory(); };
    GeneralOptionsForm->OnJournalChanged = [] { Form1->OpenJournal(); };
    GeneralOptionsForm->OnHistoryRetentionChanged = [] { Form1->HistoryRetentionChanged(); };
    InputForm = new TInputForm(Form1);
}

TProgramForms::~TProgramForms() {
    Form1 = nullptr;
    OptionsForm = nullptr;
    GeneralOptionsForm = nullptr;
    InputForm = nullptr;
}

void TProgramForms::Show(const TCommandLine& commandLine) {
    if (commandLine.Verbose)
        GeneralOptionsForm->cbVerboseDisplay->setChecked(true);
    Form1->show();
    for (const std::string& folder : commandLine.Folders)
        RunHandler([&] { Form1->AddWatch(folder); });
}
