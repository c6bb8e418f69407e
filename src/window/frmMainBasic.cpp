// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/frmMainBasic.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "batch/ProcessedLog.h"
#include "batch/RowConversion.h"
#include "batch/RunProgress.h"
#include "batch/SourceScan.h"
#include "batch/Switches.h"
#include "batch/UnattendedRun.h"
#include "convert/ImageConverter.h"
#include "util/FileUtils.h"
#include "util/IniFile.h"
#include "util/Wildcard.h"
#include "window/Anchors.h"
#include "window/Artwork.h"
#include "window/LinkLabel.h"
#include "window/LogoStrip.h"
#include "window/RadioGroup.h"
#include "window/WindowUtils.h"
#include "window/frmAbout.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QSpinBox>
#include <QStackedWidget>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

const char* const StatusWaiting = "Waiting";
const char* const StatusSkipped = "Skipped";
const char* const StatusInProgress = "In progress";
const char* const StatusFinished = "Finished";
const char* const StatusErrorPrefix = "Error ";

namespace {

const char* const AppTitle = "Trevasco";

struct TPageHeader {
    const char* Title;
    const char* Description;
};

const TPageHeader PageHeaders[6] = {
    {"General information",
     "This wizard allows you to specify details on how you would like to convert files."},
    {"Source", "Please select the source directory and mark the file format(s) of the data you "
               "would like to convert."},
    {"Destination", "Please select the destination folder and mark the format of the files you "
                    "would like to create."},
    {"Options", "Define additional options for the destination format."},
    {"File list", "Select the files that contain the data you would like to convert."},
    {"Summary", "We've gathered all the information the wizard needs to convert your file(s). "
                "Please click Execute to begin the convert process."},
};

const char* const GeneralInfo =
    "Using this wizard you may convert thousands of files in a few mouse clicks.\n"
    "You may run this task at once or on a regular basis.\n"
    " \n"
    "Go through the wizard's steps and click the Execute button, or start the program with "
    "command-line arguments, to convert the files.";

QByteArray ToByteArray(const std::string& s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

QWidget* MakeSheet(QStackedWidget* pages, const char* name, const char* caption) {
    auto* sheet = new QWidget(pages);
    sheet->setObjectName(QString::fromLatin1(name));
    sheet->setWindowTitle(QString::fromLatin1(caption));
    pages->addWidget(sheet);
    return sheet;
}

template <class T> T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// Runs an action when a button's mnemonic is pressed, at once and instead of
// the button's delayed animated click.
class TShortcutAction : public QObject {
public:
    TShortcutAction(QObject* parent, std::function<void()> action)
        : QObject(parent), FAction(std::move(action)) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Shortcut) return false;
        FAction();
        return true;
    }

private:
    std::function<void()> FAction;
};

// Ends the program's event loop with a status. Only a running loop is told: exit()
// without one would make every later loop (a message box's too) return at once.
void EndApplication(int status) {
    if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(status);
}

} // namespace

const std::vector<QIcon>& TfrmMainBasic::ProgressImages() {
    static const std::vector<QIcon> images = [] {
        std::vector<QIcon> v;
        for (int i = 0; i <= piSkipped; ++i)
            v.emplace_back(DrawProgressImage(i));
        return v;
    }();
    return images;
}

std::string TfrmMainBasic::ItemBytes(const QTreeWidgetItem* item, int column) {
    QVariant raw = item->data(column, Qt::UserRole);
    if (raw.isValid()) {
        QByteArray b = raw.toByteArray();
        return std::string(b.constData(), static_cast<size_t>(b.size()));
    }
    return item->text(column).toUtf8().toStdString();
}

// The window's part in the batch core's work: its overridable operations
// convert and filter, and its lists show what happens.
class TWindowHooks : public TBatchHooks {
public:
    explicit TWindowHooks(TfrmMainBasic& form) : F(form) {}

    bool AcceptFile(const std::string& fileName) override { return F.AcceptFile(fileName); }
    std::string GetDestinationExt() override { return F.GetDestinationExt(); }
    void ConvertFile(const std::string& source, const std::string& dest) override {
        F.ConvertFile(source, dest);
    }
    void BeforeRun() override { F.BeforeRun(); }
    void AfterRun() override { F.AfterRun(); }
    TWorkerConversion CreateWorkerConversion() override { return F.CreateWorkerConversion(); }
    bool WrittenSize(const std::string& source, int& width, int& height) override {
        return F.WrittenSize(source, width, height);
    }
    std::string LogTime() override { return LogDateTime(QDateTime::currentDateTime()); }
    void UnreadableFolder(const std::string& folder, int error) override {
        F.ReportUnreadableFolder(folder, error);
    }

    void RunStarted(size_t total, bool parallel) override {
        F.FRunTotal = static_cast<int>(total);
        FParallel = parallel;
        if (parallel) F.SetProgress(0, std::max(static_cast<int>(total), 1));
        F.FRowsFinished = 0;
        F.FRowFinishedSeen.assign(F.FRows.size(), false);
        F.ShowRunProgress();
    }
    void RowStarted(size_t row) override {
        if (QTreeWidgetItem* item = F.lvProgress->topLevelItem(static_cast<int>(row)))
            F.SetRowStatus(item, QString::fromLatin1(StatusInProgress), piInProgress);
    }
    void RowFinished(size_t row, const TBatchRow& outcome) override {
        if (QTreeWidgetItem* item = F.lvProgress->topLevelItem(static_cast<int>(row)))
            F.ShowRowOutcome(item, outcome);
        // A row whose log line fails comes a second time; it is still one row.
        if (row < F.FRowFinishedSeen.size() && !F.FRowFinishedSeen[row]) {
            F.FRowFinishedSeen[row] = true;
            ++F.FRowsFinished;
            if (FParallel) F.SetProgress(static_cast<int>(F.FRowsFinished), F.FRunTotal);
            F.ShowRunProgress();
        }
    }
    void RowRecorded(size_t, const TBatchRow& row) override { F.RecordRowOutcome(row); }
    void Progress(size_t done, size_t total) override {
        F.FRunDone = static_cast<int>(done);
        F.ShowProgressLine(static_cast<int>(done), static_cast<int>(total), false);
    }
    bool StopRequested() override { return F.FStopRequested; }
    void Idle() override {
        // The time spent goes on while a long file converts.
        if (TickCount() - F.FRunProgressShownTick >= 1000) F.ShowRunProgress();
        QCoreApplication::processEvents();
    }

private:
    TfrmMainBasic& F;
    bool FParallel = false;
};

// ---------------------------------------------------------------------------
// Creation

TfrmMainBasic::TfrmMainBasic(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmMainBasic"));
    QFont windowFont(QStringLiteral("MS Sans Serif"));
    windowFont.setStyleHint(QFont::SansSerif);
    windowFont.setPointSize(8);
    setFont(windowFont);

    CreateControls();
    CreateMenus();
    FShellOpener = ShellOpen;

    // FormCreate: the framework's part.
    FFirstIdlePending = true;
    setWindowTitle(QString::fromLatin1(AppTitle));
    lblProductURL->setText(QStringLiteral("Quorvath Software"));
    lblProductURL->setToolTip(QString::fromLatin1(MakerHomepageAddress));

    const std::string folder = DefaultFolder();
    SetEditBytes(edSourceName, folder);
    SetEditBytes(edDestinationName, folder);
    SetEditBytes(edLogProcessed, folder + EditBytes(edLogProcessed));
    chkLogProcessedClick(chkLogProcessed->isChecked());

    // A folder or files dropped on the window become the source.
    setAcceptDrops(true);
    FPageCount = 6;
    SetPage(1);
    FRunOnStart = false;
    // The first idle moment: a zero-timeout timer runs once the event loop is up.
    QTimer::singleShot(0, this, [this] { FirstIdle(); });
}

TfrmMainBasic::~TfrmMainBasic() = default;

