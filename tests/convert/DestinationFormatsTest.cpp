// SPDX-License-Identifier: GPL-3.0-or-later
// The conversion with every format registered as at program start: the
// start-up order, each destination format, and sources that paint only part
// of their area.
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "jpeg/JPEGImage.h"

#include "formats/FileFormatList.h"
#include "formats/TIFFGraphic.h"
#include "gif/GIFImage.h"
#include "metafile/Metafile.h"
#include "png/PNGImage.h"
#include "toolkit/Icon.h"
#include "toolkit/Picture.h"

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

class DestinationFormatsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    static void TearDownTestSuite() { UnregisterImageFormats(); }
    void SetUp() override { FConverter.BeforeRun(); }
    void TearDown() override { FConverter.AfterRun(); }

    std::string Convert(const std::string& src, int destination, const std::string& name,
                        int pixelFormat = 0) {
        TConvertOptions o;
        o.Destination = DestinationFromIndex(destination);
        o.PixelFormat = PixelFormatFromIndex(pixelFormat);
        std::string dst = FFolder.File(name + DestinationExtension(destination));
        FConverter.ConvertFile(src, dst, o);
        return dst;
    }

    TTempFolder FFolder;
    TImageConverter FConverter;
};

// A metafile played into a white bitmap one pixel larger than the reference device.
TBitmap Render(TMetafile& m) {
    TBitmap b(TMetafileCanvas::RefWidthPx + 1, TMetafileCanvas::RefHeightPx + 1, pf24bit);
    b.Canvas().StretchDraw(Rect(0, 0, m.Width(), m.Height()), m);
    return b;
}

} // namespace

TEST_F(DestinationFormatsTest, StartUpMakesTheNewestRegistrationWin) {
    EXPECT_EQ(TPicture::ClassForExtension("gif"), TGIFImage::StaticClass());
    EXPECT_EQ(TPicture::ClassForExtension("png"), TPNGImage::StaticClass());
    EXPECT_EQ(TPicture::ClassForExtension("tif"), TTIFFGraphic::StaticClass());
    for (const char* ext : {"jfif", "jpg", "jpe", "jpeg"})
        EXPECT_EQ(TPicture::ClassForExtension(ext), TJPEGImage::StaticClass()) << ext;
    EXPECT_EQ(TPicture::ClassForExtension("ico"), TIcon::StaticClass());
    EXPECT_EQ(TPicture::ClassForExtension("emf"), TMetafile::StaticClass());
    EXPECT_EQ(TPicture::ClassForExtension("dib"), TBitmap::StaticClass());
    ASSERT_TRUE(FormatRegistry);
    std::vector<std::string> extensions;
    FormatRegistry->ListExtensions(extensions);
    // The 21 extensions of the start, then webp, heic, heif, hif, avif and jxl.
    EXPECT_EQ(extensions.size(), 27u);
    // The toolkit's own entries were withdrawn: one entry per extension for the classes it lists.
    int jpg = 0;
    for (const auto& f : TPicture::Formats())
        if (f.Extension == "jpg") ++jpg;
    EXPECT_EQ(jpg, 1);
}

TEST_F(DestinationFormatsTest, RasterDestinationsKeepTheSourceSize) {
    std::string src = FFolder.File("src.bmp");
    WriteBmp(src, 640, 480);
    for (int d : {dfBitmap, dfJPEG, dfGIF, dfPNG}) {
        SCOPED_TRACE(d);
        std::string dst = Convert(src, d, "out");
        TPicture p;
        p.LoadFromFile(dst);
        EXPECT_EQ(p.Width(), 640);
        EXPECT_EQ(p.Height(), 480);
    }
    // The GIF keeps the chosen colour reduction: black/white monochrome gives two colours.
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfGIF);
    o.ColorReduction = ColorReductionFromIndex(4);
    FConverter.ConvertFile(src, FFolder.File("mono.gif"), o);
    TGIFImage gif;
    gif.LoadFromFile(FFolder.File("mono.gif"));
    const TBitmap& b = gif.Bitmap();
    for (int y = 0; y < 480; y += 37)
        for (int x = 0; x < 640; x += 41) {
            TColor c = b.Pixel(x, y);
            EXPECT_TRUE(c == clBlack || c == clWhite) << x << "," << y;
        }
    o.ColorReduction = ColorReductionFromIndex(10);
    EXPECT_THROW(FConverter.ConvertFile(src, FFolder.File("bad.gif"), o), Exception);
    EXPECT_FALSE(fs::exists(FFolder.File("bad.gif")));
}

