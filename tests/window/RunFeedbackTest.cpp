// SPDX-License-Identifier: GPL-3.0-or-later
// What the window says during and after a run: the closing message's counts and
// offers, the whole-run progress, Stop by every path, the last page's Close,
// Escape and the question before a repeated run, and opening the destination.
#include "WindowTestSupport.h"

#include "base/Exceptions.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// One message box as it was shown.
struct TShownBox {
    QString Text;
    QString Informative;
    QStringList Buttons; // captions without their '&'
};

// Answers every message box while it lives: clicks the button whose caption
// (without '&') is the answer, or presses Return on the box's focus when the
// answer is empty, so that the default button decides.
class TBoxAnswer {
public:
    explicit TBoxAnswer(QStringList answers) : FAnswers(std::move(answers)) {
        FTimer.setInterval(5);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Answer(); });
        FTimer.start();
    }
    std::vector<TShownBox> Shown;

private:
    void Answer() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == FAnswered) return;
        FAnswered = box;
        TShownBox shown{box->text(), box->informativeText(), {}};
        for (QAbstractButton* b : box->buttons())
            shown.Buttons << b->text().remove(QLatin1Char('&'));
        Shown.push_back(shown);
        const QString answer = FAnswers.isEmpty() ? QString() : FAnswers.takeFirst();
        for (QAbstractButton* b : box->buttons())
            if (!answer.isEmpty() && b->text().remove(QLatin1Char('&')) == answer)
                return b->click();
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus && focus->window() == box ? focus : box, Qt::Key_Return);
    }

    QStringList FAnswers;
    QTimer FTimer;
    QMessageBox* FAnswered = nullptr;
};

class RunFeedback : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        fs::create_directory(In);
    }
    TPrivateSettings Settings;
    TTempFolder Tmp;
    std::string In = Tmp.File("in");
    std::string Out = Tmp.File("out");

    void Touch(const std::string& name) { std::ofstream(In + "/" + name) << name; }
    void Prepare(TTestWindow& w, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"/SRC=" + In, "/DST=" + Out};
        args.insert(args.end(), extra.begin(), extra.end());
        OpenLastPage(w, args);
    }
    static void Show(TTestWindow& w) {
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    }
    static QTreeWidget* Progress(TTestWindow& w) { return Child<QTreeWidget>(&w, "lvProgress"); }
    static QString RunProgressText(TTestWindow& w) {
        auto* label = Child<QLabel>(&w, "lblRunProgress");
        return label ? label->text() : QString();
    }
};

// Converts into the destination; names with "bad" fail with a long message.
void ConvertOrFail(const std::string& source, const std::string& dest) {
    if (source.find("bad") != std::string::npos)
        throw EInvalidGraphic("Bitmap image is not valid: the header names a palette of "
                              "70000 colours, more than the file holds; the rest of this "
                              "text only makes the message longer than any status column");
    std::ofstream(dest) << "converted";
}

} // namespace

