#pragma once

#include "history/CatchUpRecords.h"
#include "history/HistorySettings.h"
#include "history/HistoryStore.h"
#include "records/ChangeRecords.h"
#include "records/JournalEntries.h"
#include "records/LineTags.h"
#include "settings/UtilObj.h"
#include "watch/BrkDirWatch.h"

#include <QMainWindow>
#include <array>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QTimer;
class QLineEdit;
class QMenu;
class QSplitter;
class QToolButton;
class TListBox;
class TTrayComp;
class TFileChangeWatch;
class THelperConnection;

// The main window: the watched folders above, the list of changes below,
// the menus and buttons that start every command.
//
// Its commands are split by subject: the window itself and its status bar
// (Unit1.cpp), the watch list (Unit1Watches.cpp), the change lines
// (Unit1Results.cpp), the settings file (Unit1Settings.cpp), the history
// (Unit1History.cpp), the catch-up at start (Unit1CatchUp.cpp).
class TForm1 : public QMainWindow {
public:
    TForm1();
    ~TForm1() override;

    // Window and status bar
    void FormCreate();
    void FormShow();
    void FormCloseQuery();
    void GeneralOptions1Click();
    void WatchLimit1Click();
    void sbExitClick();
    void lbResultsClick();
    void MnuAboutClick();
    void UpdateStatusBar();
    // The first panel: whether any watch runs.
    void ShowMonitoring();
    // The third and fourth: the current line's place among the lines shown,
    // its process. Lines come in bursts: CountLinesSoon shows them at most
    // ten times a second.
    void ShowLineCount();
    void CountLinesSoon();
    std::string StatusPanelText(int panel) const;

    // Watch list
    void AddWatch(const std::string& folder);
    void sbAddDirectoryClick();
    void AddAllDrives1Click();
    void sbDeleteClick();
    void sbGoClick();
    void sbStopClick();
    void sbOptionsClick();
    void FreeAllWatches();
    // Every watch leaves out the folders excluded in General Options as they stand now.
    void ExcludedFoldersChanged();
    // The listed folders that folder entries (ending in the separator) would
    // hide whole, which no exclusion hides yet.
    std::vector<std::string> WatchedFoldersHiddenBy(const std::vector<std::string>& entries) const;
    void MarkIfEverythingExcluded(int line);
    // The history is kept (again) or no longer, as "Keep a history" says.
    void OpenHistory();
    // Sends the changes listed from now on to the system journal, or stops,
    // as "Also send changes to the system journal" says (Unit1Journal.cpp).
    void OpenJournal();
    // The history keeps what General Options now say.
    void HistoryRetentionChanged();
    // Everything listed so far is in the history (a held rename half too).
    void FlushHistory();
    void SessionEnding();
    TBriskoDirWatch* WatchOfLine(int index) const;

    // Change lines
    void BriskoDirWatch1Notify(TBriskoDirWatch* Sender, int Action, const std::string& FileName);
    void BriskoDirWatch1Status(TBriskoDirWatch* Sender, const TDirWatchStatus& Status);
    bool IsFilteredOut(const std::string& path) const;
    enum class TExcludeKind { File, Path };
    // Every selected line leaves the list; its file, or its folder, becomes
    // an entry of the General Options exclusion list.
    void ExcludeSelected(TExcludeKind kind);
    void ExcludeFile1Click();
    void ExcludePath1Click();
    void ExcludeProgram1Click();
    void UsePrivilegedHelper1Click();
    void Watchittoo1Click();
    // Before the line's menu opens: Watch It Too is for a folder's line.
    void PopupMenu1Popup();
    void SearchHistory1Click();
    // The commands on a listed change, for the lists that show one: the
    // results and the history's.
    void WatchFolderToo(const std::string& path);
    void OpenWithDesktop(const std::string& path);
    void HexEdit(const std::string& path);
    void Openthisfile1Click();
    void Hexeditthisfile1Click();
    void sbClearClick();
    void SaveList1Click();
    void Editinifile1Click();

    // Settings file
    void LoadSettings();
    void ApplySection(const std::string& section, const std::vector<std::string>& lines);
    void SaveSettings();
    void SaveMisc();
    TUtilObj::TSectionWrite MiscSection() const;
    // The sections SaveSettings writes, as the window holds them now.
    std::vector<TUtilObj::TSectionWrite> SettingsSections() const;
    // The settings file was written by someone else while the window runs.
    void SettingsFileChanged();

    // Controls, top to bottom
    QWidget* Panel2;
    TListBox* lbWatches;
    QToolButton* sbAddDirectory;
    QToolButton* sbDelete;
    QToolButton* sbOptions;
    QSplitter* Splitter1;
    QWidget* Panel1;
    QLineEdit* edFilter; // over lbResults
    TListBox* lbResults;
    QToolButton* sbClear;
    QToolButton* sbStop;
    QToolButton* sbGo;
    QToolButton* SpeedButton1;
    QWidget* Panel3;
    QToolButton* sbExit;
    QLabel* Image1;
    // Monitoring, display mode, the current line's place, its process.
    std::array<QLabel*, 4> StatusBar1{};
    QTimer* FLineCountDue;

