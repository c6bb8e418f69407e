// SPDX-License-Identifier: GPL-3.0-or-later
// The picture options of the image window: resampling, camera orientation,
// background colour, shrink-only and fit-inside sizes, through switches,
// settings, presets and the Log page's command line.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Picture.h"
#include "util/IniFile.h"
#include "window/frmMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTreeWidget>

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

const char* const NewKeys[] = {"AutoRotate", "Resample", "Background", "ShrinkOnly"};

} // namespace

TEST(PictureOptions, DefaultsAndControls) {
    auto w = NewWindow();
    const TConvertOptions o = w->ReadOptions();
    EXPECT_TRUE(o.AutoRotate);
    EXPECT_EQ(o.Resample, rmSmooth);
    EXPECT_EQ(o.Background, 0xFFFFFFu);
    EXPECT_FALSE(o.ShrinkOnly);
    EXPECT_EQ(Child<QComboBox>(w.get(), "cbStretchMode")->count(), 3);
    EXPECT_EQ(Child<QComboBox>(w.get(), "cbResample")->itemText(1),
              QStringLiteral("nearest pixel (pixel art)"));
    EXPECT_EQ(Child<QCheckBox>(w.get(), "chkAutoRotate")->text(),
              QStringLiteral("Turn pictures upright (camera orientation)"));
    EXPECT_EQ(Child<QPushButton>(w.get(), "btnBackground")->text(), QStringLiteral("#FFFFFF"));
    // The shrink-only box belongs to the resize panel and follows its rule.
    Child<QCheckBox>(w.get(), "chkResize")->setChecked(false);
    EXPECT_FALSE(Child<QCheckBox>(w.get(), "chkShrinkOnly")->isEnabled());
}

TEST(PictureOptions, SwitchesSetTheOptions) {
    auto w = NewWindow();
    w->ProcessCommandLine(
        {"/NOAUTOROTATE", "/RESAMPLE=Nearest", "/BACKGROUND=#20a0Ff", "/RESIZE=fit:800x600>"});
    TConvertOptions o = w->ReadOptions();
    EXPECT_FALSE(o.AutoRotate);
    EXPECT_EQ(o.Resample, rmNearest);
    EXPECT_EQ(o.Background, 0x20A0FFu);
    EXPECT_TRUE(o.Resize);
    EXPECT_EQ(o.StretchMode, smFitInside);
    EXPECT_EQ(o.Width, 800);
    EXPECT_EQ(o.Height, 600);
    EXPECT_TRUE(o.ShrinkOnly);
    w->ProcessCommandLine({"/AUTOROTATE", "/RESAMPLE=smooth", "/RESIZE=800x600"});
    o = w->ReadOptions();
    EXPECT_TRUE(o.AutoRotate);
    EXPECT_EQ(o.Resample, rmSmooth);
    EXPECT_EQ(o.StretchMode, smPixels); // both sides: still that exact size
    EXPECT_FALSE(o.ShrinkOnly);
    w->ProcessCommandLine({"/RESIZE=50%>"});
    EXPECT_TRUE(w->ReadOptions().ShrinkOnly);
    EXPECT_EQ(w->ReadOptions().StretchMode, smPercent);

    for (const char* bad :
         {"/BACKGROUND=red", "/BACKGROUND=#12345", "/BACKGROUND=#1234567", "/RESAMPLE=cubic",
          "/RESIZE=fit:800x", "/RESIZE=fit:50%", "/RESIZE=>"}) {
        auto v = NewWindow();
        testing::internal::CaptureStderr();
        v->ProcessCommandLine({bad, "/EXECUTE"});
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(v->ExitCode(), 1) << bad;
        EXPECT_EQ(v->ReadOptions().Background, 0xFFFFFFu) << bad;
        EXPECT_EQ(v->ReadOptions().Resample, rmSmooth) << bad;
    }
}

