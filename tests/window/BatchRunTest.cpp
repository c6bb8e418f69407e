// SPDX-License-Identifier: GPL-3.0-or-later
// The progress list and the batch run: statuses, icons, times, Stop and resume,
// skipping, errors, the processed-files log.
#include "WindowTestSupport.h"

#include "base/Exceptions.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <new>
#include <regex>
#include <thread>

namespace {

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        std::filesystem::create_directory(Source.File("in"));
        In = Source.File("in");
        Out = Source.File("out");
    }
    TPrivateSettings Settings;
    TTempFolder Source;
    std::string In, Out;

    void Touch(const std::string& path, const std::string& text = "x") {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Walks a window onto the last page with the source and destination set.
    void Prepare(TTestWindow& w, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"/SRC=" + In, "/DST=" + Out};
        args.insert(args.end(), extra.begin(), extra.end());
        OpenLastPage(w, args);
    }
    static QTreeWidget* Progress(TTestWindow& w) { return Child<QTreeWidget>(&w, "lvProgress"); }
    static QStringList Run(TTestWindow& w) {
        TMessageBoxWatcher boxes;
        Child<QPushButton>(&w, "btnCancel")->click();
        return boxes.Texts;
    }
};

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

} // namespace

TEST_F(BatchRun, ProgressRowsNameTheDestinationInTheOneDestinationFolder) {
    Touch(In + "/a.src");
    Touch(In + "/README");
    std::filesystem::create_directory(In + "/sub");
    Touch(In + "/sub/b.src");
    TTestWindow w;
    w.AcceptMask = "*";
    Prepare(w, {"/SUBDIR"});
    EXPECT_EQ(Rows(Progress(w), {0, 1}),
              (std::vector<std::string>{In + "/a.src|Waiting", In + "/README|Waiting",
                                        In + "/sub/b.src|Waiting"}));
    EXPECT_EQ(Rows(Progress(w), {3}),
              (std::vector<std::string>{Out + "/a.out", Out + "/README.out", Out + "/b.out"}));
    // The destination folder is made when the run starts, not when the list is built.
    EXPECT_FALSE(std::filesystem::exists(Out));
    Run(w);
    EXPECT_TRUE(std::filesystem::is_directory(Out));
}

TEST_F(BatchRun, RowsShowStatusIconAndAtLeastOneMillisecond) {
    Touch(In + "/good.src");
    Touch(In + "/bad.src");
    Touch(In + "/nomem.src");
    Touch(In + "/slow.src");
    TTestWindow w;
    w.OnConvert = [](const std::string& source, const std::string& dest) {
        if (source.ends_with("bad.src")) throw EInvalidGraphic("Bitmap image is not valid");
        if (source.ends_with("nomem.src")) throw std::bad_alloc();
        if (source.ends_with("slow.src"))
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::ofstream(dest) << "converted";
    };
    Prepare(w);
    EXPECT_EQ(Run(w), QStringList{"Image conversion finished."});
    auto* list = Progress(w);
    ASSERT_EQ(list->topLevelItemCount(), 4);
    std::map<std::string, QTreeWidgetItem*> rows;
    for (int i = 0; i < 4; ++i)
        rows[std::filesystem::path(Column(list->topLevelItem(i), 0)).filename()] =
            list->topLevelItem(i);
    EXPECT_EQ(Column(rows["bad.src"], 1), "Error Bitmap image is not valid");
    EXPECT_EQ(Column(rows["bad.src"], 2), "");
    EXPECT_EQ(Column(rows["nomem.src"], 1), "Error std::bad_alloc");
    for (const char* ok : {"good.src", "slow.src"}) {
        EXPECT_EQ(Column(rows[ok], 1), "Finished");
        std::smatch m;
        std::string time = Column(rows[ok], 2);
        ASSERT_TRUE(std::regex_match(time, m, std::regex("([0-9]+) msec"))) << time;
        EXPECT_GE(std::stoi(m[1]), 1);
        if (std::string(ok) == "slow.src") {
            EXPECT_GE(std::stoi(m[1]), 31);
        }
    }
    // Icons: finished and error rows carry different images, waiting rows none.
    EXPECT_FALSE(rows["good.src"]->icon(0).isNull());
    EXPECT_FALSE(rows["bad.src"]->icon(0).isNull());
    EXPECT_EQ(rows["good.src"]->icon(0).cacheKey(),
              TfrmMainBasic::ProgressImages()[piFinished].cacheKey());
    EXPECT_EQ(rows["bad.src"]->icon(0).cacheKey(),
              TfrmMainBasic::ProgressImages()[piError].cacheKey());
    EXPECT_EQ(ReadText(Out + "/good.out"), "converted");
    EXPECT_EQ(w.BeforeRuns, 1);
    EXPECT_EQ(w.AfterRuns, 1);
    EXPECT_TRUE(Child<QAction>(&w, "miFileExecute")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(&w, "btnStop")->isHidden());
}