void TfrmMainBasic::CreateControls() {
    auto* client = Named(new QWidget(this), "pnlClient");
    // The size everything is placed for, and the smallest the window goes: with
    // its menu and title bar it fits a 1366x768 screen, and a 1920x1080 one at
    // twice the scale. Larger, the lists grow (anchors below).
    client->setMinimumSize(ClientDesign);
    client->resize(ClientDesign);
    setCentralWidget(client);

    // Header.
    pnlDescription = Named(new QFrame(client), "pnlDescription");
    pnlDescription->setGeometry(0, 0, 540, 59);
    pnlDescription->setAutoFillBackground(true);
    QPalette white = pnlDescription->palette();
    white.setColor(QPalette::Window, Qt::white);
    pnlDescription->setPalette(white);
    imgBackground = Named(new QLabel(pnlDescription), "imgBackground");
    imgBackground->setPixmap(DrawHeaderBackground());
    imgBackground->setGeometry(540 - 138, 0, 138, 59);
    imgDescription = Named(new QLabel(pnlDescription), "imgDescription");
    imgDescription->setPixmap(DrawHeaderIcon());
    imgDescription->setAttribute(Qt::WA_TranslucentBackground);
    imgDescription->setGeometry(imgBackground->x() + 86, 5, 48, 48);
    QPalette navy = pnlDescription->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    lblCaption = Named(new QLabel(pnlDescription), "lblCaption");
    QFont bold = font();
    bold.setBold(true);
    lblCaption->setFont(bold);
    lblCaption->setPalette(navy);
    lblCaption->setGeometry(12, 4, 380, 16);
    lblDescription = Named(new QLabel(pnlDescription), "lblDescription");
    lblDescription->setPalette(navy);
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblDescription->setGeometry(28, 20, 360, 38);

    pbLogo = Named(new TLogoStrip(client), "pbLogo");
    pbLogo->setGeometry(0, 60, 30, 365);

    pcWizard = Named(new QStackedWidget(client), "pcWizard");
    pcWizard->setGeometry(33, 60, 505, 365);
    tsInfo = MakeSheet(pcWizard, "tsInfo", "Information");
    tsSource = MakeSheet(pcWizard, "tsSource", "Source");
    tsDestination = MakeSheet(pcWizard, "tsDestination", "Destination");
    tsOptions = MakeSheet(pcWizard, "tsOptions", "Options");
    tsFileList = MakeSheet(pcWizard, "tsFileList", "File list");
    tsLog = MakeSheet(pcWizard, "tsLog", "Log");

    // Page 1.
    lblGeneralInfo = Named(new QLabel(QString::fromLatin1(GeneralInfo), tsInfo), "lblGeneralInfo");
    lblGeneralInfo->setWordWrap(true);
    lblGeneralInfo->setAlignment(Qt::AlignCenter);
    lblGeneralInfo->setGeometry(30, 90, 445, 150);

    // Page 2.
    lblSourceName =
        Named(new QLabel(QStringLiteral("Source directory:"), tsSource), "lblSourceName");
    lblSourceName->setGeometry(8, 8, 300, 16);
    edSourceName = Named(new QLineEdit(tsSource), "edSourceName");
    lblSourceName->setBuddy(edSourceName);
    edSourceName->setGeometry(8, 26, 458, 22);
    btnSourceName = Named(new QPushButton(QStringLiteral("..."), tsSource), "btnSourceName");
    btnSourceName->setGeometry(470, 26, 27, 22);
    chkSubFolders =
        Named(new QCheckBox(QStringLiteral("Process sub-directories"), tsSource), "chkSubFolders");
    chkSubFolders->setGeometry(8, 54, 300, 20);
    chkKeepFolders = Named(new QCheckBox(QStringLiteral("Keep the sub-folder structure"), tsSource),
                           "chkKeepFolders");
    chkKeepFolders->setGeometry(250, 54, 247, 20);
    lblSourceWildcard =
        Named(new QLabel(QStringLiteral("File mask/wildcard:"), tsSource), "lblSourceWildcard");
    lblSourceWildcard->setGeometry(8, 80, 200, 16);
    edSourceWildcard = Named(new QLineEdit(QStringLiteral("*.*"), tsSource), "edSourceWildcard");
    lblSourceWildcard->setBuddy(edSourceWildcard);
    edSourceWildcard->setGeometry(8, 98, 200, 22);
    lblDropNote = Named(new QLabel(tsSource), "lblDropNote");
    lblDropNote->setGeometry(216, 80, 281, 16);
    lblDropNote->hide();

    // Page 3.
    lblDestinationName = Named(new QLabel(QStringLiteral("Destination directory:"), tsDestination),
                               "lblDestinationName");
    lblDestinationName->setGeometry(8, 8, 300, 16);
    edDestinationName = Named(new QLineEdit(tsDestination), "edDestinationName");
    lblDestinationName->setBuddy(edDestinationName);
    edDestinationName->setGeometry(8, 26, 458, 22);
    btnDestinationName =
        Named(new QPushButton(QStringLiteral("..."), tsDestination), "btnDestinationName");
    btnDestinationName->setGeometry(470, 26, 27, 22);
    chkOverwrite = Named(
        new QCheckBox(QStringLiteral("Overwrite destination file (if exists)"), tsDestination),
        "chkOverwrite");
    chkOverwrite->setGeometry(8, 54, 300, 20);
    chkOverwrite->setChecked(true);
    // Keep both is an addition of ours: it stands below the overwrite box and overrides it.
    chkKeepBoth = Named(new QCheckBox(QStringLiteral("Keep both files: write \"name (2).ext\" when "
                                                     "the destination exists"),
                                      tsDestination),
                        "chkKeepBoth");
    chkKeepBoth->setGeometry(8, 278, 489, 20);
    connect(chkKeepBoth, &QCheckBox::toggled, this,
            [this](bool on) { chkOverwrite->setEnabled(!on); });
    lblNamePattern =
        Named(new QLabel(QStringLiteral("File na&me:"), tsDestination), "lblNamePattern");
    lblNamePattern->setGeometry(8, 306, 80, 16);
    edNamePattern = Named(new QLineEdit(QStringLiteral("{name}"), tsDestination), "edNamePattern");
    edNamePattern->setGeometry(90, 302, 200, 22);
    edNamePattern->setToolTip(
        QStringLiteral("{name}: the source's name, {ext}: its extension, {n}: the row's number, "
                       "{w} and {h}: the written size"));
    lblNamePattern->setBuddy(edNamePattern);
    rgDestination = new TRadioGroup(QStringLiteral(" Destination format "), tsDestination);
    rgDestination->setObjectName(QStringLiteral("rgDestination"));
    rgDestination->setGeometry(8, 84, 489, 190);

    // Page 4: the derived window puts its option panels above the log settings.
    chkLogProcessed =
        Named(new QCheckBox(QStringLiteral("Save the list of processed files to log"), tsOptions),
              "chkLogProcessed");
    chkLogProcessed->setGeometry(8, 306, 232, 20);
    edLogProcessed =
        Named(new QLineEdit(QStringLiteral("processed.log"), tsOptions), "edLogProcessed");
    edLogProcessed->setGeometry(8, 330, 458, 22);
    btnLogProcessed = Named(new QPushButton(QStringLiteral("..."), tsOptions), "btnLogProcessed");
    btnLogProcessed->setGeometry(470, 330, 27, 22);
    // More than one file at a time is an addition of ours; one stays the default.
    lblThreads =
        Named(new QLabel(QStringLiteral("&Parallel conversions:"), tsOptions), "lblThreads");
    lblThreads->setGeometry(242, 308, 124, 16);
    lblThreads->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    seThreads = Named(new QSpinBox(tsOptions), "seThreads");
    seThreads->setGeometry(370, 304, 127, 22);
    // More files at once than cores helps when the files sit on slow or network storage.
    seThreads->setRange(0, ThreadLimit);
    seThreads->setSpecialValueText(QStringLiteral("0: one per core"));
    seThreads->setValue(DefaultThreads);
    seThreads->setToolTip(QStringLiteral("How many files are converted at once; 0 converts as "
                                         "many as the computer has cores (%1)")
                              .arg(MaxThreadCount()));
    lblThreads->setBuddy(seThreads);
    // Tab in reading order: the box stands on the row of the log check box.
    setTabOrder(chkLogProcessed, seThreads);

    // Page 5: the counts and the tick buttons above the list.
    lblFileCount = Named(new QLabel(tsFileList), "lblFileCount");
    lblFileCount->setGeometry(8, 12, 280, 16);
    btnTickAllFiles =
        Named(new QPushButton(QStringLiteral("Select &all"), tsFileList), "btnTickAllFiles");
    btnTickAllFiles->setGeometry(307, 8, 94, 25);
    btnTickNoFiles =
        Named(new QPushButton(QStringLiteral("Select n&one"), tsFileList), "btnTickNoFiles");
    btnTickNoFiles->setGeometry(403, 8, 94, 25);
    lvFileName = Named(new QTreeWidget(tsFileList), "lvFileName");
    lvFileName->setGeometry(8, 40, 489, 317);
    lvFileName->setColumnCount(2);
    lvFileName->setHeaderLabels({QStringLiteral("File name"), QStringLiteral("Path")});
    lvFileName->setColumnWidth(flcName, 150);
    lvFileName->setColumnWidth(flcPath, 300);
    // Page 6.
    lvProgress = Named(new QTreeWidget(tsLog), "lvProgress");
    lvProgress->setGeometry(8, 8, 489, 320);
    lvProgress->setColumnCount(4);
    lvProgress->setHeaderLabels({QStringLiteral("File name"), QStringLiteral("Status"),
                                 QStringLiteral("Time"), QStringLiteral("Destination file")});
    lvProgress->setColumnWidth(pcFileName, 300);
    lvProgress->setColumnWidth(pcStatus, 80);
    lvProgress->setColumnWidth(pcTime, 70);
    lvProgress->setColumnHidden(pcDestination, true);
    lvProgress->headerItem()->setTextAlignment(pcTime, Qt::AlignRight | Qt::AlignVCenter);
    for (QTreeWidget* list : {lvFileName, lvProgress}) {
        list->setRootIsDecorated(false);
        list->setUniformRowHeights(true); // keeps 20,000 rows cheap to lay out
        list->setSelectionBehavior(QAbstractItemView::SelectRows);
        list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        list->setIconSize(QSize(16, 16));
    }
    pbProcess = Named(new QProgressBar(tsLog), "pbProcess");
    pbProcess->setGeometry(8, 338, 120, 17);
    pbProcess->setRange(0, 100);
    pbProcess->setTextVisible(false);
    pbProcess->hide();
    lblRunProgress = Named(new QLabel(tsLog), "lblRunProgress");
    lblRunProgress->setGeometry(134, 336, 236, 21);
    lblRunProgress->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    btnOpenDestination =
        Named(new QPushButton(QStringLiteral("&Open destination"), tsLog), "btnOpenDestination");
    btnOpenDestination->setGeometry(374, 334, 123, 25);
    btnOpenDestination->setAutoDefault(false);
    btnOpenDestination->setEnabled(false); // until a run has written something there
    // A long error text is read by widening the window: the status takes the room.
    lvProgress->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvProgress->header()->setStretchLastSection(false);
    lvProgress->header()->setSectionResizeMode(pcStatus, QHeaderView::Stretch);

    // Bottom.
    bvlLine = Named(new QFrame(client), "bvlLine");
    bvlLine->setFrameShape(QFrame::HLine);
    bvlLine->setFrameShadow(QFrame::Sunken);
    bvlLine->setGeometry(8, 428, 524, 4);
    lblProductURL = Named(new TLinkLabel(QString(), client), "lblProductURL");
    lblProductURL->setGeometry(12, 441, 150, 18);
    btnFirst = Named(new QPushButton(QStringLiteral("<<"), client), "btnFirst");
    btnFirst->setGeometry(200, 437, 25, 25);
    btnPrev = Named(new QPushButton(QStringLiteral("< &Back"), client), "btnPrev");
    btnPrev->setGeometry(227, 437, 80, 25);
    btnPrev->setEnabled(false);
    btnNext = Named(new QPushButton(QStringLiteral("&Next >"), client), "btnNext");
    btnNext->setGeometry(307, 437, 80, 25);
    btnLast = Named(new QPushButton(QStringLiteral(">>"), client), "btnLast");
    btnLast->setGeometry(389, 437, 25, 25);
    btnCancel = Named(new QPushButton(QStringLiteral("&Cancel"), client), "btnCancel");
    btnCancel->setGeometry(440, 437, 88, 25);
    btnStop = Named(new QPushButton(QStringLiteral("&Stop"), client), "btnStop");
    btnStop->setGeometry(440, 437, 88, 25);
    btnStop->setEnabled(false);
    btnStop->hide();
    // Where Next and >> are on the other pages, which have nowhere to go from the last one.
    btnClose = Named(new QPushButton(QStringLiteral("&Close"), client), "btnClose");
    btnClose->setGeometry(326, 437, 88, 25);
    btnClose->hide();
    setTabOrder(btnLast, btnClose);
    setTabOrder(btnClose, btnCancel);
    for (QPushButton* b : {btnFirst, btnPrev, btnNext, btnLast, btnCancel, btnStop, btnClose})
        b->setAutoDefault(false);
    AnchorControls();

    // Enter and Escape act on the buttons UpdateNavigation designates.
    auto press = [this](bool escape) {
        // During a run Escape is the Stop button; it acts at once, not after the file in hand.
        if (escape && FRunning) return btnStopClick();
        QPushButton* b = escape ? FEscapeButton : FDefaultButton;
        if (b && b->isVisible() && b->isEnabled()) b->click();
    };
    FReturnKey = new QShortcut(QKeySequence(Qt::Key_Return), this, [press] { press(false); });
    FEnterKey = new QShortcut(QKeySequence(Qt::Key_Enter), this, [press] { press(false); });
    FEscapeKey = new QShortcut(QKeySequence(Qt::Key_Escape), this, [press] { press(true); });

    auto guarded = [this](auto handler) { return GuardedSlot(std::move(handler)); };
    connect(btnFirst, &QPushButton::clicked, this, guarded([this] { btnFirstClick(); }));
    connect(btnPrev, &QPushButton::clicked, this, guarded([this] { btnPrevClick(); }));
    connect(btnNext, &QPushButton::clicked, this, guarded([this] { btnNextClick(); }));
    connect(btnLast, &QPushButton::clicked, this, guarded([this] { btnLastClick(); }));
    connect(btnCancel, &QPushButton::clicked, this, guarded([this] { btnCancelClick(); }));
    connect(btnStop, &QPushButton::clicked, this, guarded([this] { btnStopClick(); }));
    // Alt+S would click only after the button's 100 ms press animation, by which time
    // the next file may have started: the letter stops at once, as a click does.
    btnStop->installEventFilter(new TShortcutAction(btnStop, [this] { btnStopClick(); }));
    connect(btnClose, &QPushButton::clicked, this, guarded([this] { btnCloseClick(); }));
    connect(btnOpenDestination, &QPushButton::clicked, this,
            guarded([this] { btnOpenDestinationClick(); }));
    connect(btnSourceName, &QPushButton::clicked, this, guarded([this] { btnSourceNameClick(1); }));
    connect(btnDestinationName, &QPushButton::clicked, this,
            guarded([this] { btnSourceNameClick(2); }));
    connect(btnLogProcessed, &QPushButton::clicked, this,
            guarded([this] { btnLogProcessedClick(); }));
    connect(chkLogProcessed, &QCheckBox::toggled, this,
            [this](bool on) { chkLogProcessedClick(on); });
    connect(edSourceName, &QLineEdit::textChanged, this, [this] { edSourceNameChange(); });
    connect(edSourceWildcard, &QLineEdit::textChanged, this, [this] { edSourceNameChange(); });
    connect(chkSubFolders, &QCheckBox::toggled, this, [this] { edSourceNameChange(); });
    connect(lblProductURL, &TLinkLabel::clicked, this, guarded([this] { miHelpHomepageClick(); }));
    for (auto [button, on] : {std::pair{btnTickAllFiles, true}, std::pair{btnTickNoFiles, false}}) {
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this,
                [this, on = on] { SetAllTicks(lvFileName, on); });
    }
    // Counted once the changes of one step are in: Select all ticks thousands of rows.
    connect(lvFileName, &QTreeWidget::itemChanged, this, [this] {
        if (FCountPending) return;
        FCountPending = true;
        QTimer::singleShot(0, this, [this] { UpdateFileCount(); });
    });
    setTabOrder(btnTickAllFiles, btnTickNoFiles);
    setTabOrder(btnTickNoFiles, lvFileName);
}

