// SPDX-License-Identifier: GPL-3.0-or-later
// Parallel runs: the scheduler's ordering of files that share a path, and the
// window's promises (same files, statuses, log and exit status as one file at
// a time; Stop lets the files in flight finish).
#include "WindowTestSupport.h"

#include "base/Exceptions.h"
#include "batch/ParallelBatch.h"
#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Picture.h"
#include "window/frmMain.h"

#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Drives a scheduler to the end as the window does and returns the outcomes by job.
std::vector<TJobOutcome> RunToEnd(TParallelBatch& batch, size_t jobs) {
    std::vector<TJobOutcome> outcomes(jobs);
    while (true) {
        batch.StartReady();
        if (batch.Done()) break;
        for (TJobOutcome& o : batch.TakeOutcomes(20ms))
            outcomes[o.Job] = std::move(o);
    }
    return outcomes;
}

} // namespace

TEST(ParallelBatch, FilesSharingAPathWaitForTheEarlierRows) {
    // 0: a->x   1: b->x (same destination)   2: x->y (reads what 0 and 1 wrote)
    // 3: c->d   4: d->c (overwrites the source 3 reads; reads what 3 wrote)
    // 5: e->f   (independent)
    TParallelBatch batch({{"a", "x"}, {"b", "x"}, {"x", "y"}, {"c", "d"}, {"d", "c"}, {"e", "f"}},
                         {});
    const std::vector<std::vector<size_t>> want = {{}, {0}, {1}, {}, {3}, {}};
    EXPECT_EQ(batch.Dependencies(), want);
    // Without workers nothing starts and nothing can finish.
    EXPECT_TRUE(batch.StartReady().empty());
}

TEST(ParallelBatch, KeepsRowOrderPerDestinationUnderLoad) {
    // Eight files go to two destinations; four workers convert at once. Each
    // destination must see its writers in row order, one at a time.
    std::vector<TBatchTask> jobs;
    for (int i = 0; i < 8; ++i)
        jobs.push_back({"src" + std::to_string(i), i % 2 ? "odd" : "even"});
    for (int i = 0; i < 8; ++i)
        jobs.push_back({"free" + std::to_string(i), "free-out" + std::to_string(i)});
    std::mutex lock;
    std::map<std::string, std::vector<std::string>> writes;
    std::map<std::string, int> busy;
    std::atomic<int> concurrent{0}, mostConcurrent{0};
    bool overlapped = false;
    std::vector<TWorkerConversion> workers;
    for (int w = 0; w < 4; ++w)
        workers.push_back([&](const std::string& source, const std::string& dest) {
            {
                std::lock_guard g(lock);
                overlapped |= busy[dest]++ > 0;
                writes[dest].push_back(source);
            }
            const int now = ++concurrent;
            int seen = mostConcurrent.load();
            while (now > seen && !mostConcurrent.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(3ms);
            --concurrent;
            std::lock_guard g(lock);
            --busy[dest];
        });
    TParallelBatch batch(jobs, workers);
    std::vector<TJobOutcome> outcomes = RunToEnd(batch, jobs.size());
    for (const TJobOutcome& o : outcomes)
        EXPECT_TRUE(o.Ok);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(writes["even"], (std::vector<std::string>{"src0", "src2", "src4", "src6"}));
    EXPECT_EQ(writes["odd"], (std::vector<std::string>{"src1", "src3", "src5", "src7"}));
    EXPECT_GT(mostConcurrent.load(), 1);
    EXPECT_LE(mostConcurrent.load(), 4);
}

TEST(ParallelBatch, StopLetsTheFilesInFlightFinishAndStartsNoOther) {
    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    std::vector<TWorkerConversion> workers;
    for (int w = 0; w < 2; ++w)
        workers.push_back([&](const std::string& source, const std::string&) {
            ++started;
            while (!release)
                std::this_thread::sleep_for(1ms);
            if (source == "bad") throw EInvalidGraphic("broken");
            if (source == "odd") throw 42; // not a standard exception
        });
    std::vector<TBatchTask> jobs = {{"bad", "1"}, {"odd", "2"}, {"c", "3"}, {"d", "4"}};
    TParallelBatch batch(jobs, workers);
    EXPECT_EQ(batch.StartReady(), (std::vector<size_t>{0, 1}));
    EXPECT_TRUE(batch.StartReady().empty()); // both workers busy
    batch.Stop();
    release = true;
    std::vector<TJobOutcome> outcomes = RunToEnd(batch, jobs.size());
    EXPECT_EQ(started.load(), 2);
    EXPECT_FALSE(outcomes[0].Ok);
    EXPECT_EQ(outcomes[0].Error, "broken");
    EXPECT_TRUE(outcomes[1].Foreign);
    EXPECT_TRUE(batch.Done());
}

// ---------------------------------------------------------------------------
// Through the image window and the program

namespace {

void EnsureFormats() {
    static bool done = false;
    if (!done) RegisterImageFormats();
    done = true;
}

void WriteSource(const std::string& path, int width, int height, int seed) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(x * 7 + seed * 31);
            row[3 * x + 1] = static_cast<uint8_t>(y * 5 + seed);
            row[3 * x + 2] = static_cast<uint8_t>((x ^ y) * 3 + seed * 11);
        }
    }
    b.SaveToFile(path);
}

