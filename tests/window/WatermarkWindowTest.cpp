// SPDX-License-Identifier: GPL-3.0-or-later
// The watermark through the image window: its controls reach the files, its
// switches and the Log page's command line reproduce the job, and a preset
// carries it.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "window/frmMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::unique_ptr<TfrmMain> NewWindow() {
    static bool registered = false;
    EnsureApplication();
    if (!registered) RegisterImageFormats();
    registered = true;
    return std::make_unique<TfrmMain>();
}

// A 200 x 120 grey picture in its own folder.
std::string SourceFolder(const TTempFolder& tmp) {
    const std::string in = tmp.File("in");
    fs::create_directory(in);
    TBitmap b(200, 120, pf24bit);
    for (int y = 0; y < 120; ++y)
        std::fill_n(b.ScanLine(y), 3 * 200, static_cast<uint8_t>(160));
    b.SaveToFile(in + "/a.bmp");
    return in;
}

void RunJob(TfrmMain& w) {
    w.SetPage(5);
    w.SetPage(6);
    TMessageBoxWatcher boxes;
    w.RunBatch();
}

// Pixels whose bytes differ between two pictures of the same size, and the
// box around them.
struct TDifference {
    int Count = 0;
    int Left = 1 << 30, Top = 1 << 30, Right = -1, Bottom = -1;
};
TDifference Compare(const std::string& a, const std::string& b) {
    TBitmap x, y;
    x.LoadFromFile(a);
    y.LoadFromFile(b);
    TDifference d;
    EXPECT_EQ(x.Width(), y.Width());
    EXPECT_EQ(x.Height(), y.Height());
    const int step = x.BitsPerPixel() / 8;
    for (int row = 0; row < std::min(x.Height(), y.Height()); ++row)
        for (int col = 0; col < std::min(x.Width(), y.Width()); ++col)
            if (!std::equal(x.ScanLine(row) + step * col, x.ScanLine(row) + step * (col + 1),
                            y.ScanLine(row) + step * col)) {
                ++d.Count;
                d.Left = std::min(d.Left, col);
                d.Top = std::min(d.Top, row);
                d.Right = std::max(d.Right, col + 1);
                d.Bottom = std::max(d.Bottom, row + 1);
            }
    return d;
}

} // namespace

TEST(WatermarkWindow, TheControlsDrawTheWatermarkIntoTheFiles) {
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = SourceFolder(tmp);
    const std::string plain = tmp.File("plain"), marked = tmp.File("marked");
    for (const std::string& out : {plain, marked}) {
        auto w = NewWindow();
        w->ProcessCommandLine(
            {"/SRC=" + in, "/DST=" + out, "/DSTFORMAT=bmp", "/PIXELFORMAT=pf24bit"});
        if (out == marked) {
            Child<QCheckBox>(w.get(), "chkWatermark")->setChecked(true);
            Child<QLineEdit>(w.get(), "edWatermarkText")->setText(QStringLiteral("Proof"));
            TFontDescription font = w->WatermarkFont();
            font.Size = 14;
            w->SetWatermarkFont(font, w->WatermarkBackground());
            Child<QComboBox>(w.get(), "cbWAlignment")->setCurrentIndex(2);
            Child<QComboBox>(w.get(), "cbWPosition")->setCurrentIndex(2);
        }
        RunJob(*w);
    }
    const TDifference d = Compare(plain + "/a.bmp", marked + "/a.bmp");
    ASSERT_GT(d.Count, 20) << "the watermark left the file as it was";
    // Bottom right, clear of the edges.
    EXPECT_GE(d.Left, 100);
    EXPECT_GE(d.Top, 60);
    EXPECT_LT(d.Right, 200);
    EXPECT_LT(d.Bottom, 120);
}

