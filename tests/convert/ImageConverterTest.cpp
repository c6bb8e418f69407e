// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/ImageConverter.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "jpeg/JPEGImage.h"

#include "base/Exceptions.h"
#include "toolkit/Picture.h"

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

#include <cstdio>
#include <jerror.h>
#include <jpeglib.h>

namespace fs = std::filesystem;

// A graphic that loads any bytes as a picture of no pixels.
class TZeroGraphic : public TGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    void SetWidth(int) override {}
    void SetHeight(int) override {}
    void LoadFromStream(TStream&) override {}
    void SaveToStream(TStream&) override {}
    void Draw(TCanvas&, const TRect&) override {}
};
TREVASCO_GRAPHIC_CLASS(TZeroGraphic, TGraphic)

namespace {

// The format table the tests need: bitmaps and JPEG by extension.
class ConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        TPicture::RegisterFileFormat("bmp", "Bitmaps", TBitmap::StaticClass());
        TPicture::RegisterFileFormat("jpg", "JPEG images", TJPEGImage::StaticClass());
        FConverter.BeforeRun();
    }
    void TearDown() override {
        FConverter.AfterRun();
        TPicture::UnregisterGraphicClass(TJPEGImage::StaticClass());
        TPicture::UnregisterGraphicClass(TBitmap::StaticClass());
    }

    std::string Source(int w, int h, const std::string& name = "src.bmp") {
        std::string path = FFolder.File(name);
        WriteBmp(path, w, h);
        return path;
    }
    TBmpHeader Convert(const std::string& src, const TConvertOptions& o) {
        std::string dst = FFolder.File("out.bmp");
        FConverter.ConvertFile(src, dst, o);
        return ReadBmpHeader(ReadFileBytes(dst));
    }
    // Every file in the folder, to see that nothing half-written is left over.
    std::vector<std::string> FolderFiles() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(FFolder.Path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TTempFolder FFolder;
    TImageConverter FConverter;
};

TConvertOptions Pixels(bool useW, const std::string& w, bool useH, const std::string& h) {
    TConvertOptions o;
    o.PixelFormat = PixelFormatFromIndex(pf24bit);
    o.Resize = true;
    o.StretchMode = smPixels;
    o.UseWidth = useW;
    o.Width = SideFromText(w);
    o.UseHeight = useH;
    o.Height = SideFromText(h);
    return o;
}

TConvertOptions Percent(bool useW, const std::string& w, bool useH, const std::string& h) {
    TConvertOptions o = Pixels(useW, w, useH, h);
    o.StretchMode = smPercent;
    return o;
}

std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST_F(ConverterTest, ResizeGivesTheWrittenFilesSize) {
    struct TCase {
        int SW, SH;
        TConvertOptions Options;
        int W, H;
    };
    TConvertOptions off = Pixels(true, "800", true, "600");
    off.Resize = false;
    const TCase cases[] = {
        {1000, 500, Pixels(true, "800", false, ""), 800, 400},
        {1000, 500, Pixels(false, "", true, "600"), 1200, 600},
        {1000, 500, Pixels(true, "800", true, "600"), 800, 600},
        {1000, 500, Percent(true, "50", true, "10"), 500, 50},
        {1000, 500, Percent(true, "33", false, ""), 330, 165},
        {333, 100, Percent(false, "", true, "50"), 166, 50},
        {1000, 500, Pixels(false, "800", false, "600"), 1000, 500},
        {1000, 500, Pixels(true, "", true, "600"), 1000, 600},
        {1000, 500, Percent(true, "abc", true, "x"), 1000, 500},
        {1000, 500, off, 1000, 500},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        TBmpHeader h = Convert(Source(c.SW, c.SH), c.Options);
        EXPECT_EQ(h.Width, c.W);
        EXPECT_EQ(h.Height, c.H);
    }
}

