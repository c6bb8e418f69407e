// SPDX-License-Identifier: GPL-3.0-or-later
// The six-page batch wizard: job settings, settings file, command line, source
// scan, batch run and processed-files log. It converts nothing itself; a derived
// window supplies the conversion and the format lists through the virtual
// operations below (declared in their fixed order).
#pragma once

#include "batch/BatchJob.h"
#include "batch/BatchRows.h"
#include "batch/BatchRunner.h"
#include "batch/ParallelBatch.h"
#include "batch/Shards.h"

#include <QIcon>
#include <QMainWindow>

#include <functional>
#include <map>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSpinBox;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;
class TRadioGroup;
class TLinkLabel;
class TLogoStrip;

// Texts of the progress list's status column.
extern const char* const StatusWaiting;
extern const char* const StatusSkipped;
extern const char* const StatusInProgress;
extern const char* const StatusFinished;
extern const char* const StatusErrorPrefix;

// Columns of the two list views.
enum TFileListColumn { flcName = 0, flcPath = 1 };
enum TProgressColumn { pcFileName = 0, pcStatus = 1, pcTime = 2, pcDestination = 3 };
// Indexes into ProgressImages().
enum TProgressImage {
    piInProgress = 0,
    piFinished = 1,
    piError = 2,
    piExit = 3,
    piExecute = 4,
    piHomepage = 5,
    piMail = 6,
    piSkipped = 7
};

class TfrmMainBasic : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMainBasic(QWidget* parent = nullptr);
    ~TfrmMainBasic() override;

    // Hands each argument (raw bytes, program name excluded) to ProcessParameter,
    // first to last, and then decides whether the window is to be shown. Called
    // once, after the derived window's own creation work.
    void ProcessCommandLine(const std::vector<std::string>& args);
    // False for an unattended run: the window is never shown, the settings file
    // is neither read nor written and no final message box appears.
    bool ShowMainForm() const { return FShowMainForm; }
    // Exit status of the program: 1 once a file failed or a run could not start.
    int ExitCode() const { return FExitCode; }

    int CurrentPage() const { return FCurrentPage; }
    int PageCount() const { return FPageCount; }
    bool RunOnStart() const { return FRunOnStart; }
    bool FinishRequested() const { return FFinishRequested; }
    bool Running() const { return FRunning; }

    // The batch run over the progress list.
    void RunBatch();
    // Progress within the current file, for the derived window's conversion.
    void SetProgress(int position, int maximum);
    // "Parallel conversions": how many files a run converts at once (0 in the box: one per core).
    int ThreadCount() const;
    // The machine's cores: what "0" stands for.
    static int MaxThreadCount();
    // The most the option offers.
    static constexpr int ThreadLimit = MaxParallelConversions;

    // A preset: reads another settings file through LoadSettings (every section
    // of the framework and of the derived window). A file that is missing or
    // cannot be read fails with a message instead of giving the defaults.
    void LoadSettingsFrom(const std::string& fileName);
    // Writes the job's settings through SaveSettings into a file of the caller's choice.
    void SaveSettingsTo(const std::string& fileName);

    // The drawn images of the menu and the progress rows (index: TProgressImage).
    static const std::vector<QIcon>& ProgressImages();

    // Raw bytes of a row's path columns (the shown texts are decoded copies).
    static std::string ItemBytes(const QTreeWidgetItem* item, int column);

    // --- the overridable operations, in their fixed order ---
    // One command-line argument; true when recognised. Overrides call this first.
    virtual bool ProcessParameter(const std::string& param);
    // Whether CurrentPage may be shown; a refused page is skipped in the direction of travel.
    virtual bool IsPageAvailable();
    // Navigation and page-entry work. Overrides call this first.
    virtual void SetPage(int page);
    // Buttons and header texts of the current page.
    virtual void UpdateNavigation();
    // Converts one file; a failure is reported only by throwing.
    virtual void ConvertFile(const std::string& source, const std::string& dest);
    // The source filter: whether a found file is ticked and taken into the run.
    virtual bool AcceptFile(const std::string& fileName);
    // Extension (with its dot) of the selected destination format.
    virtual std::string GetDestinationExt();
    virtual void BeforeRun();
    virtual void AfterRun();
    // The list that the popup's Select all, Unselect all and Revert act on.
    virtual QTreeWidget* GetSelectionList();
    // The settings file; overrides call these first and then add their own sections.
    virtual void LoadSettings();
    virtual void SaveSettings();
    // What happens to destinations that exist: the overwrite box, or keep both.
    TExistingFiles ExistingFiles() const;

    // The job the window shows: its controls read into a job, and a job shown
    // in them. The settings file and the switches go through these; a derived
    // window adds its own controls (calling these first).
    TBatchJob Job() const;
    virtual void FillJob(TBatchJob& job) const;
    virtual void ShowJob(const TBatchJob& job);
    // The file the Options page's preview converts: the File list's current
    // row, else its first ticked one; before the list is built, the first
    // file of the source folder the run would take. "" when there is none.
    std::string PreviewSource();
    // The rows of the progress list, in its order.
    const std::vector<TBatchRow>& Rows() const { return FRows; }
    // The counts of the last run.
    const TBatchSummary& LastSummary() const { return FSummary; }
    // What opens a folder or page with the desktop's handler (ShellOpen unless
    // replaced); false when nothing took it.
    using TShellOpener = std::function<bool(const std::string& target)>;
    void SetShellOpener(TShellOpener opener) { FShellOpener = std::move(opener); }
    // Beyond the twelve: a conversion for one worker thread of a parallel run,
    // made on the window thread when the run starts (after BeforeRun). It must
    // not touch a widget. An empty function keeps the run on the window thread,
    // one file at a time through ConvertFile.
    virtual TWorkerConversion CreateWorkerConversion();