void TfrmMainBasic::SetAllTicks(QTreeWidget* list, bool on) {
    list->setUpdatesEnabled(false);
    for (int i = 0, n = list->topLevelItemCount(); i < n; ++i)
        list->topLevelItem(i)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
    list->setUpdatesEnabled(true);
}

void TfrmMainBasic::UpdateFileCount() {
    FCountPending = false;
    const int count = lvFileName->topLevelItemCount();
    int ticked = 0;
    for (int i = 0; i < count; ++i)
        ticked += lvFileName->topLevelItem(i)->checkState(flcName) == Qt::Checked;
    lblFileCount->setText(QStringLiteral("%1 %2, %3 ticked")
                              .arg(count)
                              .arg(count == 1 ? "file" : "files")
                              .arg(ticked));
}

void TfrmMainBasic::CreateMenus() {
    const auto& images = ProgressImages();
    auto guarded = [this](auto handler) { return GuardedSlot(std::move(handler)); };
    auto item = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* a = menu->addAction(QString::fromLatin1(caption));
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };

    QMenu* file = Named(menuBar()->addMenu(QStringLiteral("&File")), "miFile");
    miFileSource = item(file, "miFileSource", "Source directory...");
    miFileDestination = item(file, "miFileDestination", "Destination directory...");
    file->addSeparator();
    miFileLoadSettings = item(file, "miFileLoadSettings", "Load settings...");
    miFileSaveSettings = item(file, "miFileSaveSettings", "Save settings as...");
    file->addSeparator();
    miFileExecute = item(file, "miFileExecute", "Execute");
    miFileExecute->setIcon(images[piExecute]);
    miFileExecute->setEnabled(false);
    file->addSeparator();
    miFileExit = item(file, "miFileExit", "Exit");
    miFileExit->setIcon(images[piExit]);

    QMenu* help = Named(menuBar()->addMenu(QStringLiteral("&Help")), "miHelp");
    miHelpContents = item(help, "miHelpContents", "Contents");
    help->addSeparator();
    miHelpHomepage = item(help, "miHelpHomepage", "Product homepage");
    miHelpHomepage->setToolTip(QStringLiteral("Visit product home page"));
    miHelpHomepage->setStatusTip(QStringLiteral("Visit product home page"));
    miHelpHomepage->setIcon(images[piHomepage]);
    miHelpSupport = item(help, "miHelpSupport", "Send E-mail to support");
    miHelpSupport->setIcon(images[piMail]);
    help->addSeparator();
    miHelpAbout = item(help, "miHelpAbout", "About...");
    help->setToolTipsVisible(true);

    connect(miFileSource, &QAction::triggered, this, guarded([this] { btnSourceNameClick(1); }));
    connect(miFileDestination, &QAction::triggered, this,
            guarded([this] { btnSourceNameClick(2); }));
    connect(miFileExecute, &QAction::triggered, this, guarded([this] { btnConvertClick(); }));
    connect(miFileLoadSettings, &QAction::triggered, this,
            guarded([this] { miFileLoadSettingsClick(); }));
    connect(miFileSaveSettings, &QAction::triggered, this,
            guarded([this] { miFileSaveSettingsClick(); }));
    connect(miFileExit, &QAction::triggered, this, [this] { close(); });
    connect(miHelpContents, &QAction::triggered, this, guarded([this] { miHelpContentsClick(); }));
    connect(miHelpHomepage, &QAction::triggered, this, guarded([this] { miHelpHomepageClick(); }));
    connect(miHelpSupport, &QAction::triggered, this, guarded([this] { miHelpSupportClick(); }));
    connect(miHelpAbout, &QAction::triggered, this, guarded([this] { miHelpAboutClick(); }));

    // The list popup, shared with the derived window's lists; items told apart by tag.
    pmListView = new QMenu(this);
    pmListView->setObjectName(QStringLiteral("pmListView"));
    pmListView->setToolTipsVisible(true);
    struct TPopupItem {
        const char* Name;
        const char* Caption;
        const char* Hint;
    };
    const TPopupItem popup[3] = {{"miSelectAll", "&Select all", "Select all items"},
                                 {"miUnselectAll", "&Unselect all", "Unselect all items"},
                                 {"miRevert", "Revert", "Revert selections for all items"}};
    QAction* actions[3];
    for (int tag = 0; tag < 3; ++tag) {
        actions[tag] = item(pmListView, popup[tag].Name, popup[tag].Caption);
        actions[tag]->setToolTip(QString::fromLatin1(popup[tag].Hint));
        actions[tag]->setStatusTip(QString::fromLatin1(popup[tag].Hint));
        actions[tag]->setData(tag);
        connect(actions[tag], &QAction::triggered, this,
                guarded([this, tag] { miSelectAllClick(tag); }));
    }
    miSelectAll = actions[0];
    miUnselectAll = actions[1];
    miRevert = actions[2];
    AttachListPopup(lvFileName);

    // The client area at its design size plus the menu bar; the user may enlarge it.
    adjustSize();
    resize(minimumSizeHint().expandedTo(sizeHint()));
    FDefaultSize = size();
}

