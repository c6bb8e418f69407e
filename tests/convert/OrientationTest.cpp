// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Orientation.h"

#include "base/Streams.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "jpeg/JPEGImage.h"
#include "metafile/Metafile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Stored picture  A B C    (one grey level a pixel: A=10, B=20 ... F=60)
//                 D E F
// and, written out by hand, the upright picture each orientation shows.
const std::vector<std::vector<std::string>> Upright = {
    {},
    {"ABC", "DEF"},
    {"CBA", "FED"},     // 2: mirrored left to right
    {"FED", "CBA"},     // 3: turned half round
    {"DEF", "ABC"},     // 4: mirrored top to bottom
    {"AD", "BE", "CF"}, // 5: transposed
    {"DA", "EB", "FC"}, // 6: turned a quarter clockwise
    {"FC", "EB", "DA"}, // 7: transverse
    {"CF", "BE", "AD"}, // 8: turned a quarter anticlockwise
};

uint8_t Level(char c) {
    return static_cast<uint8_t>((c - 'A' + 1) * 10);
}

TBitmap Stored(TPixelFormat pf) {
    TBitmap b;
    b.SetPixelFormat(pf);
    b.SetSize(3, 2);
    const char* rows[] = {"ABC", "DEF"};
    const int bytes = b.BitsPerPixel() / 8;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < bytes; ++c)
                b.ScanLine(y)[bytes * x + c] = static_cast<uint8_t>(Level(rows[y][x]) + c);
    return b;
}

// The JPEG with a segment right after its start-of-image marker.
std::vector<uint8_t> Insert(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& app1) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), app1.begin(), app1.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// An APP1 segment with a minimal EXIF block holding only the orientation.
std::vector<uint8_t> ExifSegment(int orientation, bool big) {
    std::vector<uint8_t> t =
        big ? std::vector<uint8_t>{'M',  'M',  0, 42, 0,
                                   0,    0,    8, 0,  1,
                                   0x01, 0x12, 0, 3,  0,
                                   0,    0,    1, 0,  static_cast<uint8_t>(orientation),
                                   0,    0,    0, 0,  0,
                                   0}
            : std::vector<uint8_t>{'I',
                                   'I',
                                   42,
                                   0,
                                   8,
                                   0,
                                   0,
                                   0,
                                   1,
                                   0,
                                   0x12,
                                   0x01,
                                   3,
                                   0,
                                   1,
                                   0,
                                   0,
                                   0,
                                   static_cast<uint8_t>(orientation),
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0};
    std::vector<uint8_t> s{0xFF, 0xE1, 0, static_cast<uint8_t>(t.size() + 8), 'E', 'x', 'i',
                           'f',  0,    0};
    s.insert(s.end(), t.begin(), t.end());
    return s;
}

} // namespace

TEST(Orientation, EveryOrientationMatchesTheHandMadePicture) {
    for (TPixelFormat pf : {pf24bit, pf32bit}) {
        const TBitmap stored = Stored(pf);
        const int bytes = stored.BitsPerPixel() / 8;
        for (int o = 1; o <= 8; ++o) {
            SCOPED_TRACE("orientation " + std::to_string(o) + ", " + std::to_string(bytes * 8));
            auto up = OrientUpright(stored, o);
            const auto& want = Upright[o];
            ASSERT_EQ(up->Height(), static_cast<int>(want.size()));
            ASSERT_EQ(up->Width(), static_cast<int>(want[0].size()));
            EXPECT_EQ(OrientationSwapsSides(o), o >= 5);
            for (int y = 0; y < up->Height(); ++y)
                for (int x = 0; x < up->Width(); ++x)
                    for (int c = 0; c < bytes; ++c) // alpha travels with its pixel
                        EXPECT_EQ(up->ScanLine(y)[bytes * x + c], Level(want[y][x]) + c)
                            << x << "," << y;
        }
    }
    // Values outside 1..8 leave the picture as stored.
    for (int o : {0, 9, -1, 1000}) {
        auto same = OrientUpright(Stored(pf24bit), o);
        EXPECT_EQ(same->Width(), 3);
        EXPECT_EQ(same->ScanLine(1)[0], Level('D'));
        EXPECT_FALSE(OrientationTurns(o));
    }
}

class OrientationPipeline : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterImageFormats();
        FConverter.BeforeRun();
    }
    void TearDown() override {
        FConverter.AfterRun();
        UnregisterImageFormats();
    }
    TTempFolder FFolder;
    TImageConverter FConverter;
};

