// SPDX-License-Identifier: GPL-3.0-or-later
// Where the unattended run puts files, and the cases where it must refuse to:
// collisions inside a run, sources that a destination would destroy, unknown
// formats and switches, dry runs and shards.
#include "WindowTestSupport.h"

#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#ifndef TREVASCO_BINARY
#error "TREVASCO_BINARY names the built program"
#endif

namespace fs = std::filesystem;

namespace {

void WriteBmp(const std::string& path, int width, int height, uint8_t shade) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < 3 * width; ++x)
            row[x] = static_cast<uint8_t>(shade + x + y);
    }
    b.SaveToFile(path);
}

std::vector<std::string> FilesBelow(const std::string& folder) {
    std::vector<std::string> files;
    if (!fs::exists(folder)) return files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) files.push_back(fs::relative(e.path(), folder).string());
    std::sort(files.begin(), files.end());
    return files;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class WhereFilesGo : public ::testing::Test {
protected:
    TProgramResult Run(std::vector<std::string> args) {
        return RunProgram(Tmp.File("config"), args, Tmp.File("err.txt"));
    }
    // The camera card: the same name in three folders.
    void MakeCameraCard() {
        for (const char* sub : {"100CANON", "101CANON", "102CANON"}) {
            fs::create_directories(In + "/DCIM/" + sub);
            WriteBmp(In + "/DCIM/" + sub + "/IMG_0001.bmp", 8, 6,
                     static_cast<uint8_t>(sub[2] * 40));
        }
    }
    TTempFolder Tmp;
    const std::string In = Tmp.File("in");
    const std::string Out = Tmp.File("out");
};

} // namespace

TEST_F(WhereFilesGo, SameNameInThreeFoldersNeverOverwritesSilently) {
    MakeCameraCard();
    TProgramResult r = Run({"/SRC=" + In, "/SUBDIR", "/DST=" + Out, "/DSTFORMAT=png", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(FilesBelow(Out), std::vector<std::string>{"IMG_0001.png"});
    // Two failure lines, each naming the first source, whose picture was written.
    const std::string first = In + "/DCIM/100CANON/IMG_0001.bmp";
    EXPECT_EQ(Count(r.Stderr, "\n"), 2u) << r.Stderr;
    EXPECT_EQ(Count(r.Stderr, first), 2u) << r.Stderr;
}

TEST_F(WhereFilesGo, KeepFoldersMirrorsTheTreeAndRenameKeepsAll) {
    MakeCameraCard();
    TProgramResult r =
        Run({"/SRC=" + In, "/SUBDIR", "/KEEPFOLDERS", "/DST=" + Out, "/DSTFORMAT=png", "/EXECUTE"});
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(FilesBelow(Out),
              (std::vector<std::string>{"DCIM/100CANON/IMG_0001.png", "DCIM/101CANON/IMG_0001.png",
                                        "DCIM/102CANON/IMG_0001.png"}));

    fs::remove_all(Out);
    r = Run({"/SRC=" + In, "/SUBDIR", "/RENAME", "/DST=" + Out, "/DSTFORMAT=png", "/EXECUTE"});
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(FilesBelow(Out),
              (std::vector<std::string>{"IMG_0001 (2).png", "IMG_0001 (3).png", "IMG_0001.png"}));
}

TEST_F(WhereFilesGo, TwoFormatsOfOnePictureInOneFolder) {
    fs::create_directories(In);
    WriteBmp(In + "/pic.bmp", 4, 4, 10);
    fs::copy_file(fs::path("samples/gif-scene.gif"), In + "/pic.gif");
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/DSTFORMAT=png", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(FilesBelow(Out), std::vector<std::string>{"pic.png"});
    EXPECT_EQ(r.Stderr.rfind(In + "/pic.gif: ", 0), 0u) << r.Stderr;
}

TEST_F(WhereFilesGo, DestinationInTheSourceFolderNeverDestroysASource) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 4, 4, 10);
    fs::copy_file(fs::path("samples/png-scene.png"), In + "/a.png");
    const auto before = ReadFileBytes(In + "/a.png");
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + In, "/DSTFORMAT=png", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(ReadFileBytes(In + "/a.png"), before);
    EXPECT_NE(r.Stderr.find(In + "/a.bmp: "), std::string::npos) << r.Stderr;
    EXPECT_NE(r.Stderr.find("source file " + In + "/a.png"), std::string::npos) << r.Stderr;
}