TEST_F(BatchRun, StopOnTheThirdFileAndResume) {
    for (int i = 0; i < 10; ++i)
        Touch(In + "/f" + std::to_string(i) + ".src");
    TTestWindow w;
    bool navigationWasOff = true;
    w.OnConvert = [&w, &navigationWasOff](const std::string&, const std::string&) {
        for (const char* b : {"btnFirst", "btnPrev", "btnNext", "btnLast"})
            navigationWasOff = navigationWasOff && !Child<QPushButton>(&w, b)->isEnabled();
        navigationWasOff = navigationWasOff && !Child<QAction>(&w, "miFileExecute")->isEnabled();
        auto* stop = Child<QPushButton>(&w, "btnStop");
        if (w.Converted.size() == 3) {
            EXPECT_TRUE(stop->isVisible() || !w.isVisible());
            EXPECT_TRUE(stop->isEnabled());
            stop->click();
        }
    };
    Prepare(w);
    EXPECT_EQ(Run(w), QStringList{"Conversion canceled."});
    EXPECT_TRUE(navigationWasOff);
    auto statuses = Rows(Progress(w), {1});
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"Finished", "Finished", "Finished", "Waiting", "Waiting",
                                        "Waiting", "Waiting", "Waiting", "Waiting", "Waiting"}));
    EXPECT_TRUE(Child<QPushButton>(&w, "btnPrev")->isEnabled());
    // Execute again goes on with the rows the stopped run did not reach.
    EXPECT_EQ(Run(w), QStringList{"Image conversion finished."});
    EXPECT_EQ(w.Converted.size(), 10u);
    for (const std::string& s : Rows(Progress(w), {1}))
        EXPECT_EQ(s, "Finished");
    // And a completed list converts nothing more unless the user says so.
    {
        TMessageBoxWatcher no(QMessageBox::No);
        Child<QPushButton>(&w, "btnCancel")->click();
        EXPECT_EQ(no.Texts, QStringList{"The files were converted already. Convert them again?"});
    }
    EXPECT_EQ(w.Converted.size(), 10u);
    EXPECT_EQ(w.BeforeRuns, 2);
    EXPECT_EQ(w.AfterRuns, 2);
}

TEST_F(BatchRun, ExistingDestinationIsSkippedWhenOverwriteIsOff) {
    Touch(In + "/a.src");
    Touch(In + "/b.src");
    std::filesystem::create_directory(Out);
    Touch(Out + "/a.out", "old");
    TTestWindow w;
    w.OnConvert = [](const std::string&, const std::string& dest) { std::ofstream(dest) << "new"; };
    w.ProcessCommandLine({"/SRC=" + In, "/DST=" + Out});
    Child<QCheckBox>(&w, "chkOverwrite")->setChecked(false);
    Child<QPushButton>(&w, "btnLast")->click();
    EXPECT_EQ(Rows(Progress(w), {1, 2}), (std::vector<std::string>{"Skipped|", "Waiting|"}));
    EXPECT_EQ(Run(w), QStringList{"Image conversion finished."});
    EXPECT_EQ(Rows(Progress(w), {1}), (std::vector<std::string>{"Skipped", "Finished"}));
    EXPECT_EQ(Progress(w)->topLevelItem(0)->icon(0).cacheKey(),
              TfrmMainBasic::ProgressImages()[piSkipped].cacheKey());
    EXPECT_EQ(ReadText(Out + "/a.out"), "old");
    EXPECT_EQ(w.Converted, std::vector<std::string>{In + "/b.src"});
}

