// SPDX-License-Identifier: GPL-3.0-or-later
// WebP, AVIF and JPEG XL in the image window: destination buttons, their
// option panels, switches, settings keys, the equivalent command line and
// presets that give the same files.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "util/IniFile.h"
#include "window/RadioGroup.h"
#include "window/frmMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class TModernWindow : public TfrmMain {
public:
    void SetPageTo(int page) { SetPage(page); }
};

std::unique_ptr<TModernWindow> NewWindow() {
    EnsureApplication();
    static bool registered = false;
    if (!registered) RegisterImageFormats();
    registered = true;
    return std::make_unique<TModernWindow>();
}

// Two sources with detail, so lossy and lossless, high and low effort differ.
struct TJob {
    TTempFolder Tmp;
    std::string In = Tmp.File("in");
    TJob() {
        fs::create_directory(In);
        for (auto [name, w, h] : {std::tuple{"a.bmp", 40, 30}, std::tuple{"b.bmp", 23, 11}}) {
            TBitmap b(w, h, pf24bit);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    b.SetPixel(x, y,
                               RGBColor(static_cast<uint8_t>(x * 6), static_cast<uint8_t>(y * 8),
                                        (x / 3 + y / 3) % 2 ? 220 : 30));
            b.SaveToFile(In + "/" + name);
        }
    }
};

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

bool Has(const std::vector<std::string>& args, const std::string& arg) {
    return std::find(args.begin(), args.end(), arg) != args.end();
}

} // namespace

TEST(ModernFormatsWindow, NineDestinationsFitAboveTheControlsBelowThem) {
    auto w = NewWindow();
    auto* rg = Child<TRadioGroup>(w.get(), "rgDestination");
    ASSERT_EQ(rg->Count(), 9);
    EXPECT_LE(rg->minimumSizeHint().height(), rg->height());
    EXPECT_LT(rg->geometry().bottom(), Child<QWidget>(w.get(), "chkKeepBoth")->geometry().top());
}

TEST(ModernFormatsWindow, DestinationSwitchSelectsTheNewButtons) {
    for (auto [name, index] :
         {std::pair{"webp", dfWebP}, std::pair{"AVIF", dfAVIF}, std::pair{"jxl", dfJXL}}) {
        auto w = NewWindow();
        w->ProcessCommandLine({std::string("/DSTFORMAT=") + name});
        EXPECT_EQ(Child<TRadioGroup>(w.get(), "rgDestination")->ItemIndex(), index) << name;
        EXPECT_EQ(w->GetDestinationExt(), DestinationExtension(index));
        EXPECT_TRUE(
            Has(w->EquivalentArguments(), "/DSTFORMAT=" + DestinationExtension(index).substr(1)));
    }
}

TEST(ModernFormatsWindow, OptionsPageShowsThePanelOfTheFormatWithTheQuality) {
    auto w = NewWindow();
    auto* rg = Child<TRadioGroup>(w.get(), "rgDestination");
    auto* quality = Child<QComboBox>(w.get(), "cbCompression");
    const char* const panels[] = {"gbWebP", "gbAVIF", "gbJXL"};
    for (int d : {dfWebP, dfAVIF, dfJXL, dfJPEG}) {
        rg->SetItemIndex(d);
        w->SetPageTo(4);
        for (int p = 0; p < 3; ++p)
            EXPECT_EQ(Child<QGroupBox>(w.get(), panels[p])->isVisibleTo(w.get()), d == dfWebP + p)
                << d << " " << panels[p];
        auto* host = d == dfJPEG ? Child<QGroupBox>(w.get(), "gbJPEG")
                                 : Child<QGroupBox>(w.get(), panels[d - dfWebP]);
        EXPECT_TRUE(host->isAncestorOf(quality)) << d;
        EXPECT_TRUE(quality->isVisibleTo(w.get())) << d;
        EXPECT_EQ(Child<QLabel>(w.get(), "lblCompression")->text(),
                  d == dfJPEG ? "Compression (%):" : "Quality (%):");
    }
}