TEST_F(WhereFilesGo, DestinationFormatsByNameAliasOrDot) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 4, 4, 10);
    for (const char* value : {"JPEG", "jpeg", ".png", "Jfif"}) {
        fs::remove_all(Out);
        TProgramResult r =
            Run({"/SRC=" + In, "/DST=" + Out, std::string("/DSTFORMAT=") + value, "/EXECUTE"});
        EXPECT_EQ(r.Status, 0) << value << ": " << r.Stderr;
        EXPECT_EQ(FilesBelow(Out).size(), 1u) << value;
    }
    for (const char* value : {"tga", "tif", ""}) {
        fs::remove_all(Out);
        TProgramResult r =
            Run({"/SRC=" + In, "/DST=" + Out, std::string("/DSTFORMAT=") + value, "/EXECUTE"});
        EXPECT_EQ(r.Status, 1) << value;
        EXPECT_NE(r.Stderr.find("/DSTFORMAT=" + std::string(value) + ": expected bmp, jpg"),
                  std::string::npos)
            << r.Stderr;
        EXPECT_FALSE(fs::exists(Out)) << value;
    }
}

TEST_F(WhereFilesGo, DryRunListsEveryRowAndWritesNothing) {
    MakeCameraCard();
    TProgramResult r = Run({"/SRC=" + In, "/SUBDIR", "/DST=" + Out, "/DSTFORMAT=png",
                            "/LOGFILE=" + Tmp.File("x.log"), "/LIST", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1); // two collisions, as the run would report
    EXPECT_FALSE(fs::exists(Out));
    EXPECT_FALSE(fs::exists(Tmp.File("x.log")));
    EXPECT_NE(r.Stdout.find(In + "/DCIM/100CANON/IMG_0001.bmp -> " + Out + "/IMG_0001.png\n"),
              std::string::npos)
        << r.Stdout;
    EXPECT_EQ(Count(r.Stdout, ": error "), 2u) << r.Stdout;

    r = Run({"/SRC=" + In, "/SUBDIR", "/KEEPFOLDERS", "/DST=" + Out, "/LIST", "/EXECUTE"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(Count(r.Stdout, " -> "), 3u) << r.Stdout;
    EXPECT_FALSE(fs::exists(Out));
}

TEST_F(WhereFilesGo, ShardsConvertEveryFileExactlyOnce) {
    fs::create_directories(In + "/sub");
    for (int i = 0; i < 12; ++i)
        WriteBmp(In + (i % 2 ? "/sub/" : "/") + "f" + std::to_string(i) + ".bmp", 3, 3,
                 static_cast<uint8_t>(i));
    std::map<std::string, int> seen;
    for (int k = 1; k <= 3; ++k) {
        const std::string out = Out + std::to_string(k);
        TProgramResult r = Run({"/SRC=" + In, "/SUBDIR", "/KEEPFOLDERS", "/DST=" + out,
                                "/SHARD=" + std::to_string(k) + "/3", "/EXECUTE"});
        EXPECT_EQ(r.Status, 0) << r.Stderr;
        for (const std::string& f : FilesBelow(out))
            ++seen[f];
    }
    EXPECT_EQ(seen.size(), 12u);
    for (const auto& [file, times] : seen)
        EXPECT_EQ(times, 1) << file;

    for (const char* bad : {"0/3", "4/3", "1/0", "x", "1/"}) {
        TProgramResult r =
            Run({"/SRC=" + In, "/DST=" + Out, std::string("/SHARD=") + bad, "/EXECUTE"});
        EXPECT_EQ(r.Status, 1) << bad;
    }
}

TEST_F(WhereFilesGo, NamePatternFields) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 40, 20, 1);
    WriteBmp(In + "/b.bmp", 40, 20, 2);
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/DSTFORMAT=png", "/RESIZE=50%",
                            "/NAME={n}-{name}-{ext}-{w}x{h}", "/EXECUTE"});
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(FilesBelow(Out),
              (std::vector<std::string>{"1-a-bmp-20x10.png", "2-b-bmp-20x10.png"}));

    fs::remove_all(Out);
    r = Run({"/SRC=" + In, "/DST=" + Out, "/NAME=x/{name}", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_FALSE(fs::exists(Out));
}

TEST_F(WhereFilesGo, SourceFormatsAndMasksAsPeopleTypeThem) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 4, 4, 1);
    fs::copy_file(fs::path("samples/png-scene.png"), In + "/b.png");
    fs::copy_file(fs::path("samples/gif-scene.gif"), In + "/c.gif");
    const std::map<std::string, std::vector<std::string>> cases = {
        {"/SRCFORMAT=bmp", {"a.jpg"}},
        {"/SRCFORMAT=BMP,png", {"a.jpg", "b.jpg"}},
        {"/SRCFORMAT=*.png;*.gif", {"b.jpg", "c.jpg"}},
        {"/MASK=*.bmp;*.gif", {"a.jpg", "c.jpg"}},
    };
    for (const auto& [arg, expected] : cases) {
        fs::remove_all(Out);
        TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/DSTFORMAT=jpg", arg, "/EXECUTE"});
        EXPECT_EQ(r.Status, 0) << arg << r.Stderr;
        EXPECT_EQ(FilesBelow(Out), expected) << arg;
    }
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/SRCFORMAT=jpg;xyz", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Stderr.find("no reader for xyz"), std::string::npos) << r.Stderr;
}