TEST_F(BatchRun, TheSourceFileItselfIsNeverTheDestination) {
    Touch(In + "/a.src", "original");
    TTestWindow w;
    w.SetExtensions({".src"});
    w.OnConvert = [](const std::string&, const std::string& dest) { std::ofstream(dest) << "x"; };
    w.ProcessCommandLine({"/SRC=" + In, "/DST=" + In + "/", "/OVERRIDE"});
    Child<QPushButton>(&w, "btnLast")->click();
    EXPECT_EQ(Rows(Progress(w), {1}), std::vector<std::string>{"Skipped"});
    Run(w);
    EXPECT_EQ(ReadText(In + "/a.src"), "original");
}

TEST_F(BatchRun, TwoSourcesOfOneNameTheSecondFailsAndEmptyFolderTextsStayRelative) {
    Touch(In + "/a.src");
    Touch(In + "/a.SRC");
    TTestWindow w;
    Prepare(w);
    // The second would overwrite the first's picture: it fails, naming the first.
    const std::string first = TfrmMainBasic::ItemBytes(Progress(w)->topLevelItem(0), 0);
    EXPECT_EQ(Rows(Progress(w), {1, 3}),
              (std::vector<std::string>{"Waiting|" + Out + "/a.out",
                                        "Error The destination is already that of " + first + "|" +
                                            Out + "/a.out"}));
    TMessageBoxWatcher ok;
    w.RunBatch();
    EXPECT_EQ(w.Converted, std::vector<std::string>{first});

    // An empty destination text is the current folder, never the root (the
    // Destination page asks for a folder first; the list follows the rule).
    TTestWindow relative;
    relative.ProcessCommandLine({"/SRC=" + In, "/DST="});
    relative.SetPageTo(5);
    relative.SetPageTo(6);
    EXPECT_EQ(Rows(Progress(relative), {3}), (std::vector<std::string>{"a.out", "a.out"}));
}

TEST_F(BatchRun, TheLogHoldsAHeaderAndOneLinePerFinishedFile) {
    Touch(In + "/a.src");
    Touch(In + "/b.src");
    const std::string log = Source.File("processed.log");
    TTestWindow w;
    w.OnConvert = [](const std::string& source, const std::string&) {
        if (source.ends_with("b.src")) throw EInvalidGraphic("broken");
    };
    Prepare(w, {"/LOGFILE=" + log});
    Run(w);
    const std::string first = ReadText(log);
    std::smatch m;
    // The C locale's short date and long time (time-zone field left out).
    const std::regex pattern(
        "Trevasco [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4}( [0-9]{2}:[0-9]{2}:[0-9]{2})?"
        "\r\n\r\n" +
        In + "/a\\.src Finished ([0-9]+) msec\r\n");
    EXPECT_TRUE(std::regex_match(first, m, pattern)) << first;
    EXPECT_EQ(m[2].str() + " msec", Column(Progress(w)->topLevelItem(0), 2));

    // A second run (asked for, and confirmed) appends, never truncates.
    {
        TMessageBoxWatcher yes(QMessageBox::Yes);
        Child<QPushButton>(&w, "btnCancel")->click();
    }
    const std::string both = ReadText(log);
    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.substr(0, first.size()), first);
    EXPECT_TRUE(std::regex_match(
        both.substr(first.size()),
        std::regex("Trevasco [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4}( [0-9:]{8})?\r\n\r\n" + In +
                   "/a\\.src Finished [0-9]+ msec\r\n")));
}

