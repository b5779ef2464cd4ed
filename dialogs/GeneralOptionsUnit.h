#pragma once

#include "history/HistorySettings.h"
#include "records/ChangeFilter.h"
#include "toolkit/EnterKey.h"

#include <QDialog>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSpinBox;
class QToolButton;
class TFileDialog;
class TListBox;

// "General Options": the display mode, the tray mode, the hex editor and the
// exclusion and file-type lists. Its controls are the live configuration,
// read by the change filter at every change; every edit stands at once and
// there is no cancel. Edits of the folder exclusions are told, once for
// all made at one go, to OnFolderRulesChanged.
class TGeneralOptionsForm : public QDialog {
public:
    explicit TGeneralOptionsForm(QWidget* parent);

    // Turns a change line (or one cut after its last separator) into an
    // entry of lbExcluded: the path from its first separator on, or the
    // whole line without one. Nothing is added when an excluded folder
    // already covers it.
    void AddExclusion(const std::string& line);
    // Many at one go (the lines of a selection), each added once.
    void AddExclusions(const std::vector<std::string>& lines);
    // The changes the program at path makes are no longer listed.
    void AddExcludedProgram(const std::string& path);
    // The change filter over lbExcluded, lbExcludedTypes and lbIncludedTypes
    // as they stand.
    const TChangeFilter& ChangeFilter() const { return *FChangeFilter; }
    bool IsExcludedPath(const std::string& path) const { return FChangeFilter->IsExcludedPath(path); }
    std::function<void()> OnFolderRulesChanged;
    // "Keep a history" checked or cleared.
    std::function<void()> OnKeepHistoryChanged;
    // "Also send changes to the system journal" checked or cleared.
    std::function<void()> OnJournalChanged;
    // The days or the number of changes kept, or the lines listed, changed.
    std::function<void()> OnHistoryRetentionChanged;
    // Where the history is kept, for how long, and how many lines the list keeps.
    void ShowHistory(const std::string& file, const THistorySettings& settings);
    THistorySettings HistorySettings() const;

    void FormCreate();
    void FormShow();
    void FormClose();
    void cbMinToTrayClick();
    void SpeedButton1Click();
    void Clear1Click();
    void Delete1Click();
    void Edit1Click();
    void SaveExcludedFilesClick();
    void LoadExcludedFilesClick();
    void AddNameClick();
    void RemoveNameClick();
    void ClearNamesClick();
    void RemoveProgramClick();
    void ClearProgramsClick();
    void SaveExcludedNamesClick();
    void LoadExcludedNamesClick();
    void AddExcClick();
    void RemoveExcClick();
    void ClearExcClick();
    void SaveExcludedTypesClick();
    void LoadExcludedTypesClick();
    void AddIncClick();
    void RemoveIncClick();
    void ClearIncClick();
    void SaveIncludedTypesClick();
    void LoadIncludedTypesClick();
    void sbOkClick();

    QCheckBox* cbVerboseDisplay;
    QCheckBox* cbMinToTray;
    QCheckBox* cbKeepHistory;
    QCheckBox* cbJournal; // greyed, with the reason, where no journal runs
    QSpinBox* seHistoryDays;
    QSpinBox* seHistoryRecords;
    QSpinBox* seListLimit;
    QLabel* lbHistoryPlace;
    QLabel* Label4;
    QLineEdit* ebHexEditor;
    QToolButton* SpeedButton1;
    QLabel* Label1;
    TListBox* lbExcluded;
    QLabel* Label5;
    TListBox* lbExcludedNames; // folder names excluded wherever they are
    QLabel* Label6;
    TListBox* lbExcludedPrograms; // programs whose changes are not listed
    QLabel* Label2;
    TListBox* lbExcludedTypes;
    QLabel* Label3;
    TListBox* lbIncludedTypes;
    QToolButton* sbOk;
    QMenu* PopupMenu1; // on lbExcluded
    QMenu* pmNames;    // on lbExcludedNames
    QMenu* pmPrograms; // on lbExcludedPrograms
    QMenu* pmExc;      // on lbExcludedTypes
    QMenu* pmInc;      // on lbIncludedTypes
    TFileDialog* SaveDialog1;
    TFileDialog* OpenDialog1;

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static constexpr const char* TextFilter = "Text Files|*.txt";

    // Building the window (GeneralOptionsUnitControls.cpp).
    void CreateControls();
    QSpinBox* NewRetentionBox(const char* prefix, const char* suffix, int least, int most);
    void ShowHistoryKept();
    void CreateMenus();
    void LayOutControls();
    QMenu* CreateMenu(TListBox* list,
                      std::initializer_list<std::pair<const char*, void (TGeneralOptionsForm::*)()>> items);
    void AddType(TListBox& list, TListBox& other);
    // Adds line unless the list holds it already.
    void AddOnce(TListBox& list, const std::string& line);
    void RemoveType(TListBox& list);
    void LoadTypes(TListBox& list, TListBox& other);
    void SaveList(TListBox& list, const char* fileName);
    void FollowFolderRules(TListBox& list);

    TEnterKey FEnter;
    std::unique_ptr<TLineList> FExcludedLines, FExcludedNameLines, FExcludedTypeLines, FIncludedTypeLines,
        FExcludedProgramLines;
    bool FFolderRulesTold = true; // no edit of the folder rules waits to be told
    std::unique_ptr<TChangeFilter> FChangeFilter;
};

extern TGeneralOptionsForm* GeneralOptionsForm;