TEST_F(OrientationPipeline, JPEGComesOutUprightInEveryOrientation) {
    // A picture whose corners all differ, stored as a lossless-enough JPEG.
    const int w = 48, h = 32;
    TJPEGImage jpeg;
    jpeg.TakeBitmap(std::make_unique<TBitmap>(MakeTestPicture(w, h)));
    jpeg.CompressionQuality = 100;
    TMemoryStream m;
    jpeg.SaveToStream(m);
    const std::vector<uint8_t> plain = m.Data();
    const TReferenceJPEG ref = DecodeWithLibjpeg(plain);
    ASSERT_TRUE(ref.Ok);
    // Upright (x, y) shows stored pixel (sx, sy), from the EXIF definitions:
    // where stored row 0 and stored column 0 lie in the picture as seen.
    auto spot = [&](int o, int x, int y, int& sx, int& sy) {
        const int W = o >= 5 ? h : w, H = o >= 5 ? w : h;
        switch (o) {
        case 1:
            sx = x, sy = y;
            break; // row 0 top, column 0 left
        case 2:
            sx = W - 1 - x, sy = y;
            break; // row 0 top, column 0 right
        case 3:
            sx = W - 1 - x, sy = H - 1 - y;
            break; // row 0 bottom, column 0 right
        case 4:
            sx = x, sy = H - 1 - y;
            break; // row 0 bottom, column 0 left
        case 5:
            sx = y, sy = x;
            break; // row 0 left, column 0 top
        case 6:
            sx = y, sy = W - 1 - x;
            break; // row 0 right, column 0 top
        case 7:
            sx = H - 1 - y, sy = W - 1 - x;
            break; // row 0 right, column 0 bottom
        default:
            sx = H - 1 - y, sy = x;
            break; // 8: row 0 left, column 0 bottom
        }
    };
    for (int o = 1; o <= 8; ++o)
        for (bool autoRotate : {true, false}) {
            SCOPED_TRACE("orientation " + std::to_string(o) + (autoRotate ? "" : ", stored"));
            const std::string src = FFolder.File("o.jpg"), dst = FFolder.File("o.bmp");
            WriteFileBytes(src, Insert(plain, ExifSegment(o, o % 2 == 0)));
            TConvertOptions opt;
            opt.PixelFormat = PixelFormatFromIndex(pf24bit);
            opt.AutoRotate = autoRotate;
            FConverter.ConvertFile(src, dst, opt);
            TBitmap out;
            out.LoadFromFile(dst);
            const bool turned = autoRotate && o >= 5;
            ASSERT_EQ(out.Width(), turned ? h : w);
            ASSERT_EQ(out.Height(), turned ? w : h);
            int bad = 0;
            for (int y = 0; y < out.Height(); ++y)
                for (int x = 0; x < out.Width(); ++x) {
                    int sx = x, sy = y;
                    if (autoRotate) spot(o, x, y, sx, sy);
                    const uint8_t* r = &ref.Pixels[(size_t(sy) * w + sx) * 3];
                    const TColor c = out.Pixel(x, y);
                    bad += GetRValue(c) != r[0] || GetGValue(c) != r[1] || GetBValue(c) != r[2];
                }
            EXPECT_EQ(bad, 0);
        }
}

TEST_F(OrientationPipeline, SizesApplyToTheUprightPicture) {
    TJPEGImage jpeg;
    jpeg.TakeBitmap(std::make_unique<TBitmap>(MakeTestPicture(40, 20)));
    TMemoryStream m;
    jpeg.SaveToStream(m);
    const std::string src = FFolder.File("p.jpg"), dst = FFolder.File("p.bmp");
    WriteFileBytes(src, Insert(m.Data(), ExifSegment(6, false)));
    TConvertOptions opt;
    opt.Resize = true;
    opt.UseHeight = false;
    opt.Width = SideFromText("10"); // a portrait 20 x 40 seen upright: 10 x 20
    FConverter.ConvertFile(src, dst, opt);
    TBitmap out;
    out.LoadFromFile(dst);
    EXPECT_EQ(out.Width(), 10);
    EXPECT_EQ(out.Height(), 20);
    opt.StretchMode = smPercent;
    opt.Width = SideFromText("50");
    FConverter.ConvertFile(src, dst, opt);
    out.LoadFromFile(dst);
    EXPECT_EQ(out.Width(), 10);
    EXPECT_EQ(out.Height(), 20);
    // Metafile destinations hold the upright picture too.
    for (int destination : {dfWMF, dfEMF}) {
        const std::string meta = FFolder.File("p" + DestinationExtension(destination));
        opt.Destination = DestinationFromIndex(destination);
        opt.Resize = false;
        FConverter.ConvertFile(src, meta, opt);
        TMetafile m;
        m.LoadFromFile(meta);
        TBitmap played(m.Width(), m.Height(), pf24bit);
        played.Canvas().StretchDraw(Rect(0, 0, m.Width(), m.Height()), m);
        ASSERT_GE(played.Width(), 20);
        ASSERT_GE(played.Height(), 40);
        // Stored top-left (red 0, green 0) lies at the top right when upright.
        const TColor corner = played.Pixel(19, 0);
        EXPECT_LT(GetRValue(corner), 40) << destination;
        EXPECT_LT(GetGValue(corner), 40) << destination;
        const TColor other = played.Pixel(0, 0); // stored bottom-left: green full
        EXPECT_GT(GetGValue(other), 200) << destination;
    }
}