// Twelve sources in two folders; two share a base name (the later row fails rather
// than overwrite in the one destination folder) and one is not an image.
struct TParallelJob {
    TTempFolder Tmp;
    std::string In = Tmp.File("in");
    TParallelJob() {
        fs::create_directories(In + "/one");
        fs::create_directories(In + "/two");
        for (int i = 0; i < 10; ++i)
            WriteSource(In + "/one/p" + std::to_string(i) + ".bmp", 60 + 13 * i, 40 + 7 * i, i);
        WriteSource(In + "/two/p3.bmp", 33, 21, 99);
        std::ofstream(In + "/two/broken.bmp") << "BM this is no bitmap";
    }
};

struct TRunResult {
    std::vector<std::string> Rows;                     // file name | status
    std::map<std::string, std::vector<uint8_t>> Files; // destination name -> bytes
    std::vector<std::string> LogLines;                 // without the times
};

TRunResult RunWindow(const TParallelJob& job, const std::string& out, int threads,
                     const std::string& format) {
    EnsureApplication();
    EnsureFormats();
    TPrivateSettings settings;
    TfrmMain w;
    const std::string log = out + ".log";
    w.ProcessCommandLine(
        {"/SRC=" + job.In, "/SUBDIR", "/DST=" + out, "/DSTFORMAT=" + format, "/LOGFILE=" + log});
    // Four workers even on a smaller machine: the spin box offers the cores
    // only, so its range is widened here.
    Child<QSpinBox>(&w, "seThreads")->setRange(1, 8);
    Child<QSpinBox>(&w, "seThreads")->setValue(threads);
    EXPECT_EQ(w.ThreadCount(), threads);
    w.SetPage(5);
    w.SetPage(6);
    {
        TMessageBoxWatcher boxes;
        w.RunBatch();
        EXPECT_EQ(boxes.Texts, QStringList{QStringLiteral("Image conversion finished.")});
    }
    TRunResult r;
    r.Rows = Rows(Child<QTreeWidget>(&w, "lvProgress"), {pcFileName, pcStatus});
    for (const auto& entry : fs::directory_iterator(out))
        r.Files[entry.path().filename()] = ReadFileBytes(entry.path());
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        // "<file> Finished <n> msec": the time differs from run to run.
        if (size_t at = line.rfind(" Finished "); at != std::string::npos) line.resize(at + 9);
        if (line.rfind("Trevasco ", 0) == 0) line = "Trevasco";
        r.LogLines.push_back(line);
    }
    return r;
}

} // namespace

TEST(ParallelWindowRun, GivesTheFilesStatusesAndLogOfTheSequentialRun) {
    TParallelJob job;
    for (const char* format : {"png", "gif", "jpg"}) {
        const TRunResult one =
            RunWindow(job, job.Tmp.File(std::string("one-") + format), 1, format);
        const TRunResult four =
            RunWindow(job, job.Tmp.File(std::string("four-") + format), 4, format);
        EXPECT_EQ(one.Rows, four.Rows) << format;
        EXPECT_EQ(one.Files, four.Files) << format;
        EXPECT_EQ(one.LogLines, four.LogLines) << format;
        ASSERT_EQ(one.Rows.size(), 12u);
        EXPECT_NE(one.Rows[10].find("broken.bmp|Error "), std::string::npos) << one.Rows[10];
        EXPECT_EQ(one.Files.size(), 10u);
        // The later p3 (33 x 21, from "two") would overwrite the earlier one: it fails instead.
        TPicture p3;
        p3.LoadFromFile(job.Tmp.File(std::string("four-") + format) + "/p3." +
                        (std::string(format) == "jpg" ? "jpg" : format));
        EXPECT_EQ(p3.Width(), 99) << format;
        EXPECT_EQ(std::count_if(one.Rows.begin(), one.Rows.end(),
                                [](const std::string& row) {
                                    return row.find("|Error The destination is already that of ") !=
                                           std::string::npos;
                                }),
                  1)
            << format;
    }
}

namespace {

// A window whose conversions wait at a gate, to stop a run with files in flight.
class TGatedWindow : public TTestWindow {
public:
    std::atomic<int> Started{0};
    std::atomic<bool> Open{false};
    TWorkerConversion CreateWorkerConversion() override {
        return [this](const std::string& source, const std::string& dest) {
            ++Started;
            while (!Open)
                std::this_thread::sleep_for(1ms);
            if (source.ends_with("bad.src")) throw EInvalidGraphic("cannot read it");
            std::ofstream(dest) << source;
        };
    }
};

} // namespace

