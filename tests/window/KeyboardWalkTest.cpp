// SPDX-License-Identifier: GPL-3.0-or-later
// The image window driven by the keyboard alone: on every page each enabled
// control is reached by Tab (and Backtab) in reading order without a trap, each
// kind of control is operated with its keys, the pages are walked with Alt and
// the button mnemonics, and a conversion started with Return writes its files.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Picture.h"
#include "window/frmMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class TKeyboardWindow : public TfrmMain {
public:
    using TfrmMain::SetPage;
};

// The control a key goes to: an open menu first, then the focused widget.
QWidget* KeyTarget() {
    if (QWidget* popup = QApplication::activePopupWidget()) return popup;
    if (QWidget* focus = QApplication::focusWidget()) return focus;
    return QApplication::activeWindow();
}

void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = KeyTarget();
    ASSERT_NE(target, nullptr) << "no widget takes the keyboard";
    QTest::keyClick(target, key, modifiers);
}

// Alt and a caption's underlined letter: the button shows itself pressed for a
// moment and then clicks, as a mouse click would.
void Mnemonic(Qt::Key key) {
    Press(key, Qt::AltModifier);
    QTest::qWait(150);
}

void Type(const QString& text) {
    QWidget* target = KeyTarget();
    ASSERT_NE(target, nullptr);
    QTest::keyClicks(target, text);
}

// The control's own name: a combo box's inner edit or a list's viewport answers
// for the named control around it.
QString NameOf(QWidget* w) {
    for (; w; w = w->parentWidget())
        if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
            return w->objectName();
    return QStringLiteral("<none>");
}

QString FocusName() {
    return NameOf(QApplication::focusWidget());
}

// The focus chain as Tab (or Backtab) walks it from the focused control until it
// comes back there. A key that leaves the focus where it was is a trap.
QStringList TabCycle(bool backwards = false) {
    const QString start = FocusName();
    QStringList seen{start};
    for (int i = 0; i < 80; ++i) {
        QWidget* before = QApplication::focusWidget();
        Press(backwards ? Qt::Key_Backtab : Qt::Key_Tab);
        if (QApplication::focusWidget() == before) {
            ADD_FAILURE() << "Tab is trapped in " << FocusName().toStdString();
            return seen;
        }
        if (FocusName() == start) return seen;
        seen << FocusName();
    }
    ADD_FAILURE() << "Tab never came back to " << start.toStdString() << ": "
                  << seen.join(QLatin1Char(' ')).toStdString();
    return seen;
}

// The cycle read from the first control of the page.
QStringList FromFirst(QStringList cycle, const QString& first) {
    const int at = static_cast<int>(cycle.indexOf(first));
    if (at < 0) return cycle;
    return cycle.mid(at) + cycle.mid(0, at);
}

QStringList Reversed(QStringList list) {
    std::reverse(list.begin(), list.end());
    return list;
}

// Tabs until the named control has the focus.
void TabTo(const QString& name) {
    for (int i = 0; i < 80 && FocusName() != name; ++i)
        Press(Qt::Key_Tab);
    ASSERT_EQ(FocusName().toStdString(), name.toStdString()) << "not reached by Tab";
}

// Answers the next modal dialog with a key, as a person at the keyboard would.
class TModalKeyAnswer {
public:
    explicit TModalKeyAnswer(Qt::Key key) {
        FTimer.setInterval(5);
        QObject::connect(&FTimer, &QTimer::timeout, [this, key] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible() || Seen.contains(modal->metaObject()->className()))
                return;
            Seen << modal->metaObject()->className();
            QWidget* target = QApplication::focusWidget();
            if (!target || target->window() != modal) target = modal;
            if (auto* box = qobject_cast<QMessageBox*>(modal)) Texts << box->text();
            QTest::keyClick(target, key);
        });
        FTimer.start();
    }
    QStringList Seen;
    QStringList Texts;

private:
    QTimer FTimer;
};

void WriteImage(const std::string& path, int width, int height) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(x * 255 / width);
            row[3 * x + 1] = static_cast<uint8_t>(y * 255 / height);
            row[3 * x + 2] = (x / 5 + y / 5) % 2 ? 220 : 30;
        }
    }
    b.SaveToFile(path);
}