TEST_F(BatchRun, LogSwitchWithoutNameLogsNothing) {
    Touch(In + "/a.src");
    TTestWindow w;
    Prepare(w, {"/LOGFILE="});
    EXPECT_TRUE(Child<QCheckBox>(&w, "chkLogProcessed")->isChecked());
    EXPECT_EQ(Child<QLineEdit>(&w, "edLogProcessed")->text(), "");
    EXPECT_EQ(Run(w), QStringList{"Image conversion finished."});
    EXPECT_EQ(Rows(Progress(w), {1}), std::vector<std::string>{"Finished"});
}

TEST_F(BatchRun, ALogThatCannotBeCreatedEndsTheRunBeforeTheFirstFile) {
    Touch(In + "/a.src");
    TTestWindow w;
    Prepare(w, {"/LOGFILE=" + Source.File("missing/folder/x.log")});
    QStringList texts = Run(w);
    ASSERT_EQ(texts.size(), 1);
    EXPECT_TRUE(texts[0].startsWith("Cannot create file " +
                                    QString::fromStdString(Source.File("missing/folder/x.log"))))
        << texts[0].toStdString();
    EXPECT_TRUE(w.Converted.empty());
    EXPECT_EQ(w.AfterRuns, 1);
    EXPECT_EQ(Rows(Progress(w), {1}), std::vector<std::string>{"Waiting"});
    EXPECT_FALSE(w.Running());
    EXPECT_TRUE(Child<QPushButton>(&w, "btnCancel")->isEnabled());
}

TEST_F(BatchRun, AnUnknownErrorEndsTheRunButAfterRunAndTheIdleStateFollow) {
    Touch(In + "/a.src");
    Touch(In + "/b.src");
    TTestWindow w;
    w.OnConvert = [](const std::string&, const std::string&) { throw 42; };
    Prepare(w);
    QStringList texts = Run(w);
    EXPECT_EQ(texts, QStringList{"Unknown error"});
    EXPECT_EQ(w.Converted.size(), 1u);
    EXPECT_EQ(w.AfterRuns, 1);
    EXPECT_TRUE(Child<QPushButton>(&w, "btnStop")->isHidden());
    EXPECT_TRUE(Child<QPushButton>(&w, "btnNext")->isHidden() ||
                !Child<QPushButton>(&w, "btnNext")->isEnabled()); // last page
    EXPECT_TRUE(Child<QPushButton>(&w, "btnPrev")->isEnabled());
}

TEST_F(BatchRun, ClosingDuringARunStopsAfterTheCurrentFile) {
    for (int i = 0; i < 5; ++i)
        Touch(In + "/f" + std::to_string(i) + ".src");
    TTestWindow w;
    w.show();
    w.OnConvert = [&w](const std::string&, const std::string&) {
        if (w.Converted.size() == 2) w.close();
    };
    Prepare(w);
    QStringList texts = Run(w);
    EXPECT_TRUE(texts.isEmpty()) << texts.join("; ").toStdString();
    EXPECT_EQ(w.Converted.size(), 2u);
    EXPECT_EQ(Rows(Progress(w), {1})[2], "Waiting");
    QTest::qWait(20); // the deferred close
    EXPECT_FALSE(w.isVisible());
}

TEST_F(BatchRun, SetProgressDrivesTheBarOnlyDuringARun) {
    Touch(In + "/a.src");
    TTestWindow w;
    int seenMax = 0, seenValue = 0;
    bool visible = false;
    w.show();
    w.OnConvert = [&](const std::string&, const std::string&) {
        w.SetProgress(30, 200);
        auto* bar = Child<QProgressBar>(&w, "pbProcess");
        seenMax = bar->maximum();
        seenValue = bar->value();
        visible = bar->isVisible();
    };
    Prepare(w);
    Run(w);
    EXPECT_EQ(seenMax, 200);
    EXPECT_EQ(seenValue, 30);
    EXPECT_TRUE(visible);
    EXPECT_FALSE(Child<QProgressBar>(&w, "pbProcess")->isVisible());
    TMessageBoxWatcher yes(QMessageBox::Yes);
    w.close();
}
