// SPDX-License-Identifier: GPL-3.0-or-later
// The wizard window: controls, navigation, default and Escape buttons, and a
// derived window that overrides nothing.
#include "WindowTestSupport.h"

#include "window/RadioGroup.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <fstream>

namespace {

class FrameworkWindow : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
    TPrivateSettings Settings;
    TTempFolder Source;

    void Touch(const std::string& name) { std::ofstream(Source.File(name)) << "x"; }
};

// QTest's synthetic Escape reaches a box opened by the shortcut as well and
// answers it at once; the window-level shortcut is triggered directly instead.
void PressEscape(QWidget& w) {
    int found = 0;
    for (QShortcut* s : w.findChildren<QShortcut*>())
        if (s->key() == QKeySequence(Qt::Key_Escape)) {
            ++found;
            emit s->activated();
        }
    EXPECT_EQ(found, 1);
}

QString Header(QWidget* w) {
    return Child<QLabel>(w, "lblCaption")->text();
}

} // namespace

TEST_F(FrameworkWindow, StartsOnTheFirstPageWithOnlyForwardNavigation) {
    TfrmMainBasic w;
    EXPECT_EQ(w.windowTitle(), "Trevasco");
    EXPECT_EQ(w.CurrentPage(), 1);
    EXPECT_EQ(w.PageCount(), 6);
    EXPECT_EQ(Child<QStackedWidget>(&w, "pcWizard")->currentWidget()->objectName(), "tsInfo");
    EXPECT_EQ(Header(&w), "General information");
    EXPECT_FALSE(Child<QPushButton>(&w, "btnPrev")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(&w, "btnFirst")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(&w, "btnNext")->isDefault());
    EXPECT_EQ(Child<QPushButton>(&w, "btnCancel")->text(), "&Cancel");
    EXPECT_TRUE(Child<QPushButton>(&w, "btnStop")->isHidden());
}

// The current folder, with its trailing "/", in both folder edits and the log name.
TEST_F(FrameworkWindow, StartsWithTheInitialJobSettings) {
    TfrmMainBasic w;
    QString folder = QDir::currentPath() + "/";
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text(), folder);
    EXPECT_EQ(Child<QLineEdit>(&w, "edDestinationName")->text(), folder);
    EXPECT_EQ(Child<QLineEdit>(&w, "edLogProcessed")->text(), folder + "processed.log");
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceWildcard")->text(), "*.*");
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkOverwrite")->isChecked());
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkLogProcessed")->isChecked());
}

TEST_F(FrameworkWindow, TheLogNameIsEditableOnlyWhileTheLogIsOn) {
    TfrmMainBasic w;
    EXPECT_FALSE(Child<QLineEdit>(&w, "edLogProcessed")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(&w, "btnLogProcessed")->isEnabled());
    Child<QCheckBox>(&w, "chkLogProcessed")->setChecked(true);
    EXPECT_TRUE(Child<QLineEdit>(&w, "edLogProcessed")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(&w, "btnLogProcessed")->isEnabled());
}

TEST_F(FrameworkWindow, NextAndBackWalkThePagesWithTheirHeaders) {
    TTestWindow w;
    const char* titles[] = {"General information", "Source", "Destination", "Options",
                            "File list",           "Summary"};
    const char* sheets[] = {"tsInfo",    "tsSource",   "tsDestination",
                            "tsOptions", "tsFileList", "tsLog"};
    auto* next = Child<QPushButton>(&w, "btnNext");
    auto* pages = Child<QStackedWidget>(&w, "pcWizard");
    for (int page = 1; page <= 6; ++page) {
        EXPECT_EQ(w.CurrentPage(), page);
        EXPECT_EQ(Header(&w), titles[page - 1]);
        EXPECT_EQ(pages->currentWidget()->objectName(), sheets[page - 1]);
        if (page < 6) next->click();
    }
    EXPECT_FALSE(next->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(&w, "btnLast")->isEnabled());
    auto* cancel = Child<QPushButton>(&w, "btnCancel");
    EXPECT_EQ(cancel->text(), "Execute");
    EXPECT_TRUE(cancel->isDefault());
    EXPECT_EQ(Child<QLabel>(&w, "lblDescription")->text().toStdString(),
              "We've gathered all the information the wizard needs to convert your file(s). "
              "Please click Execute to begin the convert process.");
    Child<QPushButton>(&w, "btnFirst")->click();
    EXPECT_EQ(w.CurrentPage(), 1);
    Child<QPushButton>(&w, "btnLast")->click();
    EXPECT_EQ(w.CurrentPage(), 6);
    Child<QPushButton>(&w, "btnPrev")->click();
    EXPECT_EQ(w.CurrentPage(), 5);
    EXPECT_EQ(cancel->text(), "&Cancel");
}

TEST_F(FrameworkWindow, RefusedPageIsSkippedInTheDirectionOfTravel) {
    TTestWindow w;
    w.OnPageAvailable = [](int page) { return page != 4; };
    w.SetPageTo(3);
    Child<QPushButton>(&w, "btnNext")->click();
    EXPECT_EQ(w.CurrentPage(), 5);
    EXPECT_EQ(Child<QStackedWidget>(&w, "pcWizard")->currentWidget()->objectName(), "tsFileList");
    Child<QPushButton>(&w, "btnPrev")->click();
    EXPECT_EQ(w.CurrentPage(), 3);
    EXPECT_EQ(Child<QStackedWidget>(&w, "pcWizard")->currentWidget()->objectName(),
              "tsDestination");
}