void TfrmMainBasic::AnchorControls() {
    const QSize page = PageDesign;
    Anchor(pcWizard, akStretchX | akStretchY, ClientDesign);
    Anchor(pbLogo, akStretchY, ClientDesign);
    Anchor(bvlLine, akStretchX | akMoveY, ClientDesign);
    Anchor(lblProductURL, akMoveY, ClientDesign);
    for (QWidget* w : std::initializer_list<QWidget*>{btnFirst, btnPrev, btnNext, btnLast,
                                                      btnCancel, btnStop, btnClose})
        Anchor(w, akMoveX | akMoveY, ClientDesign);
    Anchor(lblGeneralInfo, akStretchX, page);
    for (QWidget* w :
         std::initializer_list<QWidget*>{edSourceName, edDestinationName, edLogProcessed})
        Anchor(w, akStretchX, page);
    for (QWidget* w : std::initializer_list<QWidget*>{
             btnSourceName, btnDestinationName, btnLogProcessed, lblThreads, seThreads,
             chkKeepFolders, btnTickAllFiles, btnTickNoFiles})
        Anchor(w, akMoveX, page);
    Anchor(rgDestination, akStretchX, page);
    Anchor(lvFileName, akStretchX | akStretchY, page);
    Anchor(lvProgress, akStretchX | akStretchY, page);
    Anchor(pbProcess, akStretchX | akMoveY, page);
    Anchor(lblRunProgress, akMoveX | akMoveY, page);
    Anchor(btnOpenDestination, akMoveX | akMoveY, page);
}

namespace {
// Opens a list's popup at the current row when the menu key asks for it (the
// mouse pointer may be anywhere then), and at the pointer otherwise.
class TListPopupOpener : public QObject {
public:
    TListPopupOpener(QTreeWidget* list, QMenu* menu) : QObject(list), FList(list), FMenu(menu) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::ContextMenu) return false;
        auto* e = static_cast<QContextMenuEvent*>(event);
        QPoint at = e->globalPos();
        if (e->reason() == QContextMenuEvent::Keyboard) {
            const QRect row =
                FList->currentItem() ? FList->visualItemRect(FList->currentItem()) : QRect();
            at = FList->viewport()->mapToGlobal(row.isValid() ? row.bottomLeft() : QPoint(0, 0));
        }
        FMenu->popup(at);
        return true;
    }

private:
    QTreeWidget* FList;
    QMenu* FMenu;
};
} // namespace

void TfrmMainBasic::AttachListPopup(QTreeWidget* list) {
    // The viewport receives the mouse's request, the list the keyboard's.
    auto* opener = new TListPopupOpener(list, pmListView);
    list->installEventFilter(opener);
    list->viewport()->installEventFilter(opener);
}

// ---------------------------------------------------------------------------
// Command line

void TfrmMainBasic::ProcessCommandLine(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (!ProcessParameter(arg) && !arg.empty() && arg[0] == '/')
            // A misspelt switch would otherwise change the job without a word.
            std::fprintf(stderr, "trevasco: unknown switch %s ignored\n",
                         EscapeControlCharacters(arg).c_str());
    FShowMainForm = !FRunOnStart;
    if (!FCommandLineErrors.empty() && !FShowMainForm) {
        for (const std::string& message : FCommandLineErrors)
            std::fprintf(stderr, "trevasco: %s\n", message.c_str());
        FExitCode = 1;
    }
}

void TfrmMainBasic::CommandLineError(const std::string& message) {
    FCommandLineErrors.push_back(message);
}

bool TfrmMainBasic::ProcessParameter(const std::string& param) {
    std::string value;
    const TSwitchInfo* info = FindSwitch(param, value);
    if (!info) return false;
    // A setter the window attached itself comes first.
    if (const auto setter = FSwitchSetters.find(info->Name); setter != FSwitchSetters.end()) {
        setter->second(value);
        return true;
    }
    TBatchJob job = Job();
    TSwitchContext context{job, FCommandLineErrors, [this, &job](const std::string& fileName) {
                               LoadSettingsFrom(fileName);
                               FPresetLoaded = true;
                               job = Job();
                           }};
    if (!ApplySwitch(context, param)) return false;
    ShowJob(job);
    // Folders named outright are kept at the first show instead of the Pictures folder.
    if (SameTextAscii(info->Name, "/SRC")) FSourceGiven = true;
    if (SameTextAscii(info->Name, "/DST")) FDestinationGiven = true;
    return true;
}

TExistingFiles TfrmMainBasic::ExistingFiles() const {
    if (chkKeepBoth->isChecked()) return TExistingFiles::Rename;
    return chkOverwrite->isChecked() ? TExistingFiles::Overwrite : TExistingFiles::Skip;
}

void TfrmMainBasic::SetSwitchSetter(const char* name, TSwitchSetter setter) {
    FSwitchSetters[name] = std::move(setter);
}

TBatchJob TfrmMainBasic::Job() const {
    TBatchJob job = NewBatchJob();
    FillJob(job);
    return job;
}