TEST_F(RunFeedback, EndMessageCountsTheRowsAndShowsTheFailedOnes) {
    for (const char* name : {"a.src", "bad1.src", "c.src", "d.src", "e.src", "bad2.src"})
        Touch(name);
    fs::create_directory(Out);
    std::ofstream(Out + "/e.out") << "kept";
    TTestWindow w;
    w.OnConvert = ConvertOrFail;
    w.ProcessCommandLine({"/SRC=" + In, "/DST=" + Out});
    Child<QCheckBox>(&w, "chkOverwrite")->setChecked(false);
    Child<QPushButton>(&w, "btnLast")->click();
    Show(w);
    const int statusBefore = Progress(w)->header()->sectionSize(pcStatus);

    {
        TBoxAnswer answer({"Show failed files"});
        Child<QPushButton>(&w, "btnCancel")->click();
        ASSERT_EQ(answer.Shown.size(), 1u);
        EXPECT_EQ(answer.Shown[0].Text, "Image conversion finished.");
        EXPECT_EQ(answer.Shown[0].Informative, "3 converted, 1 skipped, 2 failed.");
        EXPECT_EQ(answer.Shown[0].Buttons,
                  (QStringList{"OK", "Show failed files", "Open destination folder"}));
    }
    EXPECT_EQ(w.LastSummary().Failed, 2u);

    // The failed rows are selected and the first is the current one.
    QStringList selected;
    for (QTreeWidgetItem* item : Progress(w)->selectedItems())
        selected << QString::fromStdString(fs::path(Column(item, pcFileName)).filename());
    selected.sort();
    EXPECT_EQ(selected, (QStringList{"bad1.src", "bad2.src"}));
    ASSERT_NE(Progress(w)->currentItem(), nullptr);
    EXPECT_EQ(fs::path(Column(Progress(w)->currentItem(), pcFileName)).filename(), "bad1.src");
    EXPECT_EQ(w.focusWidget(), Progress(w));

    // The whole error text is in the tooltip, and widening the window gives the
    // status column the room.
    QTreeWidgetItem* bad = Progress(w)->currentItem();
    EXPECT_TRUE(bad->toolTip(pcStatus).endsWith("longer than any status column"));
    w.resize(w.width() + 300, w.height());
    QTest::qWait(20);
    EXPECT_GE(Progress(w)->header()->sectionSize(pcStatus), statusBefore + 250);

    // Nothing failed, nothing converted: neither offer.
    TTestWindow empty;
    empty.ProcessCommandLine({"/SRC=" + Tmp.File("none"), "/DST=" + Out});
    empty.SetPageTo(5);
    empty.SetPageTo(6);
    TBoxAnswer none({});
    empty.RunBatch();
    ASSERT_EQ(none.Shown.size(), 1u);
    EXPECT_EQ(none.Shown[0].Text, "No documents found in source directory.");
    EXPECT_EQ(none.Shown[0].Buttons, QStringList{"OK"});
}

TEST_F(RunFeedback, ProgressLabelCountsRowsAsTheyFinish) {
    for (const char* name : {"a.src", "b.src", "c.src"})
        Touch(name);
    TTestWindow w;
    QStringList seen;
    w.OnConvert = [&](const std::string& source, const std::string& dest) {
        seen << RunProgressText(w);
        ConvertOrFail(source, dest);
    };
    Prepare(w);
    TBoxAnswer answer({});
    w.RunBatch();
    ASSERT_EQ(seen.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(seen[i].startsWith(QStringLiteral("%1 of 3, ").arg(i)))
            << seen[i].toStdString();
    // The time left shows once there is a pace to go by.
    EXPECT_FALSE(seen[0].contains("left"));
    EXPECT_TRUE(seen[1].contains("left"));
    EXPECT_TRUE(RunProgressText(w).startsWith("3 of 3, "));
    EXPECT_FALSE(RunProgressText(w).contains("left"));
}

namespace {
// Worker conversions in which every file but one waits at a gate.
class TGateWindow : public TTestWindow {
public:
    std::atomic<bool> Open{false};
    TWorkerConversion CreateWorkerConversion() override {
        return [this](const std::string& source, const std::string& dest) {
            while (!source.ends_with("quick.src") && !Open)
                std::this_thread::sleep_for(1ms);
            std::ofstream(dest) << source;
        };
    }
};
} // namespace

TEST_F(RunFeedback, ProgressLabelFollowsParallelRowsOutOfOrder) {
    // The first row waits; the second finishes first and is counted at once, not
    // when the first row's turn in the log comes.
    for (const char* name : {"a.src", "b-quick.src", "c.src", "d.src"})
        Touch(name);
    TGateWindow w;
    w.ProcessCommandLine({"/SRC=" + In, "/DST=" + Out});
    Child<QSpinBox>(&w, "seThreads")->setValue(2);
    w.SetPageTo(5);
    w.SetPageTo(6);
    bool sawOneOfFour = false;
    int ticks = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        sawOneOfFour = sawOneOfFour || RunProgressText(w).startsWith("1 of 4, ");
        // Opened once seen, or after a while so that a fault cannot hang the test.
        if (sawOneOfFour || ++ticks > 400) w.Open = true;
    });
    watch.start(5);
    TBoxAnswer answer({});
    w.RunBatch();
    EXPECT_TRUE(sawOneOfFour);
    EXPECT_TRUE(RunProgressText(w).startsWith("4 of 4, "));
}

