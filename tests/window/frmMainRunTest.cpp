// SPDX-License-Identifier: GPL-3.0-or-later
// The image window running jobs: every destination format through the wizard,
// and presets saved from the window and run with /SETTINGS=.
#include "WindowTestSupport.h"

#include "base/Exceptions.h"
#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Picture.h"
#include "window/RadioGroup.h"
#include "window/frmMain.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QTreeWidget>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

void EnsureFormats() {
    static bool done = false;
    if (!done) RegisterImageFormats();
    done = true;
}

std::unique_ptr<TfrmMain> NewWindow() {
    EnsureApplication();
    EnsureFormats();
    return std::make_unique<TfrmMain>();
}

// A gradient with a few hard edges, so that a wrong pixel order or scale shows.
void WriteSource(const std::string& path, int width, int height, TPixelFormat format) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(x * 255 / width);
            row[3 * x + 1] = static_cast<uint8_t>(y * 255 / height);
            row[3 * x + 2] = (x / 4 + y / 4) % 2 ? 230 : 20;
        }
    }
    if (format != pf24bit) b.SetPixelFormat(format);
    b.SaveToFile(path);
}

struct TColorBytes {
    uint8_t B = 0, G = 0, R = 0;
    bool operator==(const TColorBytes&) const = default;
};

TColorBytes PixelAt(TBitmap& b, int x, int y) {
    const uint8_t* row = b.ScanLine(y);
    const int step = b.PixelFormat() == pf24bit ? 3 : 4;
    EXPECT_TRUE(b.PixelFormat() == pf24bit || b.PixelFormat() == pf32bit ||
                b.PixelFormat() == pfDevice);
    return {row[step * x], row[step * x + 1], row[step * x + 2]};
}

struct TJob {
    TTempFolder Tmp;
    std::string In = Tmp.File("in");
    TJob() {
        fs::create_directory(In);
        WriteSource(In + "/a.bmp", 40, 30, pf24bit);
        WriteSource(In + "/b.bmp", 17, 9, pf24bit);
        std::ofstream(In + "/notes.txt") << "not an image";
    }
};

// The wizard walked as a user would: file list, progress list, Execute.
std::vector<std::string> RunInWindow(TfrmMain& w) {
    w.SetPage(5);
    w.SetPage(6);
    TMessageBoxWatcher boxes;
    w.RunBatch();
    EXPECT_EQ(boxes.Texts, QStringList{QStringLiteral("Image conversion finished.")});
    return Rows(Child<QTreeWidget>(&w, "lvProgress"), {pcFileName, pcStatus});
}

bool SameBytes(const std::string& a, const std::string& b) {
    return fs::exists(a) && fs::exists(b) && ReadFileBytes(a) == ReadFileBytes(b);
}

} // namespace

