// SPDX-License-Identifier: GPL-3.0-or-later
// The small pictures of the window's thumbnail and before/after view: read
// by the program's readers, upright, shrunk into their box with their
// proportions, transparency kept, and the converted one is what a run writes.
#include "convert/PreviewPicture.h"

#include "base/Exceptions.h"
#include "base/Streams.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "jpeg/JPEGImage.h"
#include "toolkit/Picture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class PreviewPicture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    TTempFolder FFolder;
};

// A JPEG of width x height whose EXIF block says "turn a quarter clockwise" (6).
std::vector<uint8_t> TurnedJPEG(int width, int height) {
    TJPEGImage jpeg;
    jpeg.TakeBitmap(std::make_unique<TBitmap>(MakeTestPicture(width, height)));
    TMemoryStream m;
    jpeg.SaveToStream(m);
    const std::vector<uint8_t> tiff{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3,
                                    0,   1,   0,  0, 0, 6, 0, 0, 0, 0, 0,    0,    0};
    std::vector<uint8_t> out{0xFF, 0xD8, 0xFF, 0xE1, 0, static_cast<uint8_t>(tiff.size() + 8),
                             'E',  'x',  'i',  'f',  0, 0};
    out.insert(out.end(), tiff.begin(), tiff.end());
    out.insert(out.end(), m.Data().begin() + 2, m.Data().end());
    return out;
}

} // namespace

TEST(PreviewFit, KeepsProportionsNeverEnlargesNeverVanishes) {
    struct TCase {
        int W, H, BoxW, BoxH, WantW, WantH;
    };
    const TCase cases[] = {
        {300, 200, 160, 120, 160, 107}, // width-bound, rounded to the nearest pixel
        {90, 140, 160, 120, 77, 120},   // height-bound
        {50, 30, 160, 120, 50, 30},     // smaller than the box: as it is
        {10000, 1, 160, 120, 160, 1},   // a line stays one pixel high
        {1, 10000, 160, 120, 1, 120},   {160, 120, 160, 120, 160, 120},
        {400, 300, 0, 0, 1, 1}, // no box: still a pixel
    };
    for (const TCase& c : cases) {
        int w = 0, h = 0;
        FitInsideBox(c.W, c.H, c.BoxW, c.BoxH, w, h);
        EXPECT_EQ(w, c.WantW) << c.W << "x" << c.H;
        EXPECT_EQ(h, c.WantH) << c.W << "x" << c.H;
    }
}

TEST_F(PreviewPicture, EverySampleFormatIsReadAndFitsTheBox) {
    if (!fs::exists("samples")) GTEST_SKIP() << "run from the project root";
    int seen = 0;
    for (const auto& entry : fs::directory_iterator("samples")) {
        const std::string file = entry.path().string();
        SCOPED_TRACE(file);
        TPicture picture;
        picture.LoadFromFile(file);
        const TPreviewPicture p = LoadPreviewPicture(file, 160, 120);
        ASSERT_NE(p.Pixels, nullptr);
        EXPECT_EQ(p.Pixels->PixelFormat(), pf32bit);
        EXPECT_LE(p.Pixels->Width(), 160);
        EXPECT_LE(p.Pixels->Height(), 120);
        EXPECT_TRUE(p.Pixels->Width() == std::min(160, p.Width) ||
                    p.Pixels->Height() == std::min(120, p.Height))
            << "one side meets the box";
        // Sides as the reader gives them, turned when the file says so.
        EXPECT_EQ(std::minmax(p.Width, p.Height), std::minmax(picture.Width(), picture.Height()));
        ++seen;
    }
    EXPECT_GE(seen, 10);
}

TEST_F(PreviewPicture, TurnedUprightAndTransparencyKept) {
    const std::string turned = FFolder.File("turned.jpg");
    WriteFileBytes(turned, TurnedJPEG(400, 200));
    const TPreviewPicture up = LoadPreviewPicture(turned, 160, 120);
    EXPECT_EQ(up.Width, 200);
    EXPECT_EQ(up.Height, 400);
    EXPECT_EQ(up.Pixels->Width(), 60);
    EXPECT_EQ(up.Pixels->Height(), 120);

    // The icon's mask leaves its corners transparent and its middle opaque.
    const std::string icon = FFolder.File("round.ico");
    WriteFileBytes(icon, MakeIconFile());
    const TPreviewPicture round = LoadPreviewPicture(icon, 160, 120);
    ASSERT_EQ(round.Pixels->Width(), 32);
    EXPECT_EQ(round.Pixels->ScanLine(0)[3], 0);
    EXPECT_EQ(round.Pixels->ScanLine(16)[4 * 16 + 3], 255);
}

TEST_F(PreviewPicture, UnreadableFilesFailWithTheirReason) {
    const std::string junk = FFolder.File("junk.png");
    WriteFileBytes(junk, {0x89, 'P', 'N', 'G', 1, 2, 3});
    for (const std::string& file : {junk, FFolder.File("missing.bmp")}) {
        try {
            LoadPreviewPicture(file, 160, 120);
            ADD_FAILURE() << file << " was read";
        } catch (const Exception& e) {
            EXPECT_STRNE(e.what(), "");
        }
    }
}

TEST_F(PreviewPicture, TheConvertedPictureIsTheFileARunWrites) {
    const std::string source = FFolder.File("a.bmp");
    WriteBmp(source, 300, 200);
    TConvertOptions options;
    options.Destination = dfJPEG;
    options.Quality = 40;
    options.Resize = true;
    options.Width = 100;
    options.Height = 50;
    const std::string viaPreview = FFolder.File("preview.jpg"), viaRun = FFolder.File("run.jpg");
    const TPreviewResult preview = ConvertForPreview(source, viaPreview, options, 160, 120);
    TImageConverter converter;
    converter.ConvertFile(source, viaRun, options);
    EXPECT_EQ(ReadFileBytes(viaPreview), ReadFileBytes(viaRun));
    EXPECT_EQ(preview.FileSize, static_cast<int64_t>(fs::file_size(viaRun)));
    EXPECT_EQ(preview.Picture.Width, 100);
    EXPECT_EQ(preview.Picture.Height, 50);

    // A conversion that fails says why, and leaves no file.
    options.Width = 0;
    const std::string failed = FFolder.File("failed.jpg");
    EXPECT_THROW(ConvertForPreview(source, failed, options, 160, 120), Exception);
    EXPECT_FALSE(fs::exists(failed));
}