TEST_F(ConverterTest, ResizeArithmeticHasNoThirtyTwoBitOverflow) {
    // 2,000,000,000 % of 3 pixels: 60,000,000 wide, kept in 64 bits.
    TDestinationSize d = ComputeDestinationSize(Percent(true, "2000000000", false, ""), 3, 7);
    EXPECT_EQ(d.Width, 60000000);
    EXPECT_EQ(d.Height, 140000000);
    // A stored mode outside the list names no mode: it resizes nothing.
    TStretchMode mode = smFitInside;
    EXPECT_FALSE(StretchModeFromIndex(5, mode));
    EXPECT_FALSE(StretchModeFromIndex(-1, mode));
    EXPECT_EQ(mode, smFitInside);
    EXPECT_TRUE(StretchModeFromIndex(1, mode));
    EXPECT_EQ(mode, smPercent);
}

TEST_F(ConverterTest, EveryPixelFormatGivesItsBitmapLayout) {
    std::string src = Source(640, 480);
    struct TExpect {
        int Index, Bits;
        uint32_t Compression, Offset, Colours;
    };
    const TExpect cases[] = {
        {0, 32, 0, 54, 0}, {1, 1, 0, 62, 2},  {2, 4, 0, 118, 16}, {3, 8, 0, 1078, 256},
        {4, 16, 0, 54, 0}, {5, 16, 3, 66, 0}, {6, 24, 0, 54, 0},  {7, 32, 0, 54, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Index);
        TConvertOptions o;
        o.PixelFormat = PixelFormatFromIndex(c.Index);
        TBmpHeader h = Convert(src, o);
        EXPECT_EQ(h.Width, 640);
        EXPECT_EQ(h.Height, 480);
        EXPECT_EQ(h.Bits, c.Bits);
        EXPECT_EQ(h.Compression, c.Compression);
        EXPECT_EQ(h.DataOffset, c.Offset);
        EXPECT_EQ(h.ColorsUsed, c.Colours);
    }
    TConvertOptions custom;
    custom.PixelFormat = PixelFormatFromIndex(8);
    EXPECT_EQ(Message([&] { Convert(src, custom); }), "Invalid pixel format");
    custom.PixelFormat = PixelFormatFromIndex(-1);
    EXPECT_EQ(Message([&] { Convert(src, custom); }), "Invalid pixel format");
}

TEST_F(ConverterTest, OneBitIsBlackAndWhite) {
    TBitmap b(8, 4, pf24bit);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            b.SetPixel(x, y, x < 4 ? RGBColor(20, 30, 10) : RGBColor(250, 240, 230));
    b.SaveToFile(FFolder.File("two.bmp"));
    TConvertOptions o;
    o.PixelFormat = PixelFormatFromIndex(pf1bit);
    FConverter.ConvertFile(FFolder.File("two.bmp"), FFolder.File("out.bmp"), o);
    auto file = ReadFileBytes(FFolder.File("out.bmp"));
    // Colour table: black, then white.
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 54, file.begin() + 62),
              (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
    TBitmap back;
    back.LoadFromFile(FFolder.File("out.bmp"));
    EXPECT_EQ(back.Pixel(1, 1), clBlack);
    EXPECT_EQ(back.Pixel(6, 2), clWhite);
}

TEST_F(ConverterTest, JPEGDestinationTakesItsQualityFromTheText) {
    std::string src = Source(64, 48);
    const std::pair<std::string, int> cases[] = {
        {"100", 100}, {"80", 80}, {"50", 50},   {"30", 30},  {"20", 20}, {"", 100},
        {"abc", 100}, {"0", 1},   {"150", 100}, {"300", 44}, {"256", 1}, {"-1", 100}};
    for (const auto& [text, quality] : cases) {
        SCOPED_TRACE(text);
        TConvertOptions o;
        o.Destination = DestinationFromIndex(dfJPEG);
        o.Quality = QualityFromText(text);
        std::string dst = FFolder.File("out.jpg");
        FConverter.ConvertFile(src, dst, o);
        TReferenceJPEG r = DecodeWithLibjpeg(ReadFileBytes(dst));
        ASSERT_TRUE(r.Ok);
        EXPECT_EQ(r.Width, 64);
        EXPECT_EQ(r.Components, 3);
        EXPECT_EQ(std::vector<uint16_t>(r.LumaTable, r.LumaTable + 64), LibjpegLumaTable(quality));
    }
}

