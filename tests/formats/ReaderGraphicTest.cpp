// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ReaderGraphic.h"
#include "base/Exceptions.h"
#include "formats/PCXGraphic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <unistd.h>

namespace {
struct TReport {
    TProgressStage Stage;
    int Percent;
    std::string Message;
};

class TProgressProbe : public TReaderGraphic {
public:
    std::vector<TReport> Reports;
    TProgressProbe() {
        OnProgress = [this](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect&,
                            const std::string& msg) {
            Reports.push_back({stage, percent, msg});
        };
    }
};

// A minimal 2x1 8-bit PCX, stored plain, whose pixels are 7 and 9.
std::vector<uint8_t> TinyPCX() {
    std::vector<uint8_t> f(128, 0);
    f[0] = 10;
    f[1] = 5;
    f[3] = 8;
    f[8] = 1; // x max
    f[65] = 1;
    f[66] = 2; // bytes per line
    f.push_back(7);
    f.push_back(9);
    return f;
}
} // namespace

TEST(TReaderGraphicProgress, NestedSectionsWeighTheirShares) {
    TProgressProbe g;
    g.InitProgress(10, 1);
    g.StartProgressSection(0, "");
    EXPECT_EQ(g.Reports.back().Stage, psStarting);
    g.StartProgressSection(25, "Preparing...");
    EXPECT_FLOAT_EQ(g.TopSection().Share, 0.25f);
    g.EndProgressSection(false); // closed at 0: its whole weight is added
    EXPECT_FLOAT_EQ(g.OverallProgress(), 0.25f);
    g.StartProgressSection(0, "Loading data..."); // the rest of the parent
    EXPECT_FLOAT_EQ(g.TopSection().Share, 0.75f);
    EXPECT_FLOAT_EQ(g.TopSection().Weight, 0.75f);
    g.StepProgress(50, 0, 1, true);
    EXPECT_FLOAT_EQ(g.OverallProgress(), 0.25f + 0.375f);
    EXPECT_EQ(g.Reports.back().Percent, 63);
    EXPECT_EQ(g.Reports.back().Message, "Loading data...");
    g.StepProgress(80, 0, 0, false); // only the remaining half counts
    EXPECT_FLOAT_EQ(g.OverallProgress(), 1.0f);
    EXPECT_FLOAT_EQ(g.TopSection().Position, 1.0f);
    g.EndProgressSection(false);
    EXPECT_EQ(g.Reports.back().Stage, psRunning);
    g.EndProgressSection(false);
    EXPECT_EQ(g.Reports.back().Stage, psEnding);
    EXPECT_EQ(g.Reports.back().Percent, 100);
    EXPECT_EQ(g.SectionCount(), 0);
}

TEST(TReaderGraphicProgress, MisuseNamesTheMissingCall) {
    TProgressProbe g;
    try {
        g.StepProgress(1, 0, 0, false);
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_STREQ(e.what(), "Start progress display first using InitProgress.");
    }
    g.InitProgress(1, 1);
    try {
        g.EndProgressSection(false);
        FAIL();
    } catch (const EAssertionFailed& e) {
        EXPECT_STREQ(e.what(), "Initialize a progress section first using StartProgressSection.");
    }
    g.StartProgressSection(0, "");
    g.EndProgressSection(false);
    EXPECT_THROW(g.StepProgress(1, 0, 0, false), EAssertionFailed); // the stack is gone
}

TEST(TReaderGraphicLoading, StreamsAreReadFromTheirBeginning) {
    std::vector<uint8_t> file = TinyPCX();
    TMemoryStream m(file);
    m.SetPosition(50);
    TPCXGraphic g;
    g.LoadFromStream(m);
    EXPECT_EQ(g.Width(), 2);
    EXPECT_EQ(*g.ScanLine(0), 7);
}

TEST(TReaderGraphicLoading, NonSeekableStreamsAreCopiedWhole) {
    std::vector<uint8_t> file = TinyPCX();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fds[1]);
    std::string path = "/dev/fd/" + std::to_string(fds[0]);
    TFileStream pipeStream(path, TFileMode::fmOpenRead);
    TPCXGraphic g;
    g.LoadFromStream(pipeStream);
    close(fds[0]);
    EXPECT_EQ(g.ScanLine(0)[1], 9);
}

TEST(TReaderGraphicLoading, EmptyFileGetsTheReadersOwnMessage) {
    TPCXGraphic g;
    try {
        g.ReadFromMemory(nullptr, 0, 0);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. Invalid or unexpected PCX or SCR image format.");
    }
}

TEST(TReaderGraphicLoading, PropertiesWithoutPixelsAndAssignCopiesThem) {
    std::vector<uint8_t> file = TinyPCX();
    TMemoryStream m(file);
    m.SetPosition(3);
    TPCXGraphic g;
    ASSERT_TRUE(g.ReadPropertiesFromStream(m, 0));
    EXPECT_EQ(m.Position(), 3);
    EXPECT_EQ(g.ImageProperties().Width, 2);
    EXPECT_EQ(g.ImageProperties().PixelBits, 8);
    EXPECT_EQ(g.Width(), 0);
    g.LoadFromStream(m);
    TPCXGraphic copy;
    copy.Assign(g);
    EXPECT_EQ(copy.ImageProperties().CompressionKind, ckNone);
    EXPECT_EQ(copy.ScanLine(0)[0], 7);
    EXPECT_TRUE(g.CanRead(file.data(), file.size()));
    EXPECT_FALSE(g.CanRead(file.data() + 1, file.size() - 1));
}

TEST(TGIFGraphic, NeverReadsButFailsClearly) {
    TGIFGraphic gif;
    const uint8_t bytes[] = {'G', 'I', 'F', '8', '9', 'a'};
    EXPECT_THROW(gif.ReadFromMemory(bytes, 0, sizeof bytes), EInvalidGraphic);
    TPNGGraphic png;
    EXPECT_THROW(png.ReadFromMemory(bytes, 0, sizeof bytes), EInvalidGraphic);
}