TEST_F(RunFeedback, StopByButtonLetterOrEscapeSaysSoAtOnceAndConvertsNoMore) {
    for (int i = 0; i < 5; ++i)
        Touch("f" + std::to_string(i) + ".src");
    struct TPath {
        const char* Name;
        std::function<void(TTestWindow&)> Press;
    };
    const TPath paths[] = {
        {"button", [](TTestWindow& w) { Child<QPushButton>(&w, "btnStop")->click(); }},
        {"Alt+S", [](TTestWindow& w) { QTest::keyClick(&w, Qt::Key_S, Qt::AltModifier); }},
        {"Escape", [](TTestWindow& w) { QTest::keyClick(&w, Qt::Key_Escape); }},
    };
    for (const TPath& path : paths) {
        SCOPED_TRACE(path.Name);
        fs::remove_all(Out);
        TTestWindow w;
        QString during;
        bool disabled = false;
        w.OnConvert = [&](const std::string& source, const std::string& dest) {
            if (w.Converted.size() == 2) {
                path.Press(w);
                auto* stop = Child<QPushButton>(&w, "btnStop");
                during = stop->text();
                disabled = !stop->isEnabled();
            }
            ConvertOrFail(source, dest);
        };
        Prepare(w);
        Show(w);
        TBoxAnswer answer({});
        Child<QPushButton>(&w, "btnCancel")->click();
        EXPECT_EQ(during, QStringLiteral("Stopping\u2026"));
        EXPECT_TRUE(disabled);
        // The file in hand finishes; nothing new starts.
        EXPECT_EQ(w.Converted.size(), 2u);
        ASSERT_EQ(answer.Shown.size(), 1u);
        EXPECT_EQ(answer.Shown[0].Text, "Conversion canceled.");
        EXPECT_EQ(answer.Shown[0].Informative, "2 converted, 0 skipped, 0 failed, 3 not started.");
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(Child<QPushButton>(&w, "btnStop")->text(), "&Stop");
    }
}

TEST_F(RunFeedback, StopDuringALongFileIsSeenBeforeTheFileEnds) {
    Touch("long.src");
    Touch("next.src");
    TTestWindow w;
    bool seenWhileConverting = false;
    w.OnConvert = [&](const std::string& source, const std::string& dest) {
        if (w.Converted.size() != 1) return ConvertOrFail(source, dest);
        // The click waits in the queue while the file reports its progress.
        QTimer::singleShot(0, &w, [&w] { Child<QPushButton>(&w, "btnStop")->click(); });
        for (int step = 0; step < 100 && !seenWhileConverting; ++step) {
            w.SetProgress(step, 100);
            std::this_thread::sleep_for(5ms);
            seenWhileConverting = Child<QPushButton>(&w, "btnStop")->text() == "Stopping\u2026";
        }
        ConvertOrFail(source, dest);
    };
    Prepare(w);
    Show(w);
    TBoxAnswer answer({});
    w.RunBatch();
    EXPECT_TRUE(seenWhileConverting);
    EXPECT_EQ(w.Converted.size(), 1u);
}

TEST_F(RunFeedback, LastPageHasCloseEscapeClosesAndARepeatedRunIsAskedFor) {
    Touch("a.src");
    Touch("b.src");
    TTestWindow w;
    w.OnConvert = ConvertOrFail;
    Prepare(w);
    Show(w);
    auto* close = Child<QPushButton>(&w, "btnClose");
    ASSERT_NE(close, nullptr);
    EXPECT_TRUE(close->isVisible());
    EXPECT_FALSE(Child<QPushButton>(&w, "btnNext")->isVisible());
    w.SetPageTo(5);
    EXPECT_FALSE(close->isVisible());
    w.SetPageTo(6);

    // Before a run Escape asks, as Cancel does on the other pages.
    {
        TBoxAnswer no({"No"});
        QTest::keyClick(&w, Qt::Key_Escape);
        ASSERT_EQ(no.Shown.size(), 1u);
        EXPECT_TRUE(no.Shown[0].Text.startsWith("The wizard has not completed."));
        EXPECT_TRUE(w.isVisible());
    }
    {
        TBoxAnswer ok({});
        Show(w); // the question box had taken the focus
        QTest::keyClick(&w, Qt::Key_Return);
        ASSERT_EQ(ok.Shown.size(), 1u);
    }
    ASSERT_EQ(w.Converted.size(), 2u);

    // Return again: asked, and the default is No.
    const QString question = "The files were converted already. Convert them again?";
    {
        TBoxAnswer enter({});
        Show(w);
        QTest::keyClick(&w, Qt::Key_Return);
        ASSERT_EQ(enter.Shown.size(), 1u);
        EXPECT_EQ(enter.Shown[0].Text, question);
    }
    EXPECT_EQ(w.Converted.size(), 2u);
    EXPECT_EQ(w.BeforeRuns, 1);
    // The Execute button and File > Execute ask too; Yes converts every row again.
    {
        TBoxAnswer no({"No"});
        Child<QPushButton>(&w, "btnCancel")->click();
        ASSERT_EQ(no.Shown.size(), 1u);
        EXPECT_EQ(no.Shown[0].Text, question);
    }
    {
        TBoxAnswer yes({"Yes", "OK"});
        Child<QAction>(&w, "miFileExecute")->trigger();
        ASSERT_EQ(yes.Shown.size(), 2u);
        EXPECT_EQ(yes.Shown[0].Text, question);
        EXPECT_EQ(yes.Shown[1].Text, "Image conversion finished.");
    }
    EXPECT_EQ(w.Converted.size(), 4u);
    for (const std::string& status : Rows(Progress(w), {pcStatus}))
        EXPECT_EQ(status, "Finished");

    // After a run Escape closes the window without a question.
    TBoxAnswer none({});
    Show(w);
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(none.Shown.empty());
    EXPECT_FALSE(w.isVisible());
}