TEST_F(ConverterTest, ProgressRunsFromLoadToSaveAndEndsAtHundred) {
    std::string src = Source(64, 48);
    FConverter.ConvertFile(src, FFolder.File("a.jpg"), [] {
        TConvertOptions o;
        o.Destination = DestinationFromIndex(dfJPEG);
        return o;
    }());
    std::vector<int> positions;
    FConverter.OnProgress = [&](int position, int maximum) {
        EXPECT_EQ(maximum, 100);
        positions.push_back(position);
    };
    // A JPEG source reports while it decodes (0..50), the JPEG writer while it saves (50..100).
    FConverter.ConvertFile(FFolder.File("a.jpg"), FFolder.File("b.jpg"), [] {
        TConvertOptions j;
        j.Destination = DestinationFromIndex(dfJPEG);
        return j;
    }());
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 100);
    bool saving = false;
    for (int p : positions) {
        if (p > 50) saving = true;
        if (saving) {
            EXPECT_GE(p, 50);
        }
        EXPECT_LE(p, 100);
    }
    EXPECT_TRUE(saving);
    EXPECT_NE(std::find(positions.begin(), positions.end(), 50), positions.end());
}

TEST_F(ConverterTest, FailuresAreClearAndWriteNothing) {
    std::string src = Source(50, 40);
    std::string dst = FFolder.File("out.bmp");
    TConvertOptions o;
    o.Destination = DestinationFromIndex(9);
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(src, dst, o); }),
              "No destination format selected.");
    o.Destination = DestinationFromIndex(-1);
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(src, dst, o); }),
              "No destination format selected.");

    // 1 % of 50 pixels is 0 pixels.
    o = Percent(true, "1", false, "");
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(src, dst, o); }),
              "The destination size 0 x 0 is below 1 pixel");
    o = Pixels(true, "-5", true, "10");
    EXPECT_NE(Message([&] { FConverter.ConvertFile(src, dst, o); }).find("below 1 pixel"),
              std::string::npos);
    o = Pixels(true, "100000", true, "100000");
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(src, dst, o); }), "Image too large");
    o = Percent(true, "2000000000", true, "2000000000");
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(src, dst, o); }), "Image too large");

    WriteBmp(FFolder.File("pic.xyz"), 4, 4);
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(FFolder.File("pic.xyz"), dst, {}); }),
              "Unknown picture file extension (.xyz)");
    EXPECT_FALSE(fs::exists(dst));

    // A picture without pixels fails instead of taking the previous file's size.
    TPicture::RegisterFileFormat("zero", "Empty pictures", TZeroGraphic::StaticClass());
    WriteFileBytes(FFolder.File("pic.zero"), {1, 2, 3});
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(FFolder.File("pic.zero"), dst, {}); }),
              "The source image is empty (its width or height is 0)");
    TPicture::UnregisterGraphicClass(TZeroGraphic::StaticClass());
    EXPECT_FALSE(fs::exists(dst));
}