TEST_F(DestinationFormatsTest, GIFReductionIndexesKeepTheirMethodsAndTheDefaultIsBest) {
    const std::string src = FFolder.File("src.bmp");
    WriteBmp(src, 300, 200);
    TBitmap picture;
    picture.LoadFromFile(src);
    auto direct = [&](int method) {
        TGIFImage gif;
        gif.SetColorReduction(method);
        gif.Assign(picture);
        const std::string path = FFolder.File("direct.gif");
        gif.SaveToFile(path);
        return ReadFileBytes(path);
    };
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfGIF);
    EXPECT_EQ(o.ColorReduction, ReduceBest);
    FConverter.ConvertFile(src, FFolder.File("default.gif"), o);
    EXPECT_EQ(ReadFileBytes(FFolder.File("default.gif")), direct(ReduceBest));
    // A stored 7 is still the octree, byte for byte.
    o.ColorReduction = ColorReductionFromIndex(7);
    FConverter.ConvertFile(src, FFolder.File("octree.gif"), o);
    EXPECT_EQ(ReadFileBytes(FFolder.File("octree.gif")), direct(ReduceOptimal));
    EXPECT_NE(ReadFileBytes(FFolder.File("octree.gif")),
              ReadFileBytes(FFolder.File("default.gif")));
}

// Declared size of a written metafile: the EMF header's frame (0.01 mm) and
// bounds (device pixels, inclusive), the placeable WMF header's box and units per inch.
struct TDeclaredSize {
    TRect Frame, Bounds, Box;
    int Inch = 0;
};
TDeclaredSize DeclaredSize(const std::vector<uint8_t>& emf, const std::vector<uint8_t>& wmf) {
    auto s32 = [&](size_t at) {
        return static_cast<int32_t>(emf[at] | (emf[at + 1] << 8) | (emf[at + 2] << 16) |
                                    (uint32_t(emf[at + 3]) << 24));
    };
    auto s16 = [&](size_t at) { return static_cast<int16_t>(wmf[at] | (wmf[at + 1] << 8)); };
    TDeclaredSize d;
    d.Bounds = Rect(s32(8), s32(12), s32(16), s32(20));
    d.Frame = Rect(s32(24), s32(28), s32(32), s32(36));
    d.Box = Rect(s16(6), s16(8), s16(10), s16(12));
    d.Inch = static_cast<uint16_t>(s16(14));
    return d;
}

TEST_F(DestinationFormatsTest, MetafilesDeclareThePicturesOwnSize) {
    // A 64 x 48 picture is a 64 x 48 pixel metafile (at 96 dpi), not a screen-sized page.
    std::string src = FFolder.File("small.bmp");
    {
        TBitmap black(64, 48, pf24bit);
        black.Canvas().BrushColor = clBlack;
        black.Canvas().FillRect(Rect(0, 0, 64, 48));
        black.SaveToFile(src);
    }
    std::string emf = Convert(src, dfEMF, "out");
    std::string wmf = Convert(src, dfWMF, "out");
    auto emfBytes = ReadFileBytes(emf), wmfBytes = ReadFileBytes(wmf);
    // EMF starts with its header record (type 1); the WMF with the placeable key.
    ASSERT_GT(emfBytes.size(), 88u);
    EXPECT_EQ(emfBytes[0], 1);
    ASSERT_GT(wmfBytes.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>(wmfBytes.begin(), wmfBytes.begin() + 4),
              (std::vector<uint8_t>{0xD7, 0xCD, 0xC6, 0x9A}));
    const TDeclaredSize d = DeclaredSize(emfBytes, wmfBytes);
    EXPECT_EQ(d.Frame, Rect(0, 0, 1693, 1270)); // 64 and 48 pixels at 96 dpi in 0.01 mm
    EXPECT_EQ(d.Bounds, Rect(0, 0, 63, 47));
    EXPECT_EQ(d.Box, Rect(0, 0, 64, 48));
    EXPECT_EQ(d.Inch, 96);

    for (const std::string& file : {emf, wmf}) {
        SCOPED_TRACE(file);
        TMetafile m;
        m.LoadFromFile(file);
        EXPECT_EQ(m.Width(), 64);
        EXPECT_EQ(m.Height(), 48);
    }
    TMetafile m;
    m.LoadFromFile(emf);
    EXPECT_EQ(m.Creator(), "Trevasco");
    EXPECT_EQ(m.Description(), TImageConverter::MetafileDescription);
}

TEST_F(DestinationFormatsTest, MetafilesHoldTheWholePictureToItsLastRowAndColumn) {
    // Tall and wide pictures: the declared size and the drawing agree to the
    // pixel, so playback neither loses nor adds a row or column.
    for (const TRect& size : {Rect(0, 0, 640, 480), Rect(0, 0, 300, 1080), Rect(0, 0, 1920, 7)}) {
        SCOPED_TRACE(size.Right);
        std::string src = FFolder.File("black.bmp");
        {
            TBitmap black(size.Right, size.Bottom, pf24bit);
            black.Canvas().BrushColor = clBlack;
            black.Canvas().FillRect(size);
            black.SaveToFile(src);
        }
        for (int destination : {dfEMF, dfWMF}) {
            TMetafile m;
            m.LoadFromFile(Convert(src, destination, "out"));
            ASSERT_EQ(m.Width(), size.Right);
            ASSERT_EQ(m.Height(), size.Bottom);
            TBitmap b = Render(m);
            EXPECT_EQ(b.Pixel(0, 0), clBlack);
            EXPECT_EQ(b.Pixel(size.Right - 1, size.Bottom - 1), clBlack);
            EXPECT_EQ(b.Pixel(0, size.Bottom - 1), clBlack);
            EXPECT_EQ(b.Pixel(size.Right - 1, 0), clBlack);
            if (size.Right < TMetafileCanvas::RefWidthPx) {
                EXPECT_EQ(b.Pixel(size.Right, 0), clWhite);
            }
            EXPECT_EQ(b.Pixel(0, size.Bottom), clWhite);
        }
    }
}

