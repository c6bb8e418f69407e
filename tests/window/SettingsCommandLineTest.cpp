// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file (read once on the first show, written on close, never in an
// unattended run) and the command-line switches.
#include "WindowTestSupport.h"

#include "window/RadioGroup.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
    TPrivateSettings Settings;

    void WriteSettings(const std::string& text) {
        std::filesystem::create_directories(Settings.SettingsFolder());
        std::ofstream(Settings.SettingsFile(), std::ios::binary) << text;
    }
    std::string ReadSettings() {
        std::ifstream f(Settings.SettingsFile(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    static void ShowAndClose(TfrmMainBasic& w) {
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        TMessageBoxWatcher yes(QMessageBox::Yes);
        w.close();
    }
};

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
    TPrivateSettings Settings;
};

const std::vector<std::string> SixFormats = {".bmp", ".jpg", ".gif", ".wmf", ".emf", ".png"};

} // namespace

TEST_F(SettingsStore, FirstShowMakesTheFolderAndCloseWritesBothSectionsInOrder) {
    TTestWindow w;
    w.ProcessCommandLine({"/SRC=/in/", "/DST=/out/"});
    EXPECT_FALSE(std::filesystem::exists(Settings.SettingsFolder()));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(std::filesystem::is_directory(Settings.SettingsFolder()));
    EXPECT_FALSE(std::filesystem::exists(Settings.SettingsFile()));
    Child<QCheckBox>(&w, "chkLogProcessed")->setChecked(true);
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
    ASSERT_EQ(yes.Texts.size(), 1); // the close question
    const std::string log = Child<QLineEdit>(&w, "edLogProcessed")->text().toStdString();
    EXPECT_EQ(ReadSettings(),
              "[General]\nSource=/in/\nDestination=/out/\nDestinationFormat=0\n\n"
              "[Log]\nSubFolders=0\nOverwrite=1\nLogProcessed=1\nLogProcessedFile=" +
                  log + "\n");
}

TEST_F(SettingsStore, AKeyInTheFileBeatsASwitchInAnInteractiveStart) {
    WriteSettings("[General]\nSource=/d/pictures\n");
    TTestWindow w;
    w.ProcessCommandLine({"/SRC=/c/in", "/DST=/c/out"});
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text(), "/c/in");
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text(), "/d/pictures");
    // A key the file lacks keeps the switch's value.
    EXPECT_EQ(Child<QLineEdit>(&w, "edDestinationName")->text(), "/c/out");
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}

TEST_F(SettingsStore, SettingsAreReadOnceEvenWhenTheWindowIsShownAgain) {
    WriteSettings("[General]\nSource=/from/file\n");
    TTestWindow w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    Child<QLineEdit>(&w, "edSourceName")->setText("/typed");
    w.hide();
    w.show();
    QTest::qWait(10);
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text(), "/typed");
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}

TEST_F(SettingsStore, ValuesAreReadWithTheFileRules) {
    WriteSettings("[general]\nDestinationFormat=7\n[Log]\nSubFolders=yes\nOverwrite=0\n"
                  "LogProcessed=$10\n");
    TTestWindow w;
    w.SetExtensions(SixFormats);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // Past the last entry selects the last one; "yes" is no number; any non-zero is true.
    EXPECT_EQ(Child<TRadioGroup>(&w, "rgDestination")->ItemIndex(), 5);
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkOverwrite")->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkLogProcessed")->isChecked());
    EXPECT_TRUE(Child<QLineEdit>(&w, "edLogProcessed")->isEnabled());
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();

    WriteSettings("[General]\nDestinationFormat=0x3\n");
    TTestWindow hex;
    hex.SetExtensions(SixFormats);
    hex.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&hex));
    EXPECT_EQ(Child<TRadioGroup>(&hex, "rgDestination")->ItemIndex(), 3);
    hex.close();

    WriteSettings("[General]\nDestinationFormat=-5\n");
    TTestWindow none;
    none.SetExtensions(SixFormats);
    none.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&none));
    EXPECT_EQ(Child<TRadioGroup>(&none, "rgDestination")->ItemIndex(), -1);
    none.close();
}

TEST_F(SettingsStore, AnUnattendedRunNeitherReadsNorWritesTheFile) {
    TTempFolder in;
    WriteSettings("[General]\nSource=/d/pictures\n");
    const std::string before = ReadSettings();
    TTestWindow w;
    w.ProcessCommandLine({"/SRC=" + in.Path(), "/DST=" + in.Path() + "/out", "/EXECUTE"});
    EXPECT_FALSE(w.ShowMainForm());
    QTest::qWait(20); // the first idle moment runs the job
    EXPECT_EQ(w.CurrentPage(), 6);
    EXPECT_FALSE(w.RunOnStart());
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text().toStdString(), in.Path());
    w.close();
    EXPECT_EQ(ReadSettings(), before);
    EXPECT_EQ(w.ExitCode(), 0);
}