TEST(ModernFormatsWindow, SwitchesSetLosslessAndEffortAndRefuseOutOfRange) {
    auto w = NewWindow();
    TConvertOptions o = w->ReadOptions();
    EXPECT_EQ((std::tuple{o.WebP.Lossless, o.WebP.Effort, o.AVIF.Effort, o.JXL.Effort}),
              (std::tuple{false, 4, 6, 7}));
    w->ProcessCommandLine(
        {"/lossless", "/WEBPEFFORT=6", "/AVIFSPEED=10", "/JXLEFFORT=1", "/QUALITY=70"});
    o = w->ReadOptions();
    EXPECT_TRUE(o.WebP.Lossless && o.AVIF.Lossless && o.JXL.Lossless);
    EXPECT_EQ(o.WebP.Effort, 6);
    EXPECT_EQ(o.AVIF.Effort, 10);
    EXPECT_EQ(o.JXL.Effort, 1);
    EXPECT_EQ(o.Quality, 70);
    EXPECT_EQ(w->ExitCode(), 0);
    for (const char* bad : {"/WEBPEFFORT=7", "/AVIFSPEED=-1", "/JXLEFFORT=0", "/JXLEFFORT=x"}) {
        auto v = NewWindow();
        testing::internal::CaptureStderr();
        v->ProcessCommandLine({bad, "/EXECUTE"});
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("expected a number"), std::string::npos) << bad << ": " << err;
        EXPECT_EQ(v->ExitCode(), 1) << bad;
        // The refused value leaves the default.
        EXPECT_EQ(v->ReadOptions().JXL.Effort, 7);
    }
}

TEST(ModernFormatsWindow, SettingsKeysAreWrittenOnlyWhenTheyDifferFromTheDefault) {
    TTempFolder tmp;
    const std::string plain = tmp.File("plain.ini"), changed = tmp.File("changed.ini");
    NewWindow()->SaveSettingsTo(plain);
    TIniFile p(plain);
    for (const char* section : {"WebP", "AVIF", "JXL"})
        EXPECT_FALSE(p.SectionExists(section)) << section;

    auto w = NewWindow();
    w->ProcessCommandLine({"/WEBPEFFORT=2", "/AVIFSPEED=8", "/JXLEFFORT=3"});
    Child<QCheckBox>(w.get(), "chkAVIFLossless")->setChecked(true);
    w->SaveSettingsTo(changed);
    TIniFile c(changed);
    EXPECT_EQ(c.ReadInteger("WebP", "Effort", -1), 2);
    EXPECT_FALSE(c.ValueExists("WebP", "Lossless"));
    EXPECT_TRUE(c.ReadBool("AVIF", "Lossless", false));
    EXPECT_EQ(c.ReadInteger("AVIF", "Speed", -1), 8);
    EXPECT_EQ(c.ReadInteger("JXL", "Effort", -1), 3);

    // Read back: the same options; then a return to the defaults removes the keys.
    auto v = NewWindow();
    v->ProcessCommandLine({"/SETTINGS=" + changed});
    const TConvertOptions o = v->ReadOptions(), want = w->ReadOptions();
    EXPECT_EQ((std::tuple{o.WebP.Lossless, o.WebP.Effort, o.AVIF.Lossless, o.AVIF.Effort,
                          o.JXL.Lossless, o.JXL.Effort}),
              (std::tuple{want.WebP.Lossless, want.WebP.Effort, want.AVIF.Lossless,
                          want.AVIF.Effort, want.JXL.Lossless, want.JXL.Effort}));
    v->ProcessCommandLine({"/WEBPEFFORT=4", "/AVIFSPEED=6", "/JXLEFFORT=7"});
    Child<QCheckBox>(v.get(), "chkAVIFLossless")->setChecked(false);
    v->SaveSettingsTo(changed);
    TIniFile again(changed);
    for (const char* section : {"WebP", "AVIF", "JXL"})
        EXPECT_FALSE(again.SectionExists(section)) << section;

    // A stray value leaves the list without a selection: the encoder's own default is used.
    {
        TIniFile stray(plain);
        stray.WriteInteger("JXL", "Effort", 42);
    }
    auto s = NewWindow();
    s->ProcessCommandLine({"/SETTINGS=" + plain});
    EXPECT_EQ(s->ReadOptions().JXL.Effort, -1);
}