class KeyboardWalk : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        RegisterImageFormats();
        fs::create_directory(In);
        WriteImage(In + "/first.bmp", 40, 30);
        WriteImage(In + "/second.bmp", 22, 14);
    }

    void Open(TKeyboardWindow& w) {
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    }

    // The window on a page, with the job's folders (and more) set by switches and
    // the focus on a navigation button.
    void OpenAt(TKeyboardWindow& w, int page, std::vector<std::string> switches = {}) {
        switches.insert(switches.begin(), {"/SRC=" + In, "/DST=" + Out});
        w.ProcessCommandLine(switches);
        Open(w);
        w.SetPage(page);
        auto* next = Child<QPushButton>(&w, "btnNext");
        if (next->isEnabled())
            next->setFocus();
        else
            Child<QPushButton>(&w, "btnCancel")->setFocus();
    }

    TPrivateSettings Settings;
    TTempFolder Tmp;
    std::string In = Tmp.File("in");
    std::string Out = Tmp.File("out");
};

const QStringList Navigation{"btnFirst", "btnPrev", "btnNext", "btnLast", "btnCancel"};

// Checks the page's cycle forwards and backwards against the expected reading order.
void ExpectCycle(const QStringList& expected) {
    const QStringList forward = FromFirst(TabCycle(), expected.first());
    EXPECT_EQ(forward.join(QLatin1Char(' ')).toStdString(),
              expected.join(QLatin1Char(' ')).toStdString());
    const QStringList backward = Reversed(TabCycle(true));
    EXPECT_EQ(FromFirst(backward, expected.first()).join(QLatin1Char(' ')).toStdString(),
              expected.join(QLatin1Char(' ')).toStdString());
}

} // namespace

TEST_F(KeyboardWalk, TheFirstPageOffersOnlyTheNavigationThatApplies) {
    TKeyboardWindow w;
    Open(w);
    Child<QPushButton>(&w, "btnNext")->setFocus();
    ExpectCycle({"btnNext", "btnLast", "btnCancel"});
    Mnemonic(Qt::Key_N);
    EXPECT_EQ(w.CurrentPage(), 2);
}

// Folder, its browse button, sub-folders, mask, source formats.
TEST_F(KeyboardWalk, TheSourcePageIsWalkedInReadingOrderAndItsControlsTakeTheirKeys) {
    TKeyboardWindow w;
    OpenAt(w, 2);
    ExpectCycle(QStringList{"edSourceName", "btnSourceName", "chkSubFolders", "chkKeepFolders",
                            "edSourceWildcard", "btnTickAllFormats", "btnTickNoFormats",
                            "lvImageFormats"} +
                Navigation);
    TabTo("edSourceName");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Tmp.File("typed")));
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text().toStdString(), Tmp.File("typed"));
    TabTo("chkSubFolders");
    Press(Qt::Key_Space);
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    Press(Qt::Key_Space);
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    TabTo("edSourceWildcard");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QStringLiteral("*.bmp"));
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceWildcard")->text(), "*.bmp");
    // The source formats: arrows move, Space unticks and ticks the row.
    TabTo("lvImageFormats");
    auto* formats = Child<QTreeWidget>(&w, "lvImageFormats");
    Press(Qt::Key_Home);
    Press(Qt::Key_Down);
    QTreeWidgetItem* row = formats->currentItem();
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(formats->indexOfTopLevelItem(row), 1);
    Press(Qt::Key_Space);
    EXPECT_EQ(row->checkState(0), Qt::Unchecked);
    Press(Qt::Key_Space);
    EXPECT_EQ(row->checkState(0), Qt::Checked);
}

// The browse button opens the folder dialog; Escape leaves the text alone.
TEST_F(KeyboardWalk, EscapeInTheFolderDialogKeepsTheTypedFolder) {
    TKeyboardWindow w;
    OpenAt(w, 2);
    TabTo("btnSourceName");
    TModalKeyAnswer escape(Qt::Key_Escape);
    Press(Qt::Key_Space);
    EXPECT_EQ(escape.Seen.size(), 1);
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text().toStdString(), In);
}