TEST(ImageWindowRun, ConvertsToEveryDestinationFormat) {
    TJob job;
    TBitmap source;
    source.LoadFromFile(job.In + "/a.bmp");
    for (int destination = 0; destination <= dfJXL; ++destination) {
        const std::string out = job.Tmp.File("out" + std::to_string(destination));
        auto w = NewWindow();
        w->ProcessCommandLine({"/SRC=" + job.In, "/DST=" + out});
        Child<TRadioGroup>(w.get(), "rgDestination")->SetItemIndex(destination);
        const std::string ext = w->GetDestinationExt();
        std::vector<std::string> rows = RunInWindow(*w);
        ASSERT_EQ(rows.size(), 2u) << ext; // notes.txt is not a source format
        EXPECT_EQ(rows[0], job.In + "/a.bmp|Finished") << ext;
        EXPECT_EQ(rows[1], job.In + "/b.bmp|Finished") << ext;
        // Full: the last file's percent one at a time, the files done of a parallel run.
        const QProgressBar* bar = Child<QProgressBar>(w.get(), "pbProcess");
        EXPECT_EQ(bar->value(), bar->maximum());

        TPicture a, b;
        a.LoadFromFile(out + "/a" + ext);
        b.LoadFromFile(out + "/b" + ext);
        if (destination == dfWMF || destination == dfEMF) {
            // A metafile declares the picture's own size and plays it back whole.
            EXPECT_EQ(a.Width(), 40) << ext;
            EXPECT_EQ(a.Height(), 30) << ext;
            TBitmap played;
            played.SetPixelFormat(pf24bit);
            played.SetSize(a.Width(), a.Height());
            played.Canvas().StretchDraw(Rect(0, 0, a.Width(), a.Height()), *a.Graphic());
            for (int y = 2; y < 30; y += 9)
                for (int x = 2; x < 40; x += 9) {
                    const TColorBytes got = PixelAt(played, x, y), want = PixelAt(source, x, y);
                    EXPECT_NEAR(got.R, want.R, 2) << ext << " at " << x << "," << y;
                    EXPECT_NEAR(got.G, want.G, 2) << ext << " at " << x << "," << y;
                    EXPECT_NEAR(got.B, want.B, 2) << ext << " at " << x << "," << y;
                }
            continue;
        }
        EXPECT_EQ(a.Width(), 40) << ext;
        EXPECT_EQ(a.Height(), 30) << ext;
        EXPECT_EQ(b.Width(), 17) << ext;
        EXPECT_EQ(b.Height(), 9) << ext;
        if (destination == dfBitmap || destination == dfPNG) {
            auto* result = dynamic_cast<TBitmap*>(a.Graphic());
            ASSERT_NE(result, nullptr);
            for (int y = 0; y < 30; y += 7)
                for (int x = 0; x < 40; x += 5)
                    EXPECT_EQ(PixelAt(*result, x, y), PixelAt(source, x, y))
                        << ext << " at " << x << "," << y;
        }
    }
}

TEST(ImageWindowRun, ReadsTheOptionsOnScreenAtEachFile) {
    TJob job;
    const std::string out = job.Tmp.File("out");
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + job.In, "/DST=" + out, "/RESIZE=50%", "/PIXELFORMAT=1bit"});
    std::vector<std::string> rows = RunInWindow(*w);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], job.In + "/a.bmp|Finished");
    TBitmap a, b;
    a.LoadFromFile(out + "/a.bmp");
    b.LoadFromFile(out + "/b.bmp");
    EXPECT_EQ(a.Width(), 20);
    EXPECT_EQ(a.Height(), 15);
    EXPECT_EQ(b.Width(), 8);
    EXPECT_EQ(b.Height(), 4);
    EXPECT_EQ(a.PixelFormat(), pf1bit);

    // A list without a selection (a stray index from a settings file) fails the
    // file with a message instead of writing something else.
    Child<QComboBox>(w.get(), "cbPixelFormat")->setCurrentIndex(-1);
    rows = RunInWindow(*w);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind(job.In + "/a.bmp|Error ", 0), 0u) << rows[0];
}

TEST(ImageWindowRun, PresetSwitchOrderAndFailures) {
    TTempFolder tmp;
    const std::string preset = tmp.File("a.ini");
    {
        auto w = NewWindow();
        w->ProcessCommandLine({"/DST=/from/preset", "/QUALITY=30", "/DSTFORMAT=png"});
        w->SaveSettingsTo(preset);
    }
    auto after = NewWindow();
    after->ProcessCommandLine({"/SETTINGS=" + preset, "/QUALITY=50"});
    EXPECT_EQ(after->ReadOptions().Quality, 50);
    EXPECT_EQ(after->ReadOptions().Destination, dfPNG);
    auto before = NewWindow();
    before->ProcessCommandLine({"/QUALITY=50", "/DST=/x", "/SETTINGS=" + preset});
    EXPECT_EQ(before->ReadOptions().Quality, 30);
    EXPECT_EQ(Child<QLineEdit>(before.get(), "edDestinationName")->text(), "/from/preset");
    EXPECT_EQ(before->ExitCode(), 0);

    // Unreadable presets: a folder, an empty name, a missing file, a file that is no text.
    const std::string binary = tmp.File("picture.ini");
    WriteFileBytes(binary, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13});
    for (const std::string& bad : {tmp.Path(), std::string(), tmp.File("missing.ini"), binary}) {
        auto w = NewWindow();
        EXPECT_THROW(w->LoadSettingsFrom(bad), Exception) << bad;
        testing::internal::CaptureStderr();
        w->ProcessCommandLine({"/SETTINGS=" + bad, "/EXECUTE"});
        EXPECT_NE(testing::internal::GetCapturedStderr().find("settings file"), std::string::npos);
        EXPECT_EQ(w->ExitCode(), 1);
    }

    // The File menu offers both, and a preset read from the command line stands for
    // the per-user file when the window opens.
    TPrivateSettings settings;
    {
        auto w = NewWindow();
        w->ProcessCommandLine({"/QUALITY=80"});
        w->SaveSettings();
    }
    auto w = NewWindow();
    EXPECT_NE(w->findChild<QAction*>(QStringLiteral("miFileSaveSettings")), nullptr);
    EXPECT_EQ(w->findChild<QAction*>(QStringLiteral("miFileLoadSettings"))->text(),
              QStringLiteral("Load settings..."));
    w->ProcessCommandLine({"/SETTINGS=" + preset});
    w->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w->ReadOptions().Quality, 30);
    w->hide();
    auto plain = NewWindow();
    plain->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(plain->ReadOptions().Quality, 80);
    plain->hide();
}