    QMenu* PopupMenu1; // on lbResults
    QAction* Watchittoo1;
    QMenu* PopupMenu2; // on sbAddDirectory
    QMenu* PopupMenu3; // on lbWatches

    std::string FLastFolder;
    std::unique_ptr<TTrayComp> FTray;
    // What starts the privileged helper; empty: pkexec and the program's helper.
    std::vector<std::string> HelperCommand;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void SetUpTray();
    void CreateControls();
    QWidget* CreateWatchPanel();
    QWidget* CreateResultsPanel();
    QWidget* CreateExitPanel();
    void CreateStatusBar();
    void CreateMenus();
    void CreatePopupMenus();
    QToolButton* CreateSpeedButton(QWidget* parent, const char* hint, int icon, void (TForm1::*click)());
    QAction* AddItem(QMenu* menu, const char* caption, void (TForm1::*click)());
    std::unique_ptr<TBriskoDirWatch> CreateWatch(const std::string& folder);
    int LineOfFolder(const std::string& folder) const;
    void ShowRemark(TBriskoDirWatch* watch, const std::string& remark);
    static std::string StoppedRemark(const TBriskoDirWatch& watch);
    // The path of the current line when some line is selected; empty otherwise.
    std::string CurrentResultPath() const;
    // The process that made the change of a results line, where known.
    const TChangeProcess* ProcessOfResult(int index) const;
    // A change line's hint: its process, where known, and its whole path,
    // which the list may cut.
    std::string ResultHint(std::string_view line, uint32_t tag) const;
    void ShowStatusMessage(const std::string& message);
    void AddSavedWatch(const std::string& folder);
    void SaveSettingsAtClose();
    TListBox* ListOfSection(const std::string& section) const;
    void ApplyChangedSection(const TUtilObj::TSectionWrite& section);

    // What is listed is kept in the history and sent to the journal, a
    // rename as one record.
    void KeepRecord(const TChangeRecord& record);
    void KeepPaired(const TChangeRecord& record);
    void FlushHistoryRename();
    bool IsHistoryFileChange(const std::string& path) const;
    void ApplyHistorySettings(const std::vector<std::string>& lines);
    std::vector<std::string> HistorySection() const;

    // While the history is kept, the list holds its newest lines only.
    void KeepListInBounds();
    // A change listed as brief or verbose display lists it, and kept.
    void ListRecord(const TChangeRecord& record);

    struct TStartedHelper {
        std::shared_ptr<THelperConnection> Connection;
        std::string Why;
    };
    void HelperStarted(TStartedHelper started);
    std::string HowFoldersAreWatched() const;
    void StopUsingHelper();

    void CatchUp(const std::string& folder);
    void CaughtUp(const std::string& folder, const TCatchUp& result);
    void ListCaughtUp(bool all);
    void ListCaughtUpSoon();
    std::deque<TChangeRecord> FCaughtUpRecords; // found, still to be listed
    bool FCaughtUpDue = false;
    void KeepSnapshots();
    // Pause All Watches keeps what the folders hold first (while they still
    // report), so that Start All Watches can list what changed meanwhile.
    void FinishPause();
    std::string PausedRemark(const TBriskoDirWatch& watch) const;
    std::string FPauseBegan;                  // "hh:mm:ss" while paused, or pausing
    std::unique_ptr<TSnapshotsRun> FPausing;  // the walks a pause waits for
    std::vector<std::string> FPausedFolders;  // whose snapshot the pause kept
    uint64_t FPauseTicket = 0;                // of the pause under way
    std::vector<std::string> FCaughtUp;      // folders whose catch-up began this session
    std::vector<std::string> FSnapshotsKept; // and whose snapshot is kept
    std::vector<std::unique_ptr<TCatchUpRun>> FCatchUps;
    std::unique_ptr<THistoryStore> FHistory;
    std::unique_ptr<TChangeJournal> FJournal; // while changes go to the system journal
    TLineTags FLineTags; // of the results lines
    uint64_t FListDropped = 0; // lines that gave way since the list was cleared, counted at the top
    THistorySettings FHistorySettings;
    TRenamePairing FHistoryRenames;
    bool FShown = false;
    bool FClosed = false;
    bool FSettingsUnread = false;     // loading could not read the file
    bool FSettingsSaveFailed = false; // a save at close was refused
    // The settings file's sections as last read or written, so that a save
    // knows what was changed in the window and what in the file.
    TIniSections FSettingsBase;
    std::unique_ptr<TFileChangeWatch> FSettingsWatch;
    std::shared_ptr<THelperConnection> FHelper; // while the privileged helper serves the watches
    std::future<TStartedHelper> FStartingHelper;
};

extern TForm1* Form1;