void TfrmMainBasic::FillJob(TBatchJob& job) const {
    job.SourceFolder = EditBytes(edSourceName);
    job.Mask = EditBytes(edSourceWildcard);
    job.SubFolders = chkSubFolders->isChecked();
    job.DestinationFolder = EditBytes(edDestinationName);
    job.Existing = ExistingFiles();
    job.KeepFolders = chkKeepFolders->isChecked();
    job.NamePattern = EditBytes(edNamePattern);
    job.LogProcessed = chkLogProcessed->isChecked();
    job.LogFile = EditBytes(edLogProcessed);
    job.Threads = seThreads->value();
    job.Options.Destination = DestinationFromIndex(rgDestination->ItemIndex());
    job.Shard = FShard;
    job.DryRun = FDryRun;
    job.Quiet = FQuiet;
    job.Execute = FRunOnStart;
}

void TfrmMainBasic::ShowJob(const TBatchJob& job) {
    SetEditBytes(edSourceName, job.SourceFolder);
    SetEditBytes(edSourceWildcard, job.Mask);
    chkSubFolders->setChecked(job.SubFolders);
    SetEditBytes(edDestinationName, job.DestinationFolder);
    // Under keep both the overwrite box keeps its tick: it applies again once keep both is off.
    chkKeepBoth->setChecked(job.Existing == TExistingFiles::Rename);
    if (job.Existing != TExistingFiles::Rename)
        chkOverwrite->setChecked(job.Existing == TExistingFiles::Overwrite);
    chkKeepFolders->setChecked(job.KeepFolders);
    SetEditBytes(edNamePattern, job.NamePattern);
    chkLogProcessed->setChecked(job.LogProcessed);
    SetEditBytes(edLogProcessed, job.LogFile);
    seThreads->setValue(job.Threads);
    rgDestination->SetItemIndex(job.Options.Destination ? *job.Options.Destination : -1);
    FShard = job.Shard;
    FDryRun = job.DryRun;
    FQuiet = job.Quiet;
    FRunOnStart = job.Execute;
}

// ---------------------------------------------------------------------------
// The other overridable operations: the framework's own behaviour

bool TfrmMainBasic::IsPageAvailable() {
    return true;
}

void TfrmMainBasic::SetPage(int page) {
    if (page == FCurrentPage) return;
    const bool forward = page > FCurrentPage;
    FCurrentPage = page;
    UpdateNavigation();
    if (forward && page == 5) BuildFileList();
    if (forward && page == 6) BuildProgressList();
    if (IsPageAvailable()) {
        pcWizard->setCurrentIndex(page - 1);
    } else if (forward) {
        if (page < FPageCount) SetPage(page + 1);
    } else {
        if (page > 1) SetPage(page - 1);
    }
}

void TfrmMainBasic::UpdateNavigation() {
    const bool idle = FBusy == 0;
    btnPrev->setEnabled(idle && FCurrentPage > 1);
    btnNext->setEnabled(idle && FCurrentPage < FPageCount);
    btnFirst->setEnabled(btnPrev->isEnabled());
    btnLast->setEnabled(btnNext->isEnabled());

    const bool nextDefault = FCurrentPage < FPageCount;
    FDefaultButton = nextDefault ? btnNext : btnCancel;
    // Escape closes the window from every page: Cancel there, Close on the last.
    FEscapeButton = nextDefault ? btnCancel : btnClose;
    btnNext->setVisible(nextDefault);
    btnLast->setVisible(nextDefault);
    btnClose->setVisible(!nextDefault);
    btnClose->setEnabled(idle);
    btnNext->setDefault(nextDefault);
    btnCancel->setDefault(!nextDefault);

    if (FCurrentPage >= 1 && FCurrentPage <= 6) {
        const TPageHeader& h = PageHeaders[FCurrentPage - 1];
        lblCaption->setText(QString::fromLatin1(h.Title));
        lblDescription->setText(QString::fromLatin1(h.Description));
    }
    btnCancel->setText(FCurrentPage < FPageCount ? QStringLiteral("&Cancel")
                                                 : QStringLiteral("Execute"));
}

void TfrmMainBasic::ConvertFile(const std::string&, const std::string&) {}

bool TfrmMainBasic::AcceptFile(const std::string&) {
    return false;
}

std::string TfrmMainBasic::GetDestinationExt() {
    return std::string();
}

std::string TfrmMainBasic::SourceFilterKey() {
    return std::string();
}

void TfrmMainBasic::BeforeRun() {}

void TfrmMainBasic::AfterRun() {}

TWorkerConversion TfrmMainBasic::CreateWorkerConversion() {
    return {};
}

QTreeWidget* TfrmMainBasic::GetSelectionList() {
    return lvFileName;
}

bool TfrmMainBasic::UsingUserSettings() const {
    return FSettingsFile.empty();
}

std::string TfrmMainBasic::SettingsFileName() const {
    return FSettingsFile.empty() ? GetSettingsFileName() : FSettingsFile;
}

void TfrmMainBasic::LoadSettingsFrom(const std::string& fileName) {
    CheckSettingsFile(fileName);
    FSettingsFile = fileName;
    try {
        LoadSettings();
    } catch (...) {
        FSettingsFile.clear();
        throw;
    }
    FSettingsFile.clear();
}

void TfrmMainBasic::SaveSettingsTo(const std::string& fileName) {
    FSettingsFile = fileName;
    try {
        SaveSettings();
    } catch (...) {
        FSettingsFile.clear();
        throw;
    }
    FSettingsFile.clear();
}

void TfrmMainBasic::miFileLoadSettingsClick() {
    if (FBusy > 0) return;
    const QString chosen =
        QFileDialog::getOpenFileName(this, QStringLiteral("Load settings"), QString(),
                                     QStringLiteral("Settings files (*.ini);;All files (*)"));
    if (!chosen.isEmpty()) LoadSettingsFrom(chosen.toUtf8().toStdString());
}