TEST_F(RunFeedback, NoQuestionWhenRowsAreLeftOrNothingWasWritten) {
    for (int i = 0; i < 4; ++i)
        Touch("f" + std::to_string(i) + ".src");
    TTestWindow w;
    w.OnConvert = [&w](const std::string& source, const std::string& dest) {
        if (w.Converted.size() == 1) Child<QPushButton>(&w, "btnStop")->click();
        ConvertOrFail(source, dest);
    };
    Prepare(w);
    {
        TBoxAnswer ok({});
        Child<QPushButton>(&w, "btnCancel")->click();
    }
    ASSERT_EQ(w.Converted.size(), 1u);
    w.OnConvert = ConvertOrFail;
    TBoxAnswer ok({});
    Child<QPushButton>(&w, "btnCancel")->click();
    ASSERT_EQ(ok.Shown.size(), 1u);
    EXPECT_EQ(ok.Shown[0].Text, "Image conversion finished.");
    EXPECT_EQ(w.Converted.size(), 4u);

    // A list whose every row failed wrote nothing: Execute just says so again.
    TTestWindow failing;
    failing.OnConvert = [](const std::string&, const std::string&) {
        throw EInvalidGraphic("unreadable");
    };
    Prepare(failing);
    for (int run = 0; run < 2; ++run) {
        TBoxAnswer answer({});
        Child<QPushButton>(&failing, "btnCancel")->click();
        ASSERT_EQ(answer.Shown.size(), 1u) << run;
        EXPECT_EQ(answer.Shown[0].Informative, "0 converted, 0 skipped, 4 failed.") << run;
    }
    EXPECT_EQ(failing.Converted.size(), 4u);
}

TEST_F(RunFeedback, OpenTheDestinationFromThePageOrTheEndMessage) {
    Touch("a.src");
    TTestWindow w;
    w.OnConvert = ConvertOrFail;
    std::vector<std::string> opened;
    bool handled = true;
    w.SetShellOpener([&](const std::string& target) {
        opened.push_back(target);
        return handled;
    });
    Prepare(w);
    auto* open = Child<QPushButton>(&w, "btnOpenDestination");
    ASSERT_NE(open, nullptr);
    EXPECT_FALSE(open->isEnabled());
    {
        TBoxAnswer answer({"Open destination folder"});
        Child<QPushButton>(&w, "btnCancel")->click();
        ASSERT_EQ(answer.Shown.size(), 1u);
    }
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(fs::equivalent(opened[0], Out));
    EXPECT_TRUE(open->isEnabled());
    {
        TBoxAnswer none({});
        open->click();
        EXPECT_TRUE(none.Shown.empty());
    }
    EXPECT_EQ(opened.size(), 2u);

    // No handler: said, with the folder's name.
    handled = false;
    TBoxAnswer said({});
    open->click();
    ASSERT_EQ(said.Shown.size(), 1u);
    EXPECT_TRUE(said.Shown[0].Text.startsWith("No program is set up to open folders."));
    EXPECT_TRUE(said.Shown[0].Text.contains(QString::fromStdString(Out)));
}
