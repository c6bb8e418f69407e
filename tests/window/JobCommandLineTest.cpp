// SPDX-License-Identifier: GPL-3.0-or-later
// The Log page's command line reproduces the window's job: the program run
// with it writes the same files, byte for byte, without making any Qt object.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "window/WindowUtils.h"
#include "window/frmMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/wait.h>

#ifndef TREVASCO_BINARY
#error "TREVASCO_BINARY names the built program"
#endif

namespace fs = std::filesystem;

namespace {

std::unique_ptr<TfrmMain> NewJobWindow() {
    EnsureApplication();
    static bool registered = false;
    if (!registered) RegisterImageFormats();
    registered = true;
    return std::make_unique<TfrmMain>();
}

void WriteSource(const std::string& path, int width, int height) {
    TBitmap b(width, height, pf24bit);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            b.SetPixel(x, y,
                       RGBColor(x * 255 / width, y * 255 / height, (x / 3 + y / 3) % 2 * 200));
    b.SaveToFile(path);
}

// Every file below a folder by its path relative to it, with its bytes.
std::map<std::string, std::vector<uint8_t>> Files(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = ReadFileBytes(entry.path());
    return files;
}

} // namespace

TEST(JobCommandLine, RunningItGivesTheWindowsFilesByteForByte) {
    const std::vector<std::vector<std::string>> jobs = {
        {"/DSTFORMAT=jpg", "/RESIZE=50%", "/METADATA=strip", "/WATERMARK=Hi",
         "/WATERMARKPOS=center", "/WATERMARKANGLE=30"},
        {"/DSTFORMAT=gif", "/COLORREDUCTION=web216", "/RESIZE=fit:20x20", "/SUBDIR",
         "/KEEPFOLDERS"},
        {"/DSTFORMAT=png", "/NAME={n}_{w}x{h}", "/RESAMPLE=nearest", "/RESIZE=x10"},
        {"/DSTFORMAT=bmp", "/PIXELFORMAT=pf8bit", "/RESIZE=33x21", "/THREADS=2"},
    };
    for (const std::vector<std::string>& switches : jobs) {
        SCOPED_TRACE(switches.front());
        TTempFolder tmp;
        const std::string in = tmp.File("in");
        fs::create_directories(in + "/sub");
        WriteSource(in + "/a.bmp", 40, 30);
        WriteSource(in + "/b.bmp", 17, 9);
        WriteSource(in + "/sub/c.bmp", 23, 31);
        std::ofstream(in + "/notes.txt") << "not an image";

        auto w = NewJobWindow();
        std::vector<std::string> args = switches;
        args.push_back("/SRC=" + in);
        args.push_back("/DST=" + tmp.File("window"));
        w->ProcessCommandLine(args);
        ASSERT_EQ(w->ExitCode(), 0);
        // What only the window offers: a quality typed into the box (300 keeps its low bits).
        Child<QComboBox>(w.get(), "cbCompression")->setCurrentText(QStringLiteral("300"));
        w->SetPage(5);
        w->SetPage(6);
        {
            TMessageBoxWatcher boxes;
            w->RunBatch();
        }
        const auto windowFiles = Files(tmp.File("window"));
        ASSERT_GE(windowFiles.size(), 2u);

        SetEditBytes(Child<QLineEdit>(w.get(), "edDestinationName"), tmp.File("line"));
        const std::vector<std::string> line = w->EquivalentArguments();
        const TProgramResult r = RunProgramWith("", line, tmp.File("err"));
        EXPECT_EQ(r.Status, 0) << r.Stderr;
        EXPECT_TRUE(Files(tmp.File("line")) == windowFiles);
        // The line says nothing is left out.
        EXPECT_EQ(w->CommandLineNote(), "");
    }
}

TEST(JobCommandLine, TheNoteNamesUntickedFiles) {
    TTempFolder tmp;
    fs::create_directory(tmp.File("in"));
    WriteSource(tmp.File("in/a.bmp"), 4, 4);
    WriteSource(tmp.File("in/b.bmp"), 4, 4);
    auto w = NewJobWindow();
    w->ProcessCommandLine({"/SRC=" + tmp.File("in"), "/DST=" + tmp.File("out")});
    w->SetPage(5);
    auto* files = Child<QTreeWidget>(w.get(), "lvFileName");
    ASSERT_EQ(files->topLevelItemCount(), 2);
    files->topLevelItem(1)->setCheckState(flcName, Qt::Unchecked);
    w->SetPage(6);
    const std::string note = w->CommandLineNote();
    EXPECT_NE(note.find("1 unticked file"), std::string::npos) << note;
    auto* label = Child<QLabel>(w.get(), "lblCommandLineNote");
    EXPECT_EQ(label->text().toStdString(), note);
    EXPECT_FALSE(label->isHidden());
}

TEST(JobCommandLine, TheUnattendedRunMakesNoQtObject) {
    // Qt reports loading its platform plugin when asked to; a run that made an
    // application object (which every widget needs) would say so on stderr.
    TTempFolder tmp;
    fs::create_directory(tmp.File("in"));
    WriteSource(tmp.File("in/a.bmp"), 8, 8);
    const TProgramResult r = RunProgramWith(
        "TREVASCO_DEBUG=1 QT_DEBUG_PLUGINS=1 QT_LOGGING_RULES='*.debug=true' "
        "XDG_CONFIG_HOME='" +
            tmp.File("config") + "'",
        {"/SRC=" + tmp.File("in"), "/DST=" + tmp.File("out"), "/EXECUTE"}, tmp.File("err"));
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Stderr, "");
    EXPECT_TRUE(fs::exists(tmp.File("out/a.bmp")));
}
