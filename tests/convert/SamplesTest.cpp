// SPDX-License-Identifier: GPL-3.0-or-later
// The bundled sample images (tools/make-samples draws them): each reads back
// at its size and converts to every destination format at its own size.
#include "common/TestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "toolkit/Picture.h"

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace {

// The size of the scene every raster sample shows.
constexpr int SampleW = 64, SampleH = 48;

class SamplesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    static void TearDownTestSuite() { UnregisterImageFormats(); }
};

} // namespace

TEST_F(SamplesTest, EveryBundledSampleReadsBackAtTheSceneSize) {
    if (!fs::exists("samples")) GTEST_SKIP() << "run from the project root";
    int read = 0;
    for (const auto& e : fs::directory_iterator("samples")) {
        if (!e.is_regular_file() || e.path().extension() == ".md") continue;
        SCOPED_TRACE(e.path().string());
        TPicture p;
        p.LoadFromFile(e.path().string());
        ++read;
        if (e.path().extension() == ".ico") {
            EXPECT_EQ(p.Width(), 32);
            continue;
        }
        if (e.path().stem().string().ends_with("-drawing")) {
            EXPECT_GT(p.Width(), 0);
            continue;
        }
        EXPECT_EQ(p.Width(), SampleW);
        EXPECT_EQ(p.Height(), SampleH);
    }
    EXPECT_GE(read, 18);
}

TEST_F(SamplesTest, EveryBundledSampleConvertsToEveryFormat) {
    std::string samples = "samples";
    if (!fs::exists(samples)) GTEST_SKIP() << "run from the project root";
    TTempFolder out;
    TImageConverter converter;
    converter.BeforeRun();
    int converted = 0;
    for (const auto& e : fs::directory_iterator(samples)) {
        if (!e.is_regular_file() || e.path().extension() == ".md") continue;
        for (int d = dfBitmap; d <= dfJXL; ++d) {
            // A drawing becomes a 1920 x 1081 raster: the slow encoders would take
            // most of the suite's time for a path every other sample takes too.
            if (d >= dfWebP && e.path().stem().string().ends_with("-drawing")) continue;
            SCOPED_TRACE(e.path().string() + " to " + DestinationExtension(d));
            TConvertOptions o;
            o.Destination = DestinationFromIndex(d);
            std::string dst = out.File("x" + DestinationExtension(d));
            converter.ConvertFile(e.path().string(), dst, o);
            TPicture p;
            p.LoadFromFile(dst);
            if (d == dfWMF || d == dfEMF) {
                EXPECT_GT(p.Width(), 0);
            } else {
                TPicture src;
                src.LoadFromFile(e.path().string());
                EXPECT_EQ(p.Width(), src.Width());
                EXPECT_EQ(p.Height(), src.Height());
            }
            ++converted;
        }
    }
    converter.AfterRun();
    EXPECT_GE(converted, 9 * 14 - 3 * 2);
}

TEST_F(SamplesTest, BundledSamplesHaveDistinctBaseNames) {
    // One output file per sample when they are all converted into one folder.
    if (!fs::exists("samples")) GTEST_SKIP() << "run from the project root";
    std::set<std::string> stems;
    for (const auto& e : fs::directory_iterator("samples")) {
        if (e.is_regular_file() && e.path().extension() != ".md") {
            EXPECT_TRUE(stems.insert(e.path().stem().string()).second) << e.path();
        }
    }
}