TEST_F(WhereFilesGo, UnknownSwitchesAreNamedAndIgnored) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 4, 4, 1);
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/NOOVERIDE", "notaswitch", "/EXECUTE"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Stderr, "trevasco: unknown switch /NOOVERIDE ignored\n");
}

TEST_F(WhereFilesGo, NoDisplayWithoutExecuteSaysSo) {
    TProgramResult r = Run({"/SRC=" + In, "/EXEC"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Stderr.find("trevasco: no display; add /EXECUTE to run without a window"),
              std::string::npos)
        << r.Stderr;
}

TEST_F(WhereFilesGo, NamesWithControlCharactersCannotForgeLines) {
    fs::create_directories(In);
    const std::string forged = "x.png: forged\nreal";
    std::ofstream(In + "/" + forged + ".png", std::ios::binary) << "not a picture";
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(Count(r.Stderr, "\n"), 1u) << r.Stderr;
    EXPECT_NE(r.Stderr.find("forged\\nreal.png: "), std::string::npos) << r.Stderr;
}

TEST_F(WhereFilesGo, LongNamesStillFitTheTemporaryFile) {
    fs::create_directories(In);
    const std::string name(250, 'n');
    WriteBmp(In + "/" + name + ".bmp", 4, 4, 1);
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Out, "/DSTFORMAT=png", "/EXECUTE"});
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(FilesBelow(Out), std::vector<std::string>{name + ".png"});
}

TEST_F(WhereFilesGo, AFolderThatCannotBeMadeNamesTheReason) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
    fs::create_directories(In);
    fs::create_directories(Tmp.File("locked"));
    WriteBmp(In + "/a.bmp", 4, 4, 1);
    fs::permissions(Tmp.File("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    TProgramResult r = Run({"/SRC=" + In, "/DST=" + Tmp.File("locked/out"), "/EXECUTE"});
    fs::permissions(Tmp.File("locked"), fs::perms::owner_all);
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Stderr.find("Permission denied"), std::string::npos) << r.Stderr;
}

TEST_F(WhereFilesGo, NoOverrideWritesOneOfThreeSourcesOfTheSameName) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 4, 4, 10);
    fs::copy_file(fs::path("samples/gif-scene.gif"), In + "/a.gif");
    fs::copy_file(fs::path("samples/png-scene.png"), In + "/a.png");
    TProgramResult r =
        Run({"/SRC=" + In, "/DST=" + Out, "/DSTFORMAT=bmp", "/NOOVERRIDE", "/EXECUTE"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(FilesBelow(Out), std::vector<std::string>{"a.bmp"});
    // The first source's picture, not the last one's: a 4 x 4 bitmap.
    TBitmap written;
    written.LoadFromFile(Out + "/a.bmp");
    EXPECT_EQ(written.Width(), 4);
    // Run again: the destination exists now, so every row is skipped and nothing fails.
    r = Run({"/SRC=" + In, "/SRCFORMAT=bmp", "/DST=" + Out, "/DSTFORMAT=bmp", "/NOOVERRIDE",
             "/EXECUTE"});
    EXPECT_EQ(r.Status, 0) << r.Stderr;
}

TEST_F(WhereFilesGo, WithoutFoldersTheCurrentFolderIsUsed) {
    fs::create_directories(In);
    WriteBmp(In + "/a.bmp", 4, 4, 10);
    const std::string cmd =
        "cd '" + In + "' && env -u DISPLAY XDG_CONFIG_HOME='" + Tmp.File("config") +
        "' '" TREVASCO_BINARY "' /DSTFORMAT=png /EXECUTE 2>'" + Tmp.File("err.txt") + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_TRUE(fs::exists(In + "/a.png"));
}