TEST_F(FrameworkWindow, AWindowThatOverridesNothingListsEveryFileUntickedAndRunsNothing) {
    Touch("a.jpg");
    Touch("b.png");
    Touch("README");
    TfrmMainBasic w;
    w.ProcessCommandLine({"/SRC=" + Source.Path()});
    Child<QPushButton>(&w, "btnLast")->click();
    auto* files = Child<QTreeWidget>(&w, "lvFileName");
    ASSERT_EQ(files->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(files->topLevelItem(i)->checkState(0), Qt::Unchecked);
    // Ticked by hand, the file still stays out: the filter is applied again.
    files->topLevelItem(0)->setCheckState(0, Qt::Checked);
    Child<QPushButton>(&w, "btnPrev")->click();
    Child<QPushButton>(&w, "btnNext")->click();
    EXPECT_EQ(Child<QTreeWidget>(&w, "lvProgress")->topLevelItemCount(), 0);
    TMessageBoxWatcher boxes;
    Child<QPushButton>(&w, "btnCancel")->click(); // reads "Execute"
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Texts[0], "No documents found in source directory.");
}

TEST_F(FrameworkWindow, EnterAndEscapeFollowTheDesignatedButtons) {
    TTestWindow w;
    w.ProcessCommandLine({"/SRC=" + Source.Path(), "/DST=" + Source.Path()});
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Return);
    EXPECT_EQ(w.CurrentPage(), 2);
    QTest::keyClick(&w, Qt::Key_Return);
    EXPECT_EQ(w.CurrentPage(), 3);
    {
        // Escape on page 3 asks the close question; No keeps the window.
        TMessageBoxWatcher boxes(QMessageBox::No);
        PressEscape(w);
        ASSERT_EQ(boxes.Texts.size(), 1);
        EXPECT_TRUE(boxes.Texts[0].startsWith("The wizard has not completed."));
        EXPECT_TRUE(w.isVisible());
    }
    w.SetPageTo(6);
    {
        // On the last page Escape is Close (the same question) and Enter runs the batch.
        TMessageBoxWatcher no(QMessageBox::No);
        PressEscape(w);
        ASSERT_EQ(no.Texts.size(), 1);
        EXPECT_TRUE(no.Texts[0].startsWith("The wizard has not completed."));
    }
    {
        TMessageBoxWatcher boxes;
        w.activateWindow(); // the question box had taken the focus
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_Return);
        ASSERT_EQ(boxes.Texts.size(), 1);
        EXPECT_EQ(boxes.Texts[0], "No documents found in source directory.");
    }
    EXPECT_TRUE(w.FinishRequested());
    // After Execute on the last page the window closes without a question.
    TMessageBoxWatcher boxes;
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(boxes.Texts.isEmpty());
}

TEST_F(FrameworkWindow, ListPopupActsOnTheSelectionListInOneStep) {
    for (const char* n : {"a.src", "b.src", "c.txt"})
        Touch(n);
    TTestWindow w;
    w.ProcessCommandLine({"/SRC=" + Source.Path()});
    w.SetPageTo(5);
    auto* files = Child<QTreeWidget>(&w, "lvFileName");
    auto ticks = [files] {
        std::string s;
        for (int i = 0; i < files->topLevelItemCount(); ++i)
            s += files->topLevelItem(i)->checkState(0) == Qt::Checked ? '1' : '0';
        return s;
    };
    EXPECT_EQ(ticks(), "110");
    Child<QAction>(&w, "miRevert")->trigger();
    EXPECT_EQ(ticks(), "001");
    Child<QAction>(&w, "miSelectAll")->trigger();
    EXPECT_EQ(ticks(), "111");
    Child<QAction>(&w, "miUnselectAll")->trigger();
    EXPECT_EQ(ticks(), "000");
    EXPECT_EQ(Child<QAction>(&w, "miRevert")->toolTip(), "Revert selections for all items");
}

TEST_F(FrameworkWindow, HeaderIconStaysBesideThePictureAndTheAboutBoxOpens) {
    TfrmMainBasic w;
    auto* picture = Child<QLabel>(&w, "imgBackground");
    auto* icon = Child<QLabel>(&w, "imgDescription");
    EXPECT_EQ(icon->x(), picture->x() + 86);
    EXPECT_EQ(picture->x() + picture->width(), Child<QWidget>(&w, "pnlDescription")->width());
    w.show();
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&seen] {
        QWidget* box = QApplication::activeModalWidget();
        if (box && box->objectName() == "frmAbout" && box->isVisible()) {
            seen = box->windowTitle() == "About Trevasco" && box->size() == QSize(422, 296);
            static_cast<QDialog*>(box)->accept();
        }
    });
    poll.start(5);
    Child<QAction>(&w, "miHelpAbout")->trigger();
    poll.stop();
    EXPECT_TRUE(seen);
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}