void TfrmMainBasic::miFileSaveSettingsClick() {
    QFileDialog dialog(this, QStringLiteral("Save settings as"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("ini"));
    dialog.setNameFilters(
        {QStringLiteral("Settings files (*.ini)"), QStringLiteral("All files (*)")});
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SaveSettingsTo(dialog.selectedFiles().first().toUtf8().toStdString());
}

void TfrmMainBasic::LoadSettings() {
    // The job as shown, then every key the file has over it.
    const TIniFile ini(SettingsFileName());
    TBatchJob job = Job();
    LoadBatchJobGeneral(ini, job);
    // A preset carries its mask; the per-user file never does, so every start begins with *.*.
    if (!FSettingsFile.empty()) LoadPresetMask(ini, job);
    ShowJob(job);
    // The window's size belongs to the user's file, not to a job's preset.
    const int width = FSettingsFile.empty() ? ini.ReadInteger("Window", "Width", 0) : 0;
    const int height = FSettingsFile.empty() ? ini.ReadInteger("Window", "Height", 0) : 0;
    if (width > 0 && height > 0) {
        QSize wanted = QSize(width, height).expandedTo(minimumSize());
        if (QScreen* s = screen()) wanted = wanted.boundedTo(s->availableGeometry().size());
        resize(wanted.expandedTo(minimumSize()));
    }
}

void TfrmMainBasic::SaveSettings() {
    TIniFile ini(SettingsFileName());
    const TBatchJob job = Job();
    SaveBatchJobGeneral(ini, job);
    if (!FSettingsFile.empty()) SavePresetMask(ini, job);
    const QSize now = isMaximized() || isFullScreen() ? normalGeometry().size() : size();
    if (FSettingsFile.empty() && (now != FDefaultSize || ini.ValueExists("Window", "Width"))) {
        ini.WriteInteger("Window", "Width", now.width());
        ini.WriteInteger("Window", "Height", now.height());
    }
}

// ---------------------------------------------------------------------------
// Busy state: while a list is built or a run goes on, nothing may navigate,
// start a run or replace the lists being walked.

void TfrmMainBasic::BeginBusy() {
    ++FBusy;
    for (QPushButton* b : {btnFirst, btnPrev, btnNext, btnLast, btnCancel, btnClose})
        b->setEnabled(false);
    miFileExecute->setEnabled(false);
}

void TfrmMainBasic::EndBusy() {
    if (--FBusy > 0) return;
    UpdateNavigation();
    btnCancel->setEnabled(true);
    miFileExecute->setEnabled(FExecuteAllowed);
    if (FCloseWhenIdle) QTimer::singleShot(0, this, [this] { close(); });
}

// ---------------------------------------------------------------------------
// Source scan

std::string TfrmMainBasic::FileListMask() const {
    std::string mask = EditBytes(edSourceWildcard);
    size_t slash = mask.find_last_of('/');
    if (slash != std::string::npos) mask.erase(0, slash + 1);
    return mask.empty() ? "*.*" : mask;
}

std::string TfrmMainBasic::FileListKey() {
    std::string key = EditBytes(edSourceName) + '\0' + FileListMask() + '\0' +
                      (chkSubFolders->isChecked() ? "1" : "0") + '\0' + SourceFilterKey();
    for (const std::string& file : FDroppedFiles)
        key += '\0' + file;
    return key;
}

std::string TfrmMainBasic::PreviewSource() {
    // The File list's current row, else its first ticked one, while the list
    // still shows what the source pages say.
    if (FFileListKey == FileListKey() && lvFileName->topLevelItemCount() > 0) {
        const QTreeWidgetItem* row = lvFileName->currentItem();
        for (int i = 0; i < lvFileName->topLevelItemCount() && !row; ++i)
            if (lvFileName->topLevelItem(i)->checkState(flcName) == Qt::Checked)
                row = lvFileName->topLevelItem(i);
        return row ? JoinPath(ItemBytes(row, flcPath), ItemBytes(row, flcName)) : std::string();
    }
    // Before the list is built: the first file the source folder itself would give.
    for (const std::string& file : FDroppedFiles)
        if (AcceptFile(file.substr(file.find_last_of('/') + 1))) return file;
    if (!FDroppedFiles.empty()) return std::string();
    const std::string folder = EditBytes(edSourceName);
    const std::vector<std::string> masks = TBatchRunner::SplitMasks(FileListMask());
    for (const TDirEntry& entry : ListFolder(folder)) {
        if (entry.IsDirectory || !AcceptFile(entry.Name)) continue;
        for (const std::string& mask : masks)
            if (MatchWildcard(entry.Name, mask, true)) return JoinPath(folder, entry.Name);
    }
    return std::string();
}

void TfrmMainBasic::BuildFileList() {
    BeginBusy();
    try {
        // The folder is searched anew (files come and go), but the ticks the
        // user gave stay while the search is the same one.
        const std::string key = FileListKey();
        std::map<std::string, Qt::CheckState> ticks;
        if (key == FFileListKey)
            for (int i = 0; i < lvFileName->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* row = lvFileName->topLevelItem(i);
                ticks[ItemBytes(row, flcPath) + '\0' + ItemBytes(row, flcName)] =
                    row->checkState(flcName);
            }
        lvFileName->clear();
        FFileListKey.clear();
        QList<QTreeWidgetItem*> rows;
        auto addRow = [&rows](const std::string& folder, const std::string& name, bool ticked) {
            auto* row = new QTreeWidgetItem();
            row->setText(flcName, DecodeBytes(name));
            row->setData(flcName, Qt::UserRole, ToByteArray(name));
            row->setText(flcPath, DecodeBytes(folder));
            row->setData(flcPath, Qt::UserRole, ToByteArray(folder));
            row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            row->setCheckState(flcName, ticked ? Qt::Checked : Qt::Unchecked);
            rows.append(row);
        };
        if (FDroppedFiles.empty()) {
            const TBatchJob job = Job();
            TWindowHooks hooks(*this);
            for (const TSourceFile& file : TBatchRunner(job, hooks).Scan())
                addRow(file.Dir, file.Name, file.Ticked);
        }
        for (const std::string& file : FDroppedFiles) {
            const size_t cut = file.find_last_of('/');
            const std::string folder = cut == std::string::npos ? "." : file.substr(0, cut);
            const std::string name = cut == std::string::npos ? file : file.substr(cut + 1);
            addRow(folder.empty() ? "/" : folder, name, AcceptFile(name));
        }
        // The search does not yield; the list takes its rows in one step when it is done.
        lvFileName->addTopLevelItems(rows);
        FFileListKey = key;
        for (int i = 0; i < lvFileName->topLevelItemCount() && !ticks.empty(); ++i) {
            QTreeWidgetItem* row = lvFileName->topLevelItem(i);
            const auto kept = ticks.find(ItemBytes(row, flcPath) + '\0' + ItemBytes(row, flcName));
            if (kept != ticks.end()) row->setCheckState(flcName, kept->second);
        }
        UpdateFileCount();
    } catch (...) {
        EndBusy();
        throw;
    }
    EndBusy();
}

void TfrmMainBasic::ReportUnreadableFolder(const std::string& folder, int error) {
    // A folder the scan cannot see into would otherwise pass for an empty one,
    // and a script would hear of success while its files stayed unconverted.
    if (FShowMainForm) return;
    std::fprintf(stderr, "%s: Cannot read the folder: %s\n",
                 EscapeControlCharacters(folder).c_str(), std::strerror(error));
    FExitCode = 1;
}

void TfrmMainBasic::miSelectAllClick(int tag) {
    QTreeWidget* list = GetSelectionList();
    if (!list) return;
    list->setUpdatesEnabled(false);
    for (int i = 0, n = list->topLevelItemCount(); i < n; ++i) {
        QTreeWidgetItem* row = list->topLevelItem(i);
        Qt::CheckState state = Qt::Checked;
        if (tag == 1) state = Qt::Unchecked;
        if (tag == 2) state = row->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked;
        row->setCheckState(0, state);
    }
    list->setUpdatesEnabled(true);
}

// ---------------------------------------------------------------------------
// Progress list and batch run

void TfrmMainBasic::BuildProgressList() {
    BeginBusy();
    try {
        lvProgress->clear();
        FRows.clear();
        FListRun = false;
        lblRunProgress->clear();
        btnOpenDestination->setEnabled(false);
        std::vector<TSourceFile> files;
        for (int i = 0; i < lvFileName->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = lvFileName->topLevelItem(i);
            files.push_back({ItemBytes(row, flcPath), ItemBytes(row, flcName),
                             row->checkState(flcName) == Qt::Checked});
        }
        const TBatchJob job = Job();
        TWindowHooks hooks(*this);
        FRows = TBatchRunner(job, hooks).BuildRows(files);
        for (const TBatchRow& row : FRows)
            AddProgressRow(row);
    } catch (...) {
        EndBusy();
        throw;
    }
    EndBusy();
}

void TfrmMainBasic::AddProgressRow(const TBatchRow& planned) {
    auto* row = new QTreeWidgetItem();
    row->setText(pcFileName, DecodeBytes(planned.Source));
    row->setData(pcFileName, Qt::UserRole, ToByteArray(planned.Source));
    row->setText(pcDestination, DecodeBytes(planned.Dest));
    row->setData(pcDestination, Qt::UserRole, ToByteArray(planned.Dest));
    row->setTextAlignment(pcTime, Qt::AlignRight | Qt::AlignVCenter);
    if (planned.State == TRowState::Failed || planned.State == TRowState::Skipped) {
        // Never converted: a row that would overwrite another row's output or a source,
        // or one whose destination exists while overwriting is off.
        ShowRowOutcome(row, planned);
    } else {
        row->setText(pcStatus, QString::fromLatin1(StatusWaiting));
    }
    lvProgress->addTopLevelItem(row);
    QCoreApplication::processEvents();
}

void TfrmMainBasic::SetRowStatus(QTreeWidgetItem* item, const QString& status, int image) {
    item->setText(pcStatus, status);
    item->setIcon(pcFileName, image < 0 ? QIcon() : ProgressImages()[static_cast<size_t>(image)]);
}

void TfrmMainBasic::EnterRunState() {
    BeginBusy();
    FRunning = true;
    FStopRequested = false;
    btnStop->setText(QStringLiteral("&Stop"));
    btnStop->setEnabled(true);
    btnStop->show();
    btnCancel->hide();
    btnCancel->setEnabled(false);
    miFileExecute->setEnabled(false);
    pbProcess->setValue(pbProcess->minimum());
    pbProcess->setValue(0);
    pbProcess->show();
}

void TfrmMainBasic::LeaveRunState() {
    btnStop->setEnabled(false);
    btnStop->hide();
    btnStop->setText(QStringLiteral("&Stop"));
    btnCancel->show();
    btnCancel->setEnabled(true);
    pbProcess->hide();
    FRunning = false;
    FExecuteAllowed = true;
    EndBusy();
}

void TfrmMainBasic::btnStopClick() {
    if (!FRunning || FStopRequested) return;
    FStopRequested = true;
    // Said at once; the files in hand still finish.
    btnStop->setText(QStringLiteral("Stopping\u2026"));
    btnStop->setEnabled(false);
}

void TfrmMainBasic::SetProgress(int position, int maximum) {
    pbProcess->setMaximum(maximum);
    pbProcess->setValue(position);
    // A long file converted on this thread keeps the window answering (Stop above all).
    if (FRunning && FShowMainForm && QThread::currentThread() == thread() &&
        TickCount() - FRunProgressShownTick >= 100) {
        ShowRunProgress();
        QCoreApplication::processEvents();
    }
}

void TfrmMainBasic::ShowRunProgress() {
    FRunProgressShownTick = TickCount();
    if (!FShowMainForm) return;
    const TRunProgress progress{FRowsFinished, static_cast<size_t>(std::max(FRunTotal, 0)),
                                FRunProgressShownTick - FRunStartTick};
    lblRunProgress->setText(QString::fromStdString(ProgressText(progress)));
}

int TfrmMainBasic::ThreadCount() const {
    return EffectiveThreads(seThreads->value());
}

int TfrmMainBasic::MaxThreadCount() {
    return ::MaxThreadCount();
}

void TfrmMainBasic::ShowProgressLine(int done, int total, bool final) {
    if (FShowMainForm || FQuiet || !FProgressOnTerminal) return;
    if (final) {
        std::fputs("\r\033[K", stderr);
        return;
    }
    const TRunProgress progress{static_cast<size_t>(std::max(done, 0)),
                                static_cast<size_t>(std::max(total, 0)),
                                TickCount() - FRunStartTick};
    const double megapixels =
        static_cast<double>(TImageConverter::PixelsConverted() - FRunStartPixels) / 1e6;
    std::fprintf(stderr, "\r\033[K%d of %d (%d%%), %.1f MP/s, %d failed, %s left", done, total,
                 progress.Percent(), megapixels / progress.ElapsedSeconds(), FRunFailures,
                 MinutesSeconds(progress.SecondsLeft()).c_str());
    std::fflush(stderr);
}

void TfrmMainBasic::ShowRowOutcome(QTreeWidgetItem* item, const TBatchRow& row) {
    if (row.State == TRowState::Skipped) {
        SetRowStatus(item, QString::fromLatin1(StatusSkipped), piSkipped);
    } else if (row.State == TRowState::Finished) {
        SetRowStatus(item, QString::fromLatin1(StatusFinished), piFinished);
        const std::string time = std::to_string(row.Milliseconds + 1) + " msec";
        item->setText(pcTime, QString::fromLatin1(time.c_str()));
    } else if (row.State == TRowState::Failed) {
        SetRowStatus(item, QString::fromLatin1(StatusErrorPrefix) + QString::fromUtf8(row.Message),
                     piError);
        item->setToolTip(pcStatus, QString::fromUtf8(row.Message));
    }
}

void TfrmMainBasic::RecordRowOutcome(const TBatchRow& row) {
    if (row.State != TRowState::Failed || FShowMainForm) return;
    // One line per failure, so that scripts can read them line by line.
    if (FProgressOnTerminal && !FQuiet) std::fputs("\r\033[K", stderr);
    std::fprintf(stderr, "%s: %s\n", EscapeControlCharacters(row.Source).c_str(),
                 EscapeControlCharacters(OneLine(row.Message)).c_str());
    FExitCode = 1;
    ++FRunFailures;
}

void TfrmMainBasic::RunBatch() {
    if (FRunning) return;
    EnterRunState();
    try {
        FRunStartTick = TickCount();
        FRunStartPixels = TImageConverter::PixelsConverted();
        FRunDone = FRunFailures = FRunTotal = 0;
        FRowsFinished = 0;
        FProgressOnTerminal = ::isatty(STDERR_FILENO) != 0;
        pbProcess->setMinimum(0);
        const TBatchJob job = Job();
        TWindowHooks hooks(*this);
        FSummary = TBatchRunner(job, hooks).Run(FRows);
    } catch (...) {
        LeaveRunState();
        throw;
    }
    const bool cancelled = FStopRequested;
    ShowProgressLine(FRunDone, FRunTotal, true);
    FListRun = true;
    if (FShowMainForm) {
        ShowRunProgress();
        btnOpenDestination->setEnabled(FSummary.Converted > 0);
    }
    LeaveRunState();

    if (FShowMainForm && !FCloseWhenIdle) ShowRunEndMessage(cancelled);
}

void TfrmMainBasic::ShowRunEndMessage(bool cancelled) {
    QString text = QStringLiteral("Image conversion finished.");
    if (cancelled)
        text = QStringLiteral("Conversion canceled.");
    else if (lvProgress->topLevelItemCount() == 0)
        text = QStringLiteral("No documents found in source directory.");
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(AppTitle), text, QMessageBox::Ok,
                    this);
    if (!FRows.empty()) {
        const size_t waiting =
            static_cast<size_t>(std::count_if(FRows.begin(), FRows.end(), [](const TBatchRow& row) {
                return row.State == TRowState::Waiting;
            }));
        QString counts = QStringLiteral("%1 converted, %2 skipped, %3 failed")
                             .arg(FSummary.Converted)
                             .arg(FSummary.Skipped)
                             .arg(FSummary.Failed);
        if (waiting > 0) counts += QStringLiteral(", %1 not started").arg(waiting);
        box.setInformativeText(counts + QLatin1Char('.'));
        if (FSummary.Failed > 0) box.setIcon(QMessageBox::Warning);
    }
    // Offers after the answer, so that Ok stays the first and the default button.
    QPushButton* showFailed =
        FSummary.Failed > 0
            ? box.addButton(QStringLiteral("Show &failed files"), QMessageBox::ActionRole)
            : nullptr;
    QPushButton* openFolder =
        FSummary.Converted > 0
            ? box.addButton(QStringLiteral("&Open destination folder"), QMessageBox::ActionRole)
            : nullptr;
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
    if (showFailed && box.clickedButton() == showFailed) ShowFailedRows();
    if (openFolder && box.clickedButton() == openFolder) btnOpenDestinationClick();
}