TEST(PictureOptions, KeysAreWrittenOnlyOnceTheyDifferFromTheDefault) {
    TPrivateSettings settings;
    {
        auto w = NewWindow();
        w->SaveSettings();
    }
    {
        TIniFile ini(settings.SettingsFile());
        for (const char* key : NewKeys)
            EXPECT_FALSE(ini.ValueExists("Image", key)) << key;
    }
    {
        auto w = NewWindow();
        w->ProcessCommandLine(
            {"/NOAUTOROTATE", "/RESAMPLE=nearest", "/BACKGROUND=#000080", "/RESIZE=fit:64x48>"});
        w->SaveSettings();
    }
    TIniFile ini(settings.SettingsFile());
    EXPECT_EQ(ini.ReadString("Image", "AutoRotate", ""), "0");
    EXPECT_EQ(ini.ReadString("Image", "Resample", ""), "nearest");
    EXPECT_EQ(ini.ReadString("Image", "Background", ""), "#000080");
    EXPECT_EQ(ini.ReadString("Image", "ShrinkOnly", ""), "1");
    EXPECT_EQ(ini.ReadInteger("Image", "StretchMode", -1), smFitInside);
    auto w = NewWindow();
    w->LoadSettings();
    const TConvertOptions o = w->ReadOptions();
    EXPECT_FALSE(o.AutoRotate);
    EXPECT_EQ(o.Resample, rmNearest);
    EXPECT_EQ(o.Background, 0x000080u);
    EXPECT_TRUE(o.ShrinkOnly);
    EXPECT_EQ(o.StretchMode, smFitInside);
    // Back to the defaults: a key the file has already is kept in step.
    w->ProcessCommandLine({"/AUTOROTATE", "/RESAMPLE=smooth", "/BACKGROUND=#FFFFFF"});
    w->SaveSettings();
    TIniFile again(settings.SettingsFile());
    EXPECT_EQ(again.ReadString("Image", "Resample", ""), "smooth");
    EXPECT_EQ(again.ReadString("Image", "Background", ""), "#FFFFFF");
}

TEST(PictureOptions, CommandLineAndPresetRecreateTheJob) {
    TTempFolder tmp;
    const std::string in = tmp.File("in");
    fs::create_directory(in);
    // A 60 x 40 picture: fit inside 30 x 30 gives 30 x 20; nearest keeps its stripes.
    TBitmap b(60, 40, pf24bit);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x)
            std::fill_n(b.ScanLine(y) + 3 * x, 3, static_cast<uint8_t>(x % 2 ? 255 : 0));
    b.SaveToFile(in + "/a.bmp");
    const std::string out1 = tmp.File("out1"), out2 = tmp.File("out2"), out3 = tmp.File("out3");
    auto w = NewWindow();
    w->ProcessCommandLine({"/SRC=" + in, "/DST=" + out1, "/DSTFORMAT=bmp", "/RESIZE=fit:30x30>",
                           "/RESAMPLE=nearest", "/NOAUTOROTATE", "/BACKGROUND=#102030"});
    std::vector<std::string> args = w->EquivalentArguments();
    for (const char* want :
         {"/RESIZE=fit:30x30>", "/RESAMPLE=nearest", "/NOAUTOROTATE", "/BACKGROUND=#102030"})
        EXPECT_NE(std::find(args.begin(), args.end(), want), args.end()) << want;
    const std::string preset = tmp.File("job.ini");
    w->SaveSettingsTo(preset);
    w->SetPage(5);
    w->SetPage(6);
    {
        TMessageBoxWatcher boxes;
        w->RunBatch();
    }
    TBitmap result;
    result.LoadFromFile(out1 + "/a.bmp");
    EXPECT_EQ(result.Width(), 30);
    EXPECT_EQ(result.Height(), 20);

    // The Log page's arguments and the preset give the same options and files.
    args.pop_back(); // /EXECUTE
    for (const std::string& kind : {std::string("args"), std::string("preset")}) {
        auto v = NewWindow();
        if (kind == "args")
            v->ProcessCommandLine(args);
        else
            v->ProcessCommandLine({"/SETTINGS=" + preset});
        v->ProcessCommandLine({"/DST=" + (kind == "args" ? out2 : out3)});
        const TConvertOptions a = w->ReadOptions(), c = v->ReadOptions();
        EXPECT_EQ(c.StretchMode, a.StretchMode) << kind;
        EXPECT_EQ(c.ShrinkOnly, a.ShrinkOnly) << kind;
        EXPECT_EQ(c.Resample, a.Resample) << kind;
        EXPECT_EQ(c.AutoRotate, a.AutoRotate) << kind;
        EXPECT_EQ(c.Background, a.Background) << kind;
        v->SetPage(5);
        v->SetPage(6);
        TMessageBoxWatcher boxes;
        v->RunBatch();
        EXPECT_EQ(ReadFileBytes(out1 + "/a.bmp"),
                  ReadFileBytes((kind == "args" ? out2 : out3) + "/a.bmp"))
            << kind;
    }
}

TEST(PictureOptions, HelpListsTheNewSwitches) {
    const std::string help = TfrmMain::CommandLineHelp();
    for (const char* s :
         {"/RESAMPLE=", "/AUTOROTATE", "/NOAUTOROTATE", "/BACKGROUND=", "fit:", "800x600>"})
        EXPECT_NE(help.find(s), std::string::npos) << s;
}