TEST_F(ConverterTest, FailedSaveKeepsTheOldDestinationAndLeavesNoTemporaryFile) {
    std::string src = Source(640, 480);
    std::string dst = FFolder.File("out.bmp");
    WriteFileBytes(dst, {'o', 'l', 'd'});
    auto before = FolderFiles();

    // The file system refuses to grow a file beyond 4 KB: the bitmap writer fails mid-way.
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    std::string m = Message([&] { FConverter.ConvertFile(src, dst, {}); });
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(m, "(no error)");
    EXPECT_EQ(ReadFileBytes(dst), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(FolderFiles(), before);

    // The JPEG writer fails while compressing (its progress handler raises).
    std::string jdst = FFolder.File("out.jpg");
    WriteFileBytes(jdst, {'o', 'l', 'd'});
    before = FolderFiles();
    FConverter.OnProgress = [](int position, int) {
        if (position >= 50 && position < 100) throw Exception("stopped");
    };
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfJPEG);
    EXPECT_EQ(Message([&] { FConverter.ConvertFile(src, jdst, o); }), "stopped");
    EXPECT_EQ(ReadFileBytes(jdst), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(FolderFiles(), before);

    // A destination folder that does not exist.
    FConverter.OnProgress = nullptr;
    EXPECT_NE(Message([&] { FConverter.ConvertFile(src, FFolder.File("no/such/x.bmp"), {}); }),
              "(no error)");
}

TEST_F(ConverterTest, JPEGSourceConvertsWithLibjpegsPixels) {
    REQUIRE_CORPUS("jpeg");
    int checked = 0;
    for (const auto& f : CorpusFiles("jpeg", {".jpg", ".jpeg"}, true)) {
        SCOPED_TRACE(f);
        auto data = ReadFileBytes(f);
        TReferenceJPEG r = DecodeWithLibjpeg(data);
        std::string src = FFolder.File("src.jpg");
        WriteFileBytes(src, data);
        std::string dst = FFolder.File("out.bmp");
        fs::remove(dst);
        TConvertOptions o;
        o.PixelFormat = PixelFormatFromIndex(pf24bit);
        o.AutoRotate = false; // the stored pixels, as libjpeg gives them
        if (!r.Ok) {
            const std::string m = Message([&] { FConverter.ConvertFile(src, dst, o); });
            EXPECT_EQ(m.rfind("JPEG error #" + std::to_string(r.ErrorCode) + ": ", 0), 0u) << m;
            EXPECT_FALSE(fs::exists(dst));
            continue;
        }
        FConverter.ConvertFile(src, dst, o);
        TBitmap out;
        out.LoadFromFile(dst);
        ASSERT_EQ(out.Width(), r.Width);
        ASSERT_EQ(out.Height(), r.Height);
        // Compare grey or colour samples; CMYK files are covered by the decoder tests,
        // files with a colour profile (converted to sRGB for a bitmap) by the metadata tests.
        if (r.OutputComponents == 4) continue;
        TJPEGImage probe;
        probe.LoadFromFile(src);
        if (!probe.Metadata().Icc.empty()) continue;
        bool same = true;
        std::vector<uint8_t> row(static_cast<size_t>(r.Width) * 4);
        for (int y = 0; y < r.Height && same; ++y) {
            out.GetRowBGRX(y, row.data());
            for (int x = 0; x < r.Width && same; ++x) {
                const uint8_t* p =
                    &r.Pixels[(static_cast<size_t>(y) * r.Width + x) * r.OutputComponents];
                const uint8_t* q = &row[static_cast<size_t>(x) * 4];
                int g = r.OutputComponents == 1 ? 0 : 1, b = r.OutputComponents == 1 ? 0 : 2;
                same = q[2] == p[0] && q[1] == p[g] && q[0] == p[b];
            }
        }
        EXPECT_TRUE(same);
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

// A file whose extension names another format than its content: the class of
// the extension refuses it, the class its first bytes name reads it.
TEST_F(ConverterTest, MisnamedFilesAreReadByTheClassTheirContentNames) {
    const std::string bmpAsJpg = Source(30, 20, "picture.jpg");
    TBmpHeader h = Convert(bmpAsJpg, Pixels(false, "", false, ""));
    EXPECT_EQ(h.Width, 30);
    EXPECT_EQ(h.Height, 20);

    TJPEGImage jpeg;
    jpeg.Assign(MakeTestPicture(12, 8));
    TMemoryStream data;
    jpeg.SaveToStream(data);
    const std::string jpgAsBmp = FFolder.File("photo.bmp");
    WriteFileBytes(jpgAsBmp, data.Data());
    h = Convert(jpgAsBmp, Pixels(false, "", false, ""));
    EXPECT_EQ(h.Width, 12);
    EXPECT_EQ(h.Height, 8);

    // Content of no registered format keeps the extension's verdict.
    const std::string junk = FFolder.File("junk.jpg");
    WriteFileBytes(junk, std::vector<uint8_t>(64, 0x42));
    EXPECT_EQ(Message([&] { Convert(junk, Pixels(false, "", false, "")); }),
              "JPEG error #" + std::to_string(JERR_NO_SOI) +
                  ": Not a JPEG file: starts with 0x42 0x42");
    // A cut bitmap named .jpg gets the bitmap reader's verdict, not libjpeg's.
    std::vector<uint8_t> cut = ReadFileBytes(bmpAsJpg);
    cut.resize(cut.size() / 2);
    WriteFileBytes(junk, cut);
    const std::string m = Message([&] { Convert(junk, Pixels(false, "", false, "")); });
    EXPECT_EQ(m.rfind("The file is cut short: ", 0), 0u) << m;
}