void TfrmMainBasic::ShowFailedRows() {
    lvProgress->clearSelection();
    QTreeWidgetItem* first = nullptr;
    for (size_t i = 0; i < FRows.size(); ++i) {
        QTreeWidgetItem* item = lvProgress->topLevelItem(static_cast<int>(i));
        if (!item || FRows[i].State != TRowState::Failed) continue;
        item->setSelected(true);
        if (!first) first = item;
    }
    if (!first) return;
    lvProgress->setCurrentItem(first, pcFileName, QItemSelectionModel::NoUpdate);
    lvProgress->scrollToItem(first);
    lvProgress->setFocus();
}

void TfrmMainBasic::btnOpenDestinationClick() {
    const std::string folder = Job().DestinationFolder;
    const QString shown = DecodeBytes(folder);
    if (!QFileInfo(QFile::decodeName(folder.c_str())).isDir())
        ShowMessage(QStringLiteral("The destination folder %1 does not exist.").arg(shown));
    else if (!FShellOpener || !FShellOpener(folder))
        ShowMessage(QStringLiteral("No program is set up to open folders. The converted files "
                                   "are in %1.")
                        .arg(shown));
}

// ---------------------------------------------------------------------------
// Handlers

void TfrmMainBasic::btnFirstClick() {
    while (FCurrentPage > 1) {
        const int before = FCurrentPage;
        btnPrevClick();
        if (FCurrentPage == before) break;
    }
}

void TfrmMainBasic::btnPrevClick() {
    if (FCurrentPage > 1) SetPage(FCurrentPage - 1);
}

void TfrmMainBasic::btnNextClick() {
    if (FCurrentPage < FPageCount && MayLeavePage()) SetPage(FCurrentPage + 1);
}

bool TfrmMainBasic::MayLeavePage() {
    // The command line keeps its rules (empty folders mean the current one);
    // in the window a wrong folder is said where it was entered.
    if (!FShowMainForm) return true;
    QLineEdit* field = nullptr;
    QString problem;
    if (pcWizard->currentWidget() == tsSource) {
        const std::string folder = EditBytes(edSourceName);
        struct stat st {};
        if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) {
            field = edSourceName;
            problem =
                QStringLiteral("The source folder \"%1\" does not exist.").arg(DecodeBytes(folder));
        } else if (!S_ISDIR(st.st_mode)) {
            field = edSourceName;
            problem = QStringLiteral("\"%1\" is not a folder.").arg(DecodeBytes(folder));
        }
    } else if (pcWizard->currentWidget() == tsDestination &&
               edDestinationName->text().trimmed().isEmpty()) {
        field = edDestinationName;
        problem = QStringLiteral("Please enter the destination folder.");
    }
    if (!field) return true;
    ShowMessage(problem);
    field->setFocus();
    field->selectAll();
    return false;
}

void TfrmMainBasic::ShowMessage(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(AppTitle), text, QMessageBox::Ok,
                    this);
    box.exec();
}

void TfrmMainBasic::btnLastClick() {
    while (FCurrentPage < FPageCount) {
        const int before = FCurrentPage;
        btnNextClick();
        if (FCurrentPage == before) break;
    }
}

void TfrmMainBasic::btnCancelClick() {
    FFinishRequested = FCurrentPage == FPageCount;
    if (FFinishRequested)
        ExecuteAgainOrRun();
    else
        close();
}

void TfrmMainBasic::btnCloseClick() {
    close();
}

void TfrmMainBasic::btnConvertClick() {
    ExecuteAgainOrRun();
}

