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

TEST_F(KeyboardWalk, EveryPageIsWalkedAndAJobRunsFromTheKeyboardAlone) {
    TKeyboardWindow w;
    Open(w);
    auto* next = Child<QPushButton>(&w, "btnNext");
    next->setFocus();

    // Page 1: only the navigation that applies.
    ExpectCycle({"btnNext", "btnLast", "btnCancel"});
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 2);

    // Page 2: folder, its browse button, sub-folders, mask, source formats.
    ExpectCycle(QStringList{"edSourceName", "btnSourceName", "chkSubFolders", "chkKeepFolders",
                            "edSourceWildcard", "btnTickAllFormats", "btnTickNoFormats",
                            "lvImageFormats"} +
                Navigation);
    TabTo("edSourceName");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(In));
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text().toStdString(), In);
    {
        // The browse button opens the folder dialog; Escape leaves the text alone.
        TabTo("btnSourceName");
        TModalKeyAnswer escape(Qt::Key_Escape);
        Press(Qt::Key_Space);
        EXPECT_EQ(escape.Seen.size(), 1);
        EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text().toStdString(), In);
    }
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    TabTo("chkSubFolders");
    Press(Qt::Key_Space);
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    Press(Qt::Key_Space);
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    TabTo("edSourceWildcard");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QStringLiteral("*.bmp"));
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
    {
        // The list's popup comes up from the keyboard's menu key too.
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(10, 10),
                                  formats->viewport()->mapToGlobal(QPoint(10, 10)));
        QApplication::sendEvent(formats->viewport(), &menuKey);
        auto* popup = Child<QMenu>(&w, "pmListView");
        ASSERT_TRUE(popup->isVisible());
        // At the current row, not wherever the mouse pointer happens to be.
        EXPECT_EQ(popup->pos(), formats->viewport()->mapToGlobal(
                                    formats->visualItemRect(formats->currentItem()).bottomLeft()));
        Press(Qt::Key_Escape);
        EXPECT_FALSE(popup->isVisible());
    }
    // The offscreen platform leaves no window active after a popup; a desktop would.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    formats->setFocus();
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 3);

    // Page 3: destination folder, overwrite, the selected destination format.
    ExpectCycle(QStringList{"edDestinationName", "btnDestinationName", "chkOverwrite",
                            "rgDestination0", "chkKeepBoth", "edNamePattern"} +
                Navigation);
    TabTo("edDestinationName");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Out));
    TabTo("chkOverwrite");
    Press(Qt::Key_Space);
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkOverwrite")->isChecked());
    Press(Qt::Key_Space);
    TabTo("rgDestination0");

    // Page 4 shows the panel of the chosen format: Bitmap, JPEG, then GIF.
    const char* const panels[3] = {"cbPixelFormat", "cbCompression", "cbGIFColorReduction"};
    for (int format = 0; format < 3; ++format) {
        if (format > 0) {
            Mnemonic(Qt::Key_B);
            ASSERT_EQ(w.CurrentPage(), 3);
            // Only the selected format is a Tab stop; the arrows move within the group.
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

    // Tick every box and walk the whole page, operating each control.
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
    {
        TabTo("btnWatermarkText");
        TModalKeyAnswer escape(Qt::Key_Escape);
        Press(Qt::Key_Space);
        ASSERT_EQ(escape.Seen.size(), 1);
        EXPECT_EQ(escape.Seen[0], "QFontDialog");
    }
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
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
    // Parallel conversions: its label's mnemonic goes to the box, Up counts up.
    Press(Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(FocusName().toStdString(), "seThreads");
    Press(Qt::Key_Up);
    EXPECT_EQ(Child<QSpinBox>(&w, "seThreads")->value(), 2);
    TabTo("edLogProcessed");
    Press(Qt::Key_A, Qt::ControlModifier);
    Type(QString::fromStdString(Tmp.File("processed.log")));
    // The watermark off again: its controls leave the chain, the log settings stay.
    TabTo("chkWatermark");
    Press(Qt::Key_Space);
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "cbMetadata");
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "chkShowPreview");
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusName().toStdString(), "chkLogProcessed");

    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 5);

    // Page 5: the found files, ticked and unticked with Space.
    auto* files = Child<QTreeWidget>(&w, "lvFileName");
    ExpectCycle(QStringList{"btnTickAllFiles", "btnTickNoFiles", "lvFileName"} + Navigation);
    ASSERT_EQ(files->topLevelItemCount(), 2);
    TabTo("lvFileName");
    Press(Qt::Key_End);
    Press(Qt::Key_Space);
    EXPECT_EQ(files->topLevelItem(1)->checkState(0), Qt::Unchecked);
    Press(Qt::Key_Space);
    EXPECT_EQ(files->topLevelItem(1)->checkState(0), Qt::Checked);
    // Select none and Select all by their letters; the count follows.
    Mnemonic(Qt::Key_O);
    EXPECT_EQ(Child<QLabel>(&w, "lblFileCount")->text(), "2 files, 0 ticked");
    Mnemonic(Qt::Key_A);
    EXPECT_EQ(Child<QLabel>(&w, "lblFileCount")->text(), "2 files, 2 ticked");
    files->setFocus();
    Mnemonic(Qt::Key_N);
    ASSERT_EQ(w.CurrentPage(), 6);

    // Page 6: the progress rows, the job's command line and its Copy button,
    // then the navigation, whose Cancel now reads Execute.
    ExpectCycle(
        {"lvProgress", "edCommandLine", "btnCopyCommandLine", "btnFirst", "btnPrev", "btnCancel"});
    TabTo("btnCopyCommandLine");
    Press(Qt::Key_Space);
    const QString line = Child<QLineEdit>(&w, "edCommandLine")->text();
    EXPECT_TRUE(line.contains(QLatin1String("/DSTFORMAT=gif")));
    EXPECT_TRUE(line.contains(QLatin1String("/RESIZE=50x%")));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), line);

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