TEST(ModernFormatsWindow, SourceListOffersTheNewExtensions) {
    auto w = NewWindow();
    auto* list = Child<QTreeWidget>(w.get(), "lvImageFormats");
    std::vector<std::string> exts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        exts.push_back(list->topLevelItem(i)->text(1).toStdString());
    for (const char* ext : {".webp", ".heic", ".heif", ".hif", ".avif", ".jxl"})
        EXPECT_TRUE(Has(exts, ext)) << ext;
    w->ProcessCommandLine({"/SRCFORMAT=*.webp;*.avif"});
    EXPECT_TRUE(w->AcceptFile("x.webp"));
    EXPECT_TRUE(w->AcceptFile("x.AVIF"));
    EXPECT_FALSE(w->AcceptFile("x.jxl"));
    EXPECT_FALSE(w->AcceptFile("x.heic"));
    EXPECT_TRUE(Has(w->EquivalentArguments(), "/SRCFORMAT=*.webp;*.avif"));
}

TEST(ModernFormatsWindow, PresetAndEquivalentCommandLineGiveTheSameFiles) {
    TPrivateSettings settings;
    for (auto [format, extra] :
         {std::pair{"webp", "/WEBPEFFORT=6"}, std::pair{"jxl", "/JXLEFFORT=3"},
          std::pair{"avif", "/AVIFSPEED=9"}}) {
        SCOPED_TRACE(format);
        TJob job;
        const std::string preset = job.Tmp.File("job.ini");
        const std::string out1 = job.Tmp.File("out1"), out2 = job.Tmp.File("out2"),
                          out3 = job.Tmp.File("out3");
        auto w = NewWindow();
        w->ProcessCommandLine({"/SRC=" + job.In, "/DST=" + out1,
                               std::string("/DSTFORMAT=") + format, "/QUALITY=60", extra});
        if (std::string(format) == "webp") w->ProcessCommandLine({"/LOSSLESS"});
        w->SaveSettingsTo(preset);
        ASSERT_EQ(RunInWindow(*w).size(), 2u);
        std::vector<std::string> args = w->EquivalentArguments();
        EXPECT_TRUE(Has(args, extra));
        EXPECT_TRUE(Has(args, "/QUALITY=60"));
        EXPECT_EQ(Has(args, "/LOSSLESS"), std::string(format) == "webp");

        auto v = NewWindow();
        v->ProcessCommandLine({"/SETTINGS=" + preset, "/DST=" + out2});
        ASSERT_EQ(RunInWindow(*v).size(), 2u);
        // The equivalent command line, run in a fresh window.
        auto u = NewWindow();
        args.pop_back(); // /EXECUTE
        args.push_back("/DST=" + out3);
        u->ProcessCommandLine(args);
        ASSERT_EQ(RunInWindow(*u).size(), 2u);
        for (const char* name : {"a", "b"}) {
            const std::string file = std::string("/") + name + "." + format;
            EXPECT_TRUE(SameBytes(out1 + file, out2 + file)) << file;
            EXPECT_TRUE(SameBytes(out1 + file, out3 + file)) << file;
        }
    }
}

TEST(ModernFormatsWindow, HelpNamesTheNewSwitches) {
    const std::string help = TfrmMain::CommandLineHelp();
    for (const char* s :
         {"webp, avif or jxl", "/LOSSLESS", "/WEBPEFFORT=", "/AVIFSPEED=", "/JXLEFFORT="})
        EXPECT_NE(help.find(s), std::string::npos) << s;
}