TEST_F(SettingsStore, AWindowNeverShownWritesNothing) {
    {
        TTestWindow w;
        w.close();
    }
    EXPECT_FALSE(std::filesystem::exists(Settings.SettingsFolder()));
}

TEST_F(SettingsStore, AnUnwritableFileIsReportedAndTheWindowStillCloses) {
    std::filesystem::create_directories(Settings.SettingsFolder());
    // A folder where the file should be: no write can replace it.
    std::filesystem::create_directory(Settings.SettingsFile());
    TTestWindow w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    TMessageBoxWatcher yes(QMessageBox::Yes);
    EXPECT_TRUE(w.close());
    ASSERT_EQ(yes.Texts.size(), 2);
    EXPECT_EQ(yes.Texts[1].toStdString(), "Unable to write to " + Settings.SettingsFile());
}

TEST_F(CommandLine, SwitchesSetTheirControls) {
    TTestWindow w;
    w.ProcessCommandLine({"/src=c:in dir", "/MASK=*.jpg", "/mask=*.png", "/SubDir",
                          "/DST=", "/LOGFILE=/var/x y.log", "unknown", "-SRC=/nothing"});
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceName")->text(), "c:in dir");
    EXPECT_EQ(Child<QLineEdit>(&w, "edSourceWildcard")->text(), "*.png");
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    EXPECT_EQ(Child<QLineEdit>(&w, "edDestinationName")->text(), "");
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkLogProcessed")->isChecked());
    EXPECT_TRUE(Child<QLineEdit>(&w, "edLogProcessed")->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(&w, "edLogProcessed")->text(), "/var/x y.log");
    EXPECT_FALSE(w.RunOnStart());
    EXPECT_TRUE(w.ShowMainForm());
}

TEST_F(CommandLine, FlagsMatchTheWholeArgumentAndOnlyTurnOn) {
    TTestWindow w;
    Child<QCheckBox>(&w, "chkOverwrite")->setChecked(false);
    EXPECT_FALSE(w.ProcessParameter("/SUBDIRS"));
    EXPECT_FALSE(w.ProcessParameter("/EXECUTEX"));
    EXPECT_FALSE(w.ProcessParameter("/SRC"));
    EXPECT_FALSE(Child<QCheckBox>(&w, "chkSubFolders")->isChecked());
    EXPECT_TRUE(w.ProcessParameter("/override"));
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkOverwrite")->isChecked());
    EXPECT_TRUE(w.ProcessParameter("/Execute"));
    EXPECT_TRUE(w.RunOnStart());
}

TEST_F(CommandLine, DestinationFormatSelectsByExtensionOrFailsTheCommandLine) {
    TTestWindow w;
    w.SetExtensions(SixFormats);
    auto* group = Child<TRadioGroup>(&w, "rgDestination");
    w.ProcessParameter("/DSTFORMAT=PNG");
    EXPECT_EQ(group->ItemIndex(), 5);
    w.ProcessParameter("/DSTFORMAT=.jpg");
    EXPECT_EQ(group->ItemIndex(), 1);
    w.ProcessParameter("/DSTFORMAT=gif");
    EXPECT_EQ(group->ItemIndex(), 2);
    // A format the list does not hold leaves the selection and fails an unattended run.
    for (const char* miss : {"/DSTFORMAT=tiff", "/DSTFORMAT=.", "/DSTFORMAT="}) {
        TTestWindow v;
        v.SetExtensions(SixFormats);
        v.ProcessCommandLine({"/DSTFORMAT=gif", miss, "/EXECUTE"});
        EXPECT_EQ(Child<TRadioGroup>(&v, "rgDestination")->ItemIndex(), 2) << miss;
        EXPECT_EQ(v.ExitCode(), 1) << miss;
    }
}

TEST_F(CommandLine, ArgumentsKeepTheirBytes) {
    // A folder name that is not UTF-8 reaches the scan unchanged.
    TTempFolder root;
    const std::string odd = root.Path() + "/caf\xE9";
    std::filesystem::create_directory(odd);
    std::ofstream(odd + "/a.src") << "x";
    TTestWindow w;
    w.ProcessCommandLine({"/SRC=" + odd});
    w.SetPageTo(5);
    auto* files = Child<QTreeWidget>(&w, "lvFileName");
    ASSERT_EQ(files->topLevelItemCount(), 1);
    EXPECT_EQ(TfrmMainBasic::ItemBytes(files->topLevelItem(0), 1), odd);
}