TEST_F(DestinationFormatsTest, IconAndMetafileSourcesLeaveWhiteWhereTheyPaintNothing) {
    std::string ico = FFolder.File("logo.ico");
    WriteFileBytes(ico, MakeIconFile());
    TBitmap b;
    b.LoadFromFile(Convert(ico, dfBitmap, "icon", pf24bit));
    EXPECT_EQ(b.Width(), 32);
    EXPECT_EQ(b.Pixel(0, 0), clWhite);   // masked corner
    EXPECT_EQ(b.Pixel(31, 31), clWhite); // masked corner
    TColor centre = b.Pixel(16, 16);
    EXPECT_EQ(GetRValue(centre), 250);
    EXPECT_EQ(GetBValue(centre), 40 + 16 * 6);

    // A metafile that paints only its left half.
    TMetafile m;
    {
        TMetafileCanvas canvas(m, "", "");
        canvas.BrushColor = clBlack;
        canvas.FillRect(Rect(0, 0, 960, 1080));
    }
    m.SetEnhanced(true);
    m.SaveToFile(FFolder.File("half.emf"));
    TBitmap r;
    r.LoadFromFile(Convert(FFolder.File("half.emf"), dfBitmap, "half", pf24bit));
    EXPECT_EQ(r.Pixel(r.Width() / 4, r.Height() / 2), clBlack);
    EXPECT_EQ(r.Pixel(r.Width() * 3 / 4, r.Height() / 2), clWhite);
}

TEST_F(DestinationFormatsTest, EveryWriterFailingMidwayKeepsTheOldFile) {
    // Noise compresses badly, so every writer needs far more than the 4 KB allowed below.
    std::string src = FFolder.File("noise.bmp");
    {
        TBitmap noise(320, 240, pf24bit);
        uint32_t seed = 12345;
        for (int y = 0; y < 240; ++y) {
            uint8_t* row = noise.ScanLine(y);
            for (int i = 0; i < 320 * 3; ++i) {
                seed = seed * 1103515245u + 12345u;
                row[i] = static_cast<uint8_t>(seed >> 24);
            }
        }
        noise.SaveToFile(src);
    }
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (int d = dfBitmap; d <= dfPNG; ++d) {
        SCOPED_TRACE(d);
        std::string dst = FFolder.File("keep" + DestinationExtension(d));
        WriteFileBytes(dst, {'o', 'l', 'd'});
        struct rlimit small = old;
        small.rlim_cur = 4096;
        setrlimit(RLIMIT_FSIZE, &small);
        TConvertOptions o;
        o.Destination = DestinationFromIndex(d);
        bool failed = false;
        try {
            FConverter.ConvertFile(src, dst, o);
        } catch (const Exception&) {
            failed = true;
        }
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_TRUE(failed);
        EXPECT_EQ(ReadFileBytes(dst), (std::vector<uint8_t>{'o', 'l', 'd'}));
        for (const auto& e : fs::directory_iterator(FFolder.Path()))
            EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
    std::signal(SIGXFSZ, oldHandler);
}

TEST_F(DestinationFormatsTest, FuzzRegressionInputsFailCleanly) {
    for (const char* target : {"jpeg", "pipeline"}) {
        const std::vector<std::string> inputs = KeptFuzzInputs(target);
        ASSERT_FALSE(inputs.empty()) << target;
        for (const std::string& path : inputs) {
            SCOPED_TRACE(path);
            auto data = ReadFileBytes(path);
            if (std::string(target) == "jpeg") {
                TJPEGImage jpeg;
                try {
                    TReadOnlyMemoryStream in(data.data(), data.size());
                    jpeg.LoadFromStream(in);
                    jpeg.Bitmap();
                } catch (const Exception&) {
                }
                continue;
            }
            if (data.size() < 3) continue;
            std::vector<std::string> extensions;
            for (const auto& f : TPicture::Formats())
                extensions.push_back(f.Extension);
            std::string src = FFolder.File("in." + extensions[data[0] % extensions.size()]);
            WriteFileBytes(src, std::vector<uint8_t>(data.begin() + 3, data.end()));
            TConvertOptions o;
            o.Destination = DestinationFromIndex(data[1] % 6);
            o.PixelFormat = PixelFormatFromIndex(data[2] % 8);
            o.ColorReduction = ColorReductionFromIndex((data[2] >> 3) % 9);
            o.Resize = true;
            o.Width = SideFromText("40");
            o.UseHeight = (data[1] & 0x80) != 0;
            o.Height = SideFromText("30");
            try {
                FConverter.ConvertFile(
                    src, FFolder.File("out" + DestinationExtension(o.Destination)), o);
            } catch (const Exception&) {
            }
        }
    }
}
