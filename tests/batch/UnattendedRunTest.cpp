// SPDX-License-Identifier: GPL-3.0-or-later
// The unattended run as a function of the batch core: this test program links
// no windowing toolkit at all, so the run it exercises cannot make a widget.
#include "TestSupport.h"

#include "batch/UnattendedRun.h"
#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class UnattendedRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    void SetUp() override {
        fs::create_directories(In());
        for (const char* name : {"a.bmp", "b.bmp"}) {
            TBitmap b(12, 8, pf24bit);
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 12; ++x)
                    b.SetPixel(x, y, RGBColor(200, 40, 10 * x));
            b.SaveToFile(In() + "/" + name);
        }
        WriteFileBytes(In() + "/c.bmp", {'B', 'M', 1, 2, 3});
    }
    std::string In() const { return FTmp.File("in"); }
    std::string Out() const { return FTmp.File("out"); }

    int Run(const std::vector<std::string>& args) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = RunUnattended(args);
        Stdout = ::testing::internal::GetCapturedStdout();
        Stderr = ::testing::internal::GetCapturedStderr();
        return status;
    }

    TTempFolder FTmp;
    std::string Stdout, Stderr;
};

} // namespace

TEST_F(UnattendedRunTest, ConvertsReportsFailuresAndSetsTheStatus) {
    EXPECT_EQ(Run({"/SRC=" + In(), "/DST=" + Out(), "/DSTFORMAT=png", "/LOGFILE=" + FTmp.File("l"),
                   "/EXECUTE"}),
              1);
    EXPECT_TRUE(fs::exists(Out() + "/a.png"));
    EXPECT_TRUE(fs::exists(Out() + "/b.png"));
    EXPECT_FALSE(fs::exists(Out() + "/c.png"));
    // One line for the damaged file, nothing else.
    EXPECT_EQ(Stderr.rfind(In() + "/c.bmp: ", 0), 0u) << Stderr;
    EXPECT_EQ(std::count(Stderr.begin(), Stderr.end(), '\n'), 1);
    EXPECT_TRUE(Stdout.empty());
    const std::vector<uint8_t> log = ReadFileBytes(FTmp.File("l"));
    const std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("a.bmp Finished"), std::string::npos);
    EXPECT_EQ(text.find("c.bmp Finished"), std::string::npos);

    // Without the damaged file everything succeeds; existing files are skipped when asked.
    fs::remove(In() + "/c.bmp");
    EXPECT_EQ(Run({"/SRC=" + In(), "/DST=" + Out(), "/DSTFORMAT=png", "/NOOVERRIDE", "/THREADS=2",
                   "/EXECUTE"}),
              0);
    EXPECT_TRUE(Stderr.empty()) << Stderr;
}

TEST_F(UnattendedRunTest, ABadSwitchRunsNothing) {
    EXPECT_EQ(Run({"/SRC=" + In(), "/DST=" + Out(), "/QUALITY=0", "/EXECUTE"}), 1);
    EXPECT_FALSE(fs::exists(Out()));
    EXPECT_NE(Stderr.find("/QUALITY=0"), std::string::npos);
    // An unknown switch is named and ignored.
    EXPECT_EQ(Run({"/SRC=" + In(), "/DST=" + Out(), "/MASK=a.*", "/SUBDIRS", "/EXECUTE"}), 0);
    EXPECT_NE(Stderr.find("unknown switch /SUBDIRS ignored"), std::string::npos);
    EXPECT_TRUE(fs::exists(Out() + "/a.bmp"));
    EXPECT_FALSE(fs::exists(Out() + "/b.bmp"));
}

TEST_F(UnattendedRunTest, ListPrintsTheRowsAndWritesNothing) {
    EXPECT_EQ(
        Run({"/SRC=" + In(), "/DST=" + Out(), "/DSTFORMAT=gif", "/NAME={n}", "/LIST", "/EXECUTE"}),
        0);
    EXPECT_EQ(Stdout, In() + "/a.bmp -> " + Out() + "/1.gif\n" + In() + "/b.bmp -> " + Out() +
                          "/2.gif\n" + In() + "/c.bmp -> " + Out() + "/3.gif\n");
    EXPECT_FALSE(fs::exists(Out()));
    // A folder that cannot be read is no empty folder.
    EXPECT_EQ(Run({"/SRC=" + FTmp.File("missing"), "/DST=" + Out(), "/EXECUTE"}), 1);
    EXPECT_NE(Stderr.find("Cannot read the folder"), std::string::npos);
}