void TfrmMainBasic::ExecuteAgainOrRun() {
    if (FRunning) return;
    const auto any = [this](TRowState state) {
        return std::any_of(FRows.begin(), FRows.end(),
                           [state](const TBatchRow& r) { return r.State == state; });
    };
    // Converted already: nothing left waiting, and something was written.
    const bool allDone = FListRun && !any(TRowState::Waiting) && any(TRowState::Finished);
    if (allDone) {
        // A stopped run goes on without asking; a finished one is not repeated by a stray Return.
        QMessageBox box(QMessageBox::Question, QString::fromLatin1(AppTitle),
                        QStringLiteral("The files were converted already. Convert them again?"),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes) return;
        BuildProgressList();
    }
    RunBatch();
}

void TfrmMainBasic::btnSourceNameClick(int tag) {
    QLineEdit* edit = tag == 1 ? edSourceName : edDestinationName;
    std::string folder = EditBytes(edit);
    if (SelectFolder(this, QStringLiteral("Select the folder"), folder) &&
        folder != EditBytes(edit))
        SetEditBytes(edit, folder);
}

void TfrmMainBasic::btnLogProcessedClick() {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("log"));
    dialog.setNameFilters({QStringLiteral("Log files (*.log)"), QStringLiteral("All files (*.*)")});
    dialog.selectFile(edLogProcessed->text());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SetEditBytes(edLogProcessed, dialog.selectedFiles().first().toUtf8().toStdString());
}

void TfrmMainBasic::chkLogProcessedClick(bool checked) {
    edLogProcessed->setEnabled(checked);
    btnLogProcessed->setEnabled(checked);
}

void TfrmMainBasic::edSourceNameChange() {
    // The file list is rebuilt on forward entry to its page; a search the user
    // changes replaces files that were dropped.
    if (FSettingSource || FDroppedFiles.empty()) return;
    FDroppedFiles.clear();
    lblDropNote->hide();
}

void TfrmMainBasic::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    const bool local = !urls.isEmpty() && std::all_of(urls.begin(), urls.end(), [](const QUrl& u) {
        return u.isLocalFile();
    });
    if (local && FBusy == 0) event->acceptProposedAction();
}

void TfrmMainBasic::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    event->acceptProposedAction();
    RunGuarded([this, &paths] { DropSources(paths); });
}

void TfrmMainBasic::DropSources(const std::vector<std::string>& paths) {
    if (paths.empty() || FBusy > 0) return;
    std::vector<std::string> files;
    std::string folder;
    int folders = 0;
    for (const std::string& path : paths) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ++folders;
            folder = path;
        } else if (S_ISREG(st.st_mode)) {
            files.push_back(path);
        }
    }
    if (folders + files.size() == 0) return;
    if (folders > 1 || (folders == 1 && !files.empty())) {
        ShowMessage(QStringLiteral("Drop one folder, or files: their pictures are converted."));
        return;
    }
    auto parentOf = [](const std::string& path) {
        const size_t slash = path.find_last_of('/');
        return slash == std::string::npos ? std::string(".")
               : slash == 0               ? std::string("/")
                                          : path.substr(0, slash);
    };
    if (folders == 1) {
        FDroppedFiles.clear();
    } else {
        // The folder the files share stands for the source (sub-folders are kept below it).
        folder = parentOf(files.front());
        for (const std::string& file : files)
            while (folder != "/" && folder != "." && parentOf(file) != folder &&
                   !parentOf(file).starts_with(folder + "/"))
                folder = parentOf(folder);
        FDroppedFiles = files;
    }
    FSettingSource = true;
    SetEditBytes(edSourceName, folder);
    FSettingSource = false;
    lblDropNote->setVisible(!FDroppedFiles.empty());
    lblDropNote->setText(QStringLiteral("%1 dropped %2; the mask does not apply")
                             .arg(FDroppedFiles.size())
                             .arg(FDroppedFiles.size() == 1 ? "file" : "files"));
    // Shown where the user is: the Source page, or the File list from there on.
    if (FCurrentPage >= 5) {
        BuildFileList();
        if (FCurrentPage != 5) SetPage(5);
    } else if (FCurrentPage == 1) {
        SetPage(2);
    }
}

void TfrmMainBasic::miHelpContentsClick() {
    const std::string manual = FindManual(GetProgramFolder());
    if (manual.empty())
        ShowMessage(QStringLiteral("The manual is not installed. \"man trevasco\" shows it in a "
                                   "terminal, and \"trevasco --help\" lists the switches."));
    else if (!FShellOpener || !FShellOpener(manual))
        ShowMessage(QStringLiteral("No program is set up to open web pages. The manual is the "
                                   "file %1.")
                        .arg(DecodeBytes(manual)));
}

void TfrmMainBasic::miHelpHomepageClick() {
    ShellOpen(ProductHomepageAddress);
}

void TfrmMainBasic::miHelpSupportClick() {
    ShellOpen(SupportMailLink);
}

void TfrmMainBasic::miHelpAboutClick() {
    TfrmAbout about(this);
    about.exec();
}

void TfrmMainBasic::FirstIdle() {
    if (!FFirstIdlePending) return;
    FFirstIdlePending = false;
    setWindowTitle(QString::fromLatin1(AppTitle));
    if (!FCommandLineErrors.empty()) {
        std::string text;
        for (const std::string& message : FCommandLineErrors)
            text += (text.empty() ? "" : "\n") + message;
        FCommandLineErrors.clear();
        if (FRunOnStart) {
            // Already reported on stderr: a job that is not what was asked for never runs.
            FRunOnStart = false;
            EndApplication(FExitCode);
            return;
        }
        ReportError(text);
    }
    if (!FRunOnStart) return;
    FRunOnStart = false;
    try {
        btnLastClick();
        if (FDryRun)
            FExitCode = std::max(FExitCode, PrintRows(FRows));
        else
            RunBatch();
    } catch (const std::exception& e) {
        ReportError(e.what());
    } catch (...) {
        ReportError("Unknown error");
    }
    EndApplication(FExitCode);
}

bool TfrmMainBasic::WrittenSize(const std::string&, int&, int&) {
    return false;
}

void TfrmMainBasic::ReportError(const std::string& message) {
    if (FShowMainForm) {
        QMessageBox::critical(this, QString::fromLatin1(AppTitle),
                              QString::fromUtf8(message.c_str()));
    } else {
        std::fprintf(stderr, "trevasco: %s\n", message.c_str());
        FExitCode = 1;
    }
}

// ---------------------------------------------------------------------------
// Window events

void TfrmMainBasic::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Qt shows again on restore; the settings are read once, on the first real show.
    if (event->spontaneous() || FSettingsLoaded || !FShowMainForm) return;
    FSettingsLoaded = true;
    // A preset named on the command line stands for the per-user file, which
    // would otherwise override it and every switch.
    if (FPresetLoaded) return;
    // A first start looks in the user's pictures (a switch may say otherwise, and
    // the settings file of an earlier start does); an unattended run keeps the
    // current folder.
    if (!FSourceGiven) SetEditBytes(edSourceName, PicturesFolder());
    if (!FDestinationGiven) SetEditBytes(edDestinationName, PicturesFolder());
    try {
        LoadSettings();
    } catch (const std::exception& e) {
        ReportError(e.what());
    } catch (...) {
        ReportError("Unknown error");
    }
}

void TfrmMainBasic::closeEvent(QCloseEvent* event) {
    if (FBusy > 0) {
        // A run stops after the file in hand; a list being built stops at once.
        // The window closes when they have finished.
        FCloseWhenIdle = true;
        if (FRunning) btnStopClick();
        event->ignore();
        return;
    }
    if (!FFinishRequested && FShowMainForm && isVisible()) {
        QMessageBox box(
            QMessageBox::Question, QString::fromLatin1(AppTitle),
            QStringLiteral("The wizard has not completed. If you quit the wizard now, the convert "
                           "process will not complete. Do you want to quit the application?"),
            QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes) {
            FCloseWhenIdle = false;
            event->ignore();
            return;
        }
    }
    if (FShowMainForm && FSettingsLoaded) {
        try {
            SaveSettings();
        } catch (const std::exception& e) {
            // Reported, and the window still closes: a settings file that cannot be
            // written must not keep the user from quitting.
            ReportError(e.what());
        } catch (...) {
            ReportError("Unknown error");
        }
    }
    event->accept();
}

void TfrmMainBasic::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TfrmMainBasic::FormResize() {
    QWidget* client = centralWidget();
    if (!client || !pnlDescription) return;
    pnlDescription->setGeometry(0, 0, client->width(), 59);
    imgBackground->move(pnlDescription->width() - imgBackground->width(), 0);
    imgDescription->move(imgBackground->x() + 86, imgDescription->y());
}