TEST(WatermarkWindow, SwitchesCommandLineAndPresetReproduceTheJob) {
    TPrivateSettings settings;
    TTempFolder tmp;
    const std::string in = SourceFolder(tmp);
    const std::string out1 = tmp.File("out1");
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + in, "/DST=" + out1, "/DSTFORMAT=png",
                           "/WATERMARK=© 2026 \"quoted\"", "/WATERMARKFONT=DejaVu Serif,18,italic",
                           "/WATERMARKCOLOR=#C01020", "/WATERMARKPOS=7", "/WATERMARKANGLE=-15"});
    const TConvertOptions o = w->ReadOptions();
    EXPECT_TRUE(o.Watermark.Enabled);
    EXPECT_EQ(o.Watermark.Text, "© 2026 \"quoted\"");
    EXPECT_EQ(o.Watermark.Font.Name, "DejaVu Serif");
    EXPECT_EQ(o.Watermark.Font.Size, 18);
    EXPECT_EQ(o.Watermark.Font.Style, fsItalic);
    EXPECT_EQ(static_cast<TColor>(o.Watermark.Font.Color), RGBColor(0xC0, 0x10, 0x20));
    EXPECT_EQ(o.Watermark.Alignment, 0);
    EXPECT_EQ(o.Watermark.Position, 2);
    EXPECT_TRUE(o.Watermark.Rotate);
    EXPECT_EQ(o.Watermark.Angle, 345);

    std::vector<std::string> args = w->EquivalentArguments();
    for (const char* want :
         {"/WATERMARK=© 2026 \"quoted\"", "/WATERMARKFONT=DejaVu Serif,18,italic",
          "/WATERMARKCOLOR=#C01020", "/WATERMARKPOS=bottom-left", "/WATERMARKANGLE=345"})
        EXPECT_NE(std::find(args.begin(), args.end(), want), args.end()) << want;
    const std::string preset = tmp.File("job.ini");
    w->SaveSettingsTo(preset);
    RunJob(*w);
    ASSERT_TRUE(fs::exists(out1 + "/a.png"));

    args.pop_back(); // /EXECUTE
    for (const std::string& kind : {std::string("args"), std::string("preset")}) {
        auto v = NewWindow();
        if (kind == "args")
            v->ProcessCommandLine(args);
        else
            v->ProcessCommandLine({"/SETTINGS=" + preset});
        const std::string out = tmp.File("out-" + kind);
        v->ProcessCommandLine({"/DST=" + out});
        RunJob(*v);
        EXPECT_EQ(ReadFileBytes(out1 + "/a.png"), ReadFileBytes(out + "/a.png")) << kind;
    }

    // A switch after the preset turns it off again.
    auto off = NewWindow();
    off->ProcessCommandLine({"/SETTINGS=" + preset, "/NOWATERMARK"});
    EXPECT_FALSE(off->ReadOptions().Watermark.Enabled);
    const std::vector<std::string> offArgs = off->EquivalentArguments();
    EXPECT_TRUE(std::none_of(offArgs.begin(), offArgs.end(),
                             [](const std::string& a) { return a.starts_with("/WATERMARK"); }));
}

TEST(WatermarkWindow, WrongSwitchValuesStopTheRun) {
    const std::string tooLong = "/WATERMARK=" + std::string(2048, 'x');
    const std::vector<std::string> wrong = {
        "/WATERMARK=",           tooLong,
        "/WATERMARKFONT=Arial",  "/WATERMARKFONT=Arial,12,heavy",
        "/WATERMARKCOLOR=white", "/WATERMARKPOS=middle",
        "/WATERMARKANGLE=400"};
    for (const std::string& bad : wrong) {
        auto v = NewWindow();
        testing::internal::CaptureStderr();
        v->ProcessCommandLine({bad, "/EXECUTE"});
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(v->ExitCode(), 1) << bad;
        EXPECT_NE(err.find(bad.substr(0, bad.find('='))), std::string::npos) << bad << ": " << err;
        EXPECT_FALSE(v->ReadOptions().Watermark.Enabled) << bad;
    }
}

TEST(WatermarkWindow, ColourButtonSitsWithTheOtherWatermarkControls) {
    auto w = NewWindow();
    auto* button = Child<QPushButton>(w.get(), "btnWatermarkColor");
    ASSERT_NE(button, nullptr);
    // It follows the watermark's enabling rule like the font button.
    Child<QCheckBox>(w.get(), "chkWatermark")->setChecked(false);
    EXPECT_FALSE(button->isEnabled());
    Child<QCheckBox>(w.get(), "chkWatermark")->setChecked(true);
    EXPECT_TRUE(button->isEnabled());
}