TEST(ImageWindowRun, PresetSavedFromTheWindowGivesTheSameFiles) {
    TJob job;
    const std::string preset = job.Tmp.File("job.ini");
    const std::string out1 = job.Tmp.File("out1"), out2 = job.Tmp.File("out2");
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + job.In, "/DST=" + out1, "/DSTFORMAT=jpg", "/QUALITY=40",
                           "/RESIZE=x20", "/METADATA=nolocation"});
    w->SaveSettingsTo(preset);
    const std::vector<uint8_t> presetBytes = ReadFileBytes(preset);
    ASSERT_EQ(RunInWindow(*w).size(), 2u);

    auto v = NewWindow();
    v->ProcessCommandLine({"/SETTINGS=" + preset, "/DST=" + out2});
    EXPECT_EQ(v->ReadOptions().Metadata, TMetadataMode::NoLocation);
    std::vector<std::string> rows = RunInWindow(*v);
    ASSERT_EQ(rows.size(), 2u);
    for (const char* name : {"a.jpg", "b.jpg"})
        EXPECT_TRUE(SameBytes(out1 + "/" + name, out2 + "/" + name)) << name;
    TPicture a;
    a.LoadFromFile(out1 + "/a.jpg");
    EXPECT_EQ(a.Width(), 26); // 20 x 40 / 30
    EXPECT_EQ(a.Height(), 20);

#ifdef TREVASCO_BINARY
    // The program itself, unattended: same files, nothing printed, preset untouched.
    const std::string out3 = job.Tmp.File("out3");
    TProgramResult r =
        RunProgram(job.Tmp.File("config"), {"/SETTINGS=" + preset, "/DST=" + out3, "/EXECUTE"},
                   job.Tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(r.Stderr, "");
    for (const char* name : {"a.jpg", "b.jpg"})
        EXPECT_TRUE(SameBytes(out1 + "/" + name, out3 + "/" + name)) << name;
    EXPECT_EQ(ReadFileBytes(preset), presetBytes);

    // A missing preset or a value that names nothing: exit status 1 and nothing converted.
    for (const std::string& bad :
         {"/SETTINGS=" + job.Tmp.File("none.ini"), std::string("/COLORREDUCTION=lots")}) {
        const std::string out4 = job.Tmp.File("out4");
        r = RunProgram(job.Tmp.File("config"), {"/SRC=" + job.In, "/DST=" + out4, bad, "/EXECUTE"},
                       job.Tmp.File("err.txt"));
        EXPECT_EQ(r.Status, 1) << bad;
        EXPECT_NE(r.Stderr.find("trevasco: "), std::string::npos) << bad;
        EXPECT_FALSE(fs::exists(out4)) << bad;
    }
    r = RunProgram(job.Tmp.File("config"), {"--help"}, job.Tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Stdout.find("/COLORREDUCTION="), std::string::npos);
    r = RunProgram(job.Tmp.File("config"), {"--version"}, job.Tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Stdout.rfind("trevasco ", 0), 0u) << r.Stdout;
#else
    EXPECT_EQ(ReadFileBytes(preset), presetBytes);
#endif
}