TEST(ParallelWindowRun, StopLetsTheFilesInFlightFinishAndLeavesTheRestWaiting) {
    EnsureApplication();
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = tmp.File("in"), out = tmp.File("out");
    fs::create_directories(in);
    for (const char* name : {"a.src", "bad.src", "c.src", "d.src", "e.src"})
        std::ofstream(in + "/" + name) << name;
    TGatedWindow w;
    w.ProcessCommandLine({"/SRC=" + in, "/DST=" + out});
    Child<QSpinBox>(&w, "seThreads")->setRange(1, 8);
    Child<QSpinBox>(&w, "seThreads")->setValue(2);
    w.SetPageTo(5);
    w.SetPageTo(6);
    // Once both workers hold a file, Stop is pressed and the gate opens.
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (w.Started < 2) return;
        Child<QPushButton>(&w, "btnStop")->click();
        w.Open = true;
    });
    stopper.start(5);
    TMessageBoxWatcher boxes;
    w.RunBatch();
    EXPECT_EQ(boxes.Texts, QStringList{QStringLiteral("Conversion canceled.")});
    const std::vector<std::string> rows = Rows(Child<QTreeWidget>(&w, "lvProgress"), {pcStatus});
    EXPECT_EQ(rows, (std::vector<std::string>{"Finished", "Error cannot read it", "Waiting",
                                              "Waiting", "Waiting"}));
    EXPECT_TRUE(fs::exists(out + "/a.out"));
    EXPECT_FALSE(fs::exists(out + "/c.out"));
    EXPECT_EQ(w.Converted.size(), 0u); // the window-thread conversion was not used
    EXPECT_FALSE(w.Running());
}

TEST(ParallelWindowRun, ThreadsSwitchSettingAndCommandLine) {
    EnsureApplication();
    EnsureFormats();
    TPrivateSettings settings;
    TfrmMain w;
    EXPECT_EQ(Child<QSpinBox>(&w, "seThreads")->value(), 0); // one per core by default
    EXPECT_EQ(w.ThreadCount(), TfrmMainBasic::MaxThreadCount());
    w.ProcessCommandLine({"/THREADS=1"});
    EXPECT_EQ(w.ThreadCount(), 1);
    w.ProcessCommandLine({"/THREADS=0"});
    EXPECT_EQ(w.ThreadCount(), TfrmMainBasic::MaxThreadCount());
    EXPECT_EQ(Child<QSpinBox>(&w, "seThreads")->value(), 0); // kept as "one per core"
    w.ProcessCommandLine({"/THREADS=100000"});
    EXPECT_EQ(w.ThreadCount(), TfrmMainBasic::ThreadLimit);

    TTempFolder tmp;
    const std::string preset = tmp.File("preset.ini");
    std::ofstream(preset) << "[General]\nThreads=1\n";
    w.LoadSettingsFrom(preset);
    EXPECT_EQ(w.ThreadCount(), 1);
    Child<QSpinBox>(&w, "seThreads")->setValue(TfrmMainBasic::MaxThreadCount());
    w.SaveSettingsTo(preset);
    std::ifstream in(preset);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("Threads=" + std::to_string(TfrmMainBasic::MaxThreadCount())),
              std::string::npos);
    if (TfrmMainBasic::MaxThreadCount() > 1) {
        w.SetPage(6);
        EXPECT_NE(w.EquivalentCommandLine().find("/THREADS=" +
                                                 std::to_string(TfrmMainBasic::MaxThreadCount())),
                  std::string::npos);
    }
}

#ifdef TREVASCO_BINARY
TEST(ParallelUnattendedRun, GivesTheSameExitStatusStderrAndFiles) {
    TParallelJob job;
    std::map<std::string, std::vector<uint8_t>> seen;
    std::string firstErr;
    for (const char* threads : {"1", "0"}) {
        const std::string out = job.Tmp.File(std::string("out") + threads);
        const std::string err = out + ".err";
        const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
                                "XDG_CONFIG_HOME='" +
                                job.Tmp.File("config") + "' '" TREVASCO_BINARY "' '/SRC=" + job.In +
                                "' /SUBDIR '/DST=" + out + "' /DSTFORMAT=png /THREADS=" + threads +
                                " /EXECUTE 2>'" + err + "'";
        const int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << threads; // broken.bmp fails
        std::ifstream e(err);
        const std::string stderrText{std::istreambuf_iterator<char>(e), {}};
        // The collision of the two p3 files first (found before the run), then broken.bmp.
        EXPECT_EQ(stderrText.rfind(job.In + "/two/p3.bmp: The destination is already that of ", 0),
                  0u)
            << stderrText;
        EXPECT_NE(stderrText.find("\n" + job.In + "/two/broken.bmp: "), std::string::npos)
            << stderrText;
        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto& entry : fs::directory_iterator(out))
            files[entry.path().filename()] = ReadFileBytes(entry.path());
        EXPECT_EQ(files.size(), 10u);
        if (seen.empty()) {
            seen = files;
            firstErr = stderrText;
        } else {
            EXPECT_EQ(files, seen);
            EXPECT_EQ(stderrText, firstErr);
        }
    }
}
#endif