protected:
    // The window's setter of a switch of the table (batch/Switches.h), applied
    // by ProcessParameter with the switch's value.
    using TSwitchSetter = std::function<void(const std::string& value)>;
    void SetSwitchSetter(const char* name, TSwitchSetter setter);

    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    // Building the lists (called on forward entry to pages 5 and 6).
    void BuildFileList();
    void ReportUnreadableFolder(const std::string& folder, int error);
    void BuildProgressList();
    void AddProgressRow(const TBatchRow& row);
    void EnterRunState();
    void LeaveRunState();
    // The unattended run's one updating line on a terminal: rows done of all,
    // percent, megapixels per second, failures, time left; final clears it.
    void ShowProgressLine(int done, int total, bool final);

    // The written size of a source, for the name pattern's {w} and {h}; the
    // framework cannot know it.
    virtual bool WrittenSize(const std::string& source, int& width, int& height);

    // What the found files' ticks depend on beyond the folder, the mask and the
    // sub-folder flag (the derived window's source formats): while none of them
    // changes, the File list keeps the ticks the user gave.
    virtual std::string SourceFilterKey();
    // Whether the current page may be left forwards; a refusal has been said.
    bool MayLeavePage();
    // A message box with the program's title, answered before it returns.
    void ShowMessage(const QString& text);

    // The source from paths dropped on the window: one folder, or files (then
    // the File list holds exactly those, whatever the mask).
    void DropSources(const std::vector<std::string>& paths);
    // Ticks or unticks every row of a list.
    static void SetAllTicks(QTreeWidget* list, bool on);
    // "412 files, 380 ticked" above the File list.
    void UpdateFileCount();

    // Gives a list of the derived window the popup menu pmListView.
    void AttachListPopup(QTreeWidget* list);

    // The file LoadSettings and SaveSettings use: the per-user settings file,
    // or the preset being read or written.
    std::string SettingsFileName() const;
    // Whether LoadSettings and SaveSettings are at the per-user file (view
    // settings such as the window's size belong there only), not at a preset.
    bool UsingUserSettings() const;
    // An argument that cannot be applied (an unreadable preset, an option value
    // that names nothing). Reported after the whole command line: unattended on
    // stderr with exit status 1 and nothing converted, else in a message box.
    void CommandLineError(const std::string& message);

    // Reports an error that reached an event handler: a message box when the
    // window is shown, a line on stderr and exit status 1 when unattended.
    void ReportError(const std::string& message);
    // Runs a handler body so that no exception leaves a Qt slot (it would end
    // the program): errors are reported instead.
    template <class F> void RunGuarded(F&& body) {
        try {
            body();
        } catch (const std::exception& e) {
            ReportError(e.what());
        } catch (...) {
            ReportError("Unknown error");
        }
    }
    // A slot that runs handler guarded, whatever the signal's arguments.
    template <class F> auto GuardedSlot(F handler) {
        return [this, handler](auto&&...) { RunGuarded(handler); };
    }

    // Button and menu handlers.
    void btnFirstClick();
    void btnPrevClick();
    void btnNextClick();
    void btnLastClick();
    void btnCancelClick();
    void btnStopClick();
    void btnCloseClick();
    void btnConvertClick();
    // Execute from the last page or the menu: asks first when every row of the
    // list has been through a run already.
    void ExecuteAgainOrRun();
    void btnOpenDestinationClick();
    void btnSourceNameClick(int tag);
    void btnLogProcessedClick();
    void chkLogProcessedClick(bool checked);
    void edSourceNameChange();
    void miSelectAllClick(int tag);
    void miFileLoadSettingsClick();
    void miFileSaveSettingsClick();
    void miHelpContentsClick();
    void miHelpHomepageClick();
    void miHelpSupportClick();
    void miHelpAboutClick();
    void FirstIdle();
    void FormResize();

    // Header.
    QFrame* pnlDescription;
    QLabel* lblCaption;
    QLabel* lblDescription;
    QLabel* imgBackground;
    QLabel* imgDescription;
    TLogoStrip* pbLogo;
    QStackedWidget* pcWizard;
    QFrame* bvlLine;
    TLinkLabel* lblProductURL;
    // Buttons.
    QPushButton* btnFirst;
    QPushButton* btnPrev;
    QPushButton* btnNext;
    QPushButton* btnLast;
    QPushButton* btnCancel;
    QPushButton* btnStop;
    QPushButton* btnClose; // the last page's
    // Page sheets.
    QWidget* tsInfo;
    QWidget* tsSource;
    QWidget* tsDestination;
    QWidget* tsOptions;
    QWidget* tsFileList;
    QWidget* tsLog;
    // Page 1.
    QLabel* lblGeneralInfo;
    // Page 2.
    QLabel* lblSourceName;
    QLineEdit* edSourceName;
    QPushButton* btnSourceName;
    QCheckBox* chkSubFolders;
    QCheckBox* chkKeepFolders;
    QLabel* lblSourceWildcard;
    QLineEdit* edSourceWildcard;
    QLabel* lblDropNote;
    // Page 3.
    QLabel* lblDestinationName;
    QLineEdit* edDestinationName;
    QPushButton* btnDestinationName;
    QCheckBox* chkOverwrite;
    QCheckBox* chkKeepBoth;
    QLabel* lblNamePattern;
    QLineEdit* edNamePattern;
    TRadioGroup* rgDestination;
    // Page 4.
    QCheckBox* chkLogProcessed;
    QLineEdit* edLogProcessed;
    QPushButton* btnLogProcessed;
    QLabel* lblThreads;
    QSpinBox* seThreads;
    // Page 5.
    QLabel* lblFileCount;
    QPushButton* btnTickAllFiles;
    QPushButton* btnTickNoFiles;
    QTreeWidget* lvFileName;
    // Page 6.
    QTreeWidget* lvProgress;
    QProgressBar* pbProcess;
    QLabel* lblRunProgress;
    QPushButton* btnOpenDestination;
    // Menus.
    QMenu* pmListView;
    QAction* miSelectAll;
    QAction* miUnselectAll;
    QAction* miRevert;
    QAction* miFileSource;
    QAction* miFileDestination;
    QAction* miFileLoadSettings;
    QAction* miFileSaveSettings;
    QAction* miFileExecute;
    QAction* miFileExit;
    QAction* miHelpContents;
    QAction* miHelpHomepage;
    QAction* miHelpSupport;
    QAction* miHelpAbout;

    // Fields, in the framework's order.
    bool FFirstIdlePending = true;
    int FCurrentPage = 0;
    int FPageCount = 6;
    bool FFinishRequested = false;
    bool FRunOnStart = false;

    // Design sizes of the client area and of a page: controls are placed for
    // them and anchored (window/Anchors.h) to grow with the window.
    static constexpr QSize ClientDesign{540, 470};
    static constexpr QSize PageDesign{505, 365};