// The list's popup comes up from the keyboard's menu key, at the current row
// rather than wherever the mouse pointer happens to be, and Escape closes it.
TEST_F(KeyboardWalk, TheMenuKeyOpensTheListsPopupAtTheCurrentRow) {
    TKeyboardWindow w;
    OpenAt(w, 2);
    TabTo("lvImageFormats");
    auto* formats = Child<QTreeWidget>(&w, "lvImageFormats");
    Press(Qt::Key_Home);
    Press(Qt::Key_Down);
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(10, 10),
                              formats->viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(formats->viewport(), &menuKey);
    auto* popup = Child<QMenu>(&w, "pmListView");
    ASSERT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->pos(), formats->viewport()->mapToGlobal(
                                formats->visualItemRect(formats->currentItem()).bottomLeft()));
    Press(Qt::Key_Escape);
    EXPECT_FALSE(popup->isVisible());
}

// Destination folder, overwrite, the selected destination format.
TEST_F(KeyboardWalk, TheDestinationPageIsWalkedInReadingOrderAndItsControlsTakeTheirKeys) {
    TKeyboardWindow w;
    OpenAt(w, 3);
    ExpectCycle(QStringList{"edDestinationName", "btnDestinationName", "chkOverwrite",
                            "rgDestination0", "chkKeepBoth", "edNamePattern"} +
                Navigation);
    TabTo("edDestinationName");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Tmp.File("typed")));
    EXPECT_EQ(Child<QLineEdit>(&w, "edDestinationName")->text().toStdString(), Tmp.File("typed"));
    TabTo("chkOverwrite");
    Press(Qt::Key_Space);
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkOverwrite")->isChecked());
    Press(Qt::Key_Space);
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkOverwrite")->isChecked());
}

// Only the selected format is a Tab stop; the arrows move within the group, and
// the Options page then shows that format's panel: Bitmap, JPEG, then GIF.
TEST_F(KeyboardWalk, ArrowsChooseTheFormatAndTheOptionsPageShowsItsPanel) {
    TKeyboardWindow w;
    OpenAt(w, 3);
    const char* const panels[3] = {"cbPixelFormat", "cbCompression", "cbGIFColorReduction"};
    for (int format = 0; format < 3; ++format) {
        if (format > 0) {
            Mnemonic(Qt::Key_B);
            ASSERT_EQ(w.CurrentPage(), 3);
            TabTo(QString::fromStdString("rgDestination" + std::to_string(format - 1)));
            Press(Qt::Key_Down);
            EXPECT_EQ(FocusName().toStdString(), "rgDestination" + std::to_string(format));
            EXPECT_TRUE(Child<QRadioButton>(&w, ("rgDestination" + std::to_string(format)).c_str())
                            ->isChecked());
        }
        Mnemonic(Qt::Key_N);
        ASSERT_EQ(w.CurrentPage(), 4);
        // Resize and watermark are off at first: their panels are skipped.
        ExpectCycle(QStringList{"chkResize", panels[format], "cbResample", "btnBackground",
                                "chkAutoRotate", "chkWatermark", "cbMetadata", "chkShowPreview",
                                "chkLogProcessed", "seThreads"} +
                    Navigation);
    }
}

// Every box ticked: the whole page is walked, each control operated with its keys.
TEST_F(KeyboardWalk, EveryOptionIsReachedAndOperatedWithEveryBoxTicked) {
    TKeyboardWindow w;
    OpenAt(w, 4, {"/DSTFORMAT=gif"});
    TabTo("chkResize");
    Press(Qt::Key_Space);
    TabTo("chkWatermark");
    Press(Qt::Key_Space);
    TabTo("chkLogProcessed");
    Press(Qt::Key_Space);
    ExpectCycle(QStringList{"chkResize",       "cbStretchMode",       "chkWidth",
                            "edWidth",         "chkHeight",           "edHeight",
                            "chkShrinkOnly",   "cbGIFColorReduction", "cbResample",
                            "btnBackground",   "chkAutoRotate",       "chkWatermark",
                            "edWatermarkText", "btnWatermarkText",    "btnWatermarkColor",
                            "cbWAlignment",    "cbWPosition",         "chkWAngle",
                            "cbMetadata",      "chkShowPreview",      "chkLogProcessed",
                            "seThreads",       "edLogProcessed",      "btnLogProcessed"} +
                Navigation);
    TabTo("cbStretchMode");
    Press(Qt::Key_Down);
    EXPECT_EQ(Child<QComboBox>(&w, "cbStretchMode")->currentIndex(), 1); // percent
    TabTo("edWidth");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QStringLiteral("50"));
    EXPECT_EQ(Child<QLineEdit>(&w, "edWidth")->text(), "50");
    TabTo("chkHeight");
    Press(Qt::Key_Space); // off: the height follows the width
    EXPECT_FALSE(Child<QLineEdit>(&w, "edHeight")->isEnabled());
    TabTo("cbGIFColorReduction");
    Press(Qt::Key_Up);
    EXPECT_EQ(Child<QComboBox>(&w, "cbGIFColorReduction")->currentIndex(),
              8); // from the default, 9
    TabTo("edWatermarkText");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QStringLiteral("Holiday"));
    EXPECT_EQ(Child<QLineEdit>(&w, "edWatermarkText")->text(), "Holiday");
    // The owner-drawn alignment list takes the arrow keys like any other.
    TabTo("cbWAlignment");
    Press(Qt::Key_End);
    EXPECT_EQ(Child<QComboBox>(&w, "cbWAlignment")->currentIndex(), 2);
    TabTo("cbWPosition");
    Press(Qt::Key_Down);
    EXPECT_EQ(Child<QComboBox>(&w, "cbWPosition")->currentIndex(), 1);
    TabTo("chkWAngle");
    Press(Qt::Key_Space);
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "edWAngle");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QStringLiteral("4x5")); // digits only
    EXPECT_EQ(Child<QLineEdit>(&w, "edWAngle")->text(), "45");
    TabTo("edLogProcessed");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Tmp.File("processed.log")));
    EXPECT_EQ(Child<QLineEdit>(&w, "edLogProcessed")->text().toStdString(),
              Tmp.File("processed.log"));
    // The watermark off again: its controls leave the chain, the log settings stay.
    TabTo("chkWatermark");
    Press(Qt::Key_Space);
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "cbMetadata");
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "chkShowPreview");
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "chkLogProcessed");
}

TEST_F(KeyboardWalk, TheWatermarkFontButtonOpensTheFontDialog) {
    TKeyboardWindow w;
    OpenAt(w, 4);
    TabTo("chkWatermark");
    Press(Qt::Key_Space);
    TabTo("btnWatermarkText");
    TModalKeyAnswer escape(Qt::Key_Escape);
    Press(Qt::Key_Space);
    ASSERT_EQ(escape.Seen.size(), 1);
    EXPECT_EQ(escape.Seen[0], "QFontDialog");
}

// Parallel conversions: its label's mnemonic goes to the box, Up counts up.
TEST_F(KeyboardWalk, TheParallelConversionsLabelLeadsToItsBox) {
    TKeyboardWindow w;
    OpenAt(w, 4, {"/THREADS=1"});
    Press(Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(FocusName().toStdString(), "seThreads");
    Press(Qt::Key_Up);
    EXPECT_EQ(Child<QSpinBox>(&w, "seThreads")->value(), 2);
}

// The found files, ticked and unticked with Space; Select none and Select all by
// their letters, with the count following.
TEST_F(KeyboardWalk, TheFileListIsTickedWithSpaceAndSelectedByLetters) {
    TKeyboardWindow w;
    OpenAt(w, 5);
    auto* files = Child<QTreeWidget>(&w, "lvFileName");
    ExpectCycle(QStringList{"btnTickAllFiles", "btnTickNoFiles", "lvFileName"} + Navigation);
    ASSERT_EQ(files->topLevelItemCount(), 2);
    TabTo("lvFileName");
    Press(Qt::Key_End);
    Press(Qt::Key_Space);
    EXPECT_EQ(files->topLevelItem(1)->checkState(0), Qt::Unchecked);
    Press(Qt::Key_Space);
    EXPECT_EQ(files->topLevelItem(1)->checkState(0), Qt::Checked);
    Mnemonic(Qt::Key_O);
    EXPECT_EQ(Child<QLabel>(&w, "lblFileCount")->text(), "2 files, 0 ticked");
    Mnemonic(Qt::Key_A);
    EXPECT_EQ(Child<QLabel>(&w, "lblFileCount")->text(), "2 files, 2 ticked");
}

// The progress rows, the job's command line and its Copy button, then the
// navigation: Close where Next was, and Cancel now reads Execute.
TEST_F(KeyboardWalk, TheLastPageIsWalkedAndCopiesTheCommandLine) {
    TKeyboardWindow w;
    OpenAt(w, 6, {"/DSTFORMAT=gif", "/RESIZE=50%"});
    ExpectCycle({"lvProgress", "edCommandLine", "btnCopyCommandLine", "btnFirst", "btnPrev",
                 "btnClose", "btnCancel"});
    TabTo("btnCopyCommandLine");
    Press(Qt::Key_Space);
    const QString line = Child<QLineEdit>(&w, "edCommandLine")->text();
    EXPECT_TRUE(line.contains(QLatin1String("/DSTFORMAT=gif")));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), line);
}