private:
    friend class TWindowHooks;
    void CreateControls();
    void AnchorControls();
    void CreateMenus();
    void BeginBusy();
    void EndBusy();
    // The mask's name part, and what the File list's search depends on.
    std::string FileListMask() const;
    std::string FileListKey();
    void SetRowStatus(QTreeWidgetItem* item, const QString& status, int image);
    // A row's result: its status, icon and time on screen.
    void ShowRowOutcome(QTreeWidgetItem* item, const TBatchRow& row);
    // Unattended: a failed row's stderr line and exit status.
    void RecordRowOutcome(const TBatchRow& row);
    // The whole run beside the progress bar: rows done of all, time spent and left.
    void ShowRunProgress();
    // The closing message of a run in the window, with its counts and offers.
    void ShowRunEndMessage(bool cancelled);
    // Selects the failed rows of the progress list and shows the first.
    void ShowFailedRows();

    QPushButton* FDefaultButton = nullptr;
    QPushButton* FEscapeButton = nullptr;
    QShortcut* FEnterKey = nullptr;
    QShortcut* FReturnKey = nullptr;
    QShortcut* FEscapeKey = nullptr;
    bool FShowMainForm = true;
    bool FSettingsLoaded = false;
    bool FStopRequested = false;
    bool FRunning = false;
    int FBusy = 0;
    bool FCloseWhenIdle = false;
    bool FExecuteAllowed = false; // File, Execute: from the end of the first run
    int FExitCode = 0;
    std::string FSettingsFile;  // non-empty while a preset is read or written
    bool FPresetLoaded = false; // a preset from the command line stands for the per-user file
    std::vector<std::string> FCommandLineErrors;
    std::map<std::string, TSwitchSetter> FSwitchSetters;
    std::string FFileListKey; // what the File list was last built from
    QSize FDefaultSize;       // the window's size on a first start
    bool FCountPending = false;
    std::vector<std::string> FDroppedFiles; // the File list's rows while not empty
    bool FSettingSource = false;
    bool FSourceGiven = false, FDestinationGiven = false; // by /SRC and /DST

    bool FDryRun = false;
    bool FProgressOnTerminal = false;
    int64_t FRunStartTick = 0;
    int64_t FRunStartPixels = 0;
    int FRunDone = 0, FRunTotal = 0, FRunFailures = 0;
    size_t FRowsFinished = 0;           // as they finish, in any order
    std::vector<bool> FRowFinishedSeen; // a row counts once
    int64_t FRunProgressShownTick = 0;  // the label's last update
    bool FListRun = false;              // the progress list has been through a run
    TShellOpener FShellOpener;
    bool FQuiet = false;
    TShard FShard;
    std::vector<TBatchRow> FRows;
    TBatchSummary FSummary;
};