// A job typed on the keyboard alone, page after page, runs with Return.
TEST_F(KeyboardWalk, AJobTypedOnTheKeyboardAloneRunsWithReturn) {
    TKeyboardWindow w;
    Open(w);
    Child<QPushButton>(&w, "btnNext")->setFocus();
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 2);
    TabTo("edSourceName");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(In));
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 3);
    TabTo("edDestinationName");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Out));
    TabTo("rgDestination0");
    Press(Qt::Key_Down);
    Press(Qt::Key_Down); // GIF
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 4);
    TabTo("chkResize");
    Press(Qt::Key_Space);
    TabTo("cbStretchMode");
    Press(Qt::Key_Down); // percent
    TabTo("edWidth");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QStringLiteral("50"));
    TabTo("chkHeight");
    Press(Qt::Key_Space); // the height follows the width
    TabTo("chkLogProcessed");
    Press(Qt::Key_Space);
    TabTo("edLogProcessed");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Tmp.File("processed.log")));
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 5);
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 6);
    EXPECT_TRUE(Child<QLineEdit>(&w, "edCommandLine")->text().contains("/RESIZE=50x%"));

    // Return runs the job; the closing message is answered with Return too.
    {
        TModalKeyAnswer enter(Qt::Key_Return);
        Press(Qt::Key_Return);
        ASSERT_EQ(enter.Texts.size(), 1);
        EXPECT_EQ(enter.Texts[0], "Image conversion finished.");
    }
    auto* progress = Child<QTreeWidget>(&w, "lvProgress");
    ASSERT_EQ(progress->topLevelItemCount(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Column(progress->topLevelItem(i), pcStatus), StatusFinished);
    // Both files written at half their width with the height in proportion.
    const std::pair<const char*, QSize> written[2] = {{"/first.gif", QSize(20, 15)},
                                                      {"/second.gif", QSize(11, 7)}};
    for (const auto& [name, size] : written) {
        ASSERT_TRUE(fs::exists(Out + name)) << name;
        TPicture picture;
        picture.LoadFromFile(Out + name);
        EXPECT_EQ(picture.Width(), size.width()) << name;
        EXPECT_EQ(picture.Height(), size.height()) << name;
    }
    EXPECT_TRUE(fs::exists(Tmp.File("processed.log")));

    // After Execute the window closes without a question and keeps the job.
    TMessageBoxWatcher none;
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(none.Texts.isEmpty());
}

TEST_F(KeyboardWalk, MenusOpenWithAltAndTheirItemsRunWithReturn) {
    TKeyboardWindow w;
    Open(w);
    Child<QPushButton>(&w, "btnNext")->setFocus();
    Press(Qt::Key_H, Qt::AltModifier);
    auto* help = Child<QMenu>(&w, "miHelp");
    ASSERT_TRUE(help->isVisible());
    // Contents, Product homepage, Send E-mail, About: the last one with Up.
    {
        TModalKeyAnswer escape(Qt::Key_Escape);
        Press(Qt::Key_Up);
        EXPECT_EQ(help->activeAction(), Child<QAction>(&w, "miHelpAbout"));
        Press(Qt::Key_Return);
        ASSERT_EQ(escape.Seen.size(), 1);
        EXPECT_EQ(escape.Seen[0], "TfrmAbout");
    }
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    Press(Qt::Key_F, Qt::AltModifier);
    auto* file = Child<QMenu>(&w, "miFile");
    ASSERT_TRUE(file->isVisible());
    Press(Qt::Key_Escape);
    EXPECT_FALSE(file->isVisible());

    // Cancel by its mnemonic asks before quitting; No keeps the window.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    {
        TModalKeyAnswer no(Qt::Key_N);
        Mnemonic(Qt::Key_C);
        ASSERT_EQ(no.Texts.size(), 1);
        EXPECT_TRUE(no.Texts[0].startsWith("The wizard has not completed."));
    }
    EXPECT_TRUE(w.isVisible());
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}
