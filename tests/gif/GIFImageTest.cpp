// SPDX-License-Identifier: GPL-3.0-or-later
// TGIFImage: writing checked by giflib, reading checked against giflib on the
// shared corpus, the reader's lenient behaviours, and drawing.
#include "GifTestSupport.h"
#include "common/TestSupport.h"
#include "gif/LZWEncoder.h"
#include "toolkit/Picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace {

std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

// Our frame and its colour map compared with giflib's decode of the same file.
void ExpectSameAsGiflib(TGIFImage& image, const std::vector<uint8_t>& data, int frameIndex = 0) {
    const TRefImage ref = GiflibDecode(data);
    ASSERT_TRUE(ref.Ok);
    ASSERT_GT(static_cast<int>(ref.Frames.size()), frameIndex);
    const TRefFrame& rf = ref.Frames[frameIndex];
    TGIFFrame& f = image.Frame(frameIndex);
    EXPECT_EQ(f.Left(), rf.Left);
    EXPECT_EQ(f.Top(), rf.Top);
    ASSERT_EQ(f.Width(), rf.Width);
    ASSERT_EQ(f.Height(), rf.Height);
    EXPECT_TRUE(f.Data() == rf.Pixels);
    const TGIFColorMap& map = f.ActiveColorMap();
    ASSERT_GE(static_cast<int>(rf.Colors.size()), map.Count());
    for (int i = 0; i < map.Count(); ++i) {
        const TGIFColor c = map.Color(i);
        EXPECT_EQ((std::array<uint8_t, 3>{c.Red, c.Green, c.Blue}), rf.Colors[i]) << i;
    }
}

TBitmap PhotoLike(int w, int h) {
    return MakeRaster(w, h, [](int x, int y) {
        const int r = (x * 255 / 97 + y) & 255, g = (y * 255 / 61) & 255, b = ((x ^ y) * 3) & 255;
        return uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
    });
}

// A file with one 2-colour frame, built by our writer.
std::vector<uint8_t> SmallGIF(int w, int h, bool interlaced = false) {
    TGIFImage image;
    TGIFFrame& f = image.AddFrame();
    f.SetBounds(0, 0, w, h);
    f.ColorMap().Add({0, 0, 0});
    f.ColorMap().Add({255, 255, 255});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f.ScanLine(y)[x] = static_cast<uint8_t>((x + y) & 1);
    f.SetInterlaced(interlaced);
    return SaveGIF(image);
}

std::vector<uint8_t> SmallGIFImageData() {
    TGIFImage image;
    LoadGIF(image, SmallGIF(3, 2), nullptr);
    return image.Frame(0).Data();
}

} // namespace

// Writing

TEST(GIFWriter, EveryColourReductionWritesAFileGiflibDecodesToOurIndices) {
    const TBitmap photo = PhotoLike(97, 61);
    TBitmap device(97, 61, pfDevice);
    device.Canvas().StretchDraw(Rect(0, 0, 97, 61), const_cast<TBitmap&>(photo));
    const TBitmap few = MakeRaster(
        40, 30, [](int x, int y) { return uint32_t((x / 4) * 20) << 16 | uint32_t(y / 10) * 100; });
    for (int method = ReduceNone; method <= ReduceOptimalSystem; ++method) {
        TGIFImage image;
        image.SetColorReduction(method);
        image.Assign(method == ReduceNone ? few : device);
        const std::vector<uint8_t> data = SaveGIF(image);
        ASSERT_GE(data.size(), 13u);
        EXPECT_EQ(std::string(data.begin(), data.begin() + 6), "GIF87a") << method;
        EXPECT_EQ(data[10], 0x77) << method; // no global colour table
        EXPECT_EQ(data[13], 0x2C) << method; // the image follows the screen descriptor
        ASSERT_EQ(image.FrameCount(), 1);
        if (method != ReduceNone) {
            EXPECT_EQ(image.Frame(0).ColorMap().Count(), 256);
            EXPECT_EQ(data[13 + 10 + 768], 8) << "code size";
        }
        ExpectSameAsGiflib(image, data);
        TGIFImage back;
        std::vector<std::string> warnings;
        LoadGIF(back, data, &warnings);
        EXPECT_TRUE(warnings.empty());
        EXPECT_EQ(back.Frame(0).Data(), image.Frame(0).Data());
    }
}

TEST(GIFWriter, ReduceNoneKeepsUpTo256ColoursInFirstSeenOrder) {
    const TBitmap c256 =
        MakeRaster(16, 16, [](int x, int y) { return uint32_t(y * 16 + x) * 0x010101u; });
    TGIFImage image;
    image.SetColorReduction(ReduceNone);
    image.Assign(c256);
    const TGIFColorMap& map = image.Frame(0).ColorMap();
    ASSERT_EQ(map.Count(), 256);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(map.Color(i).Green, i);
    ExpectSameAsGiflib(image, SaveGIF(image));
    const TBitmap c257 =
        MakeRaster(257, 1, [](int x, int) { return uint32_t(x) * 0x0100u + (x == 256); });
    EXPECT_EQ(Message([&] { image.Assign(c257); }),
              "The picture has more than 256 colours, the most a GIF holds: choose a colour "
              "reduction such as optimal (or web216, gray256) instead of none.");
}

TEST(GIFWriter, UniformRedGivesOneColourInA256EntryMap) {
    TGIFImage image;
    image.Assign(MakeRaster(20, 10, [](int, int) { return 0xFF0000u; }));
    const TGIFFrame& f = image.Frame(0);
    EXPECT_EQ(f.ColorMap().Count(), 256);
    EXPECT_EQ(f.ColorMap().Color(0), (TGIFColor{255, 0, 0}));
    EXPECT_EQ(f.ColorMap().Color(1), (TGIFColor{0, 0, 0}));
    for (uint8_t v : f.Data())
        ASSERT_EQ(v, 0);
}

TEST(GIFWriter, IndexedRastersAreCopiedWithTheirPalettes) {
    TBitmap one(10, 3, pf1bit), four(7, 2, pf4bit), eight(5, 2, pf8bit);
    one.SetPixel(3, 1, clBlack);
    one.SetPixel(9, 2, clBlack);
    four.SetPixel(6, 1, RGBColor(255, 0, 0));
    TPalette small;
    small.SetCount(3);
    small.Set(0, 1, 2, 3);
    small.Set(1, 4, 5, 6);
    small.Set(2, 7, 8, 9);
    eight.SetPalette(small);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x)
            eight.ScanLine(y)[x] = static_cast<uint8_t>(x); // 3 and 4 are invalid
    for (TBitmap* b : {&one, &four}) {
        TGIFImage image;
        image.Assign(*b);
        const TGIFFrame& f = image.Frame(0);
        EXPECT_EQ(f.ColorMap().Count(), b->Palette().Count());
        for (int y = 0; y < b->Height(); ++y)
            for (int x = 0; x < b->Width(); ++x) {
                const TGIFColor c = f.ColorMap().Color(f.Data()[y * b->Width() + x]);
                ASSERT_EQ(RGBColor(c.Red, c.Green, c.Blue), b->Pixel(x, y));
            }
        ExpectSameAsGiflib(image, SaveGIF(image));
    }
    TGIFImage image;
    std::vector<std::string> warnings;
    image.WarningHandler = [&](TGIFImage*, int, const std::string& m) { warnings.push_back(m); };
    image.Assign(eight);
    EXPECT_EQ(image.Frame(0).Data(), (std::vector<uint8_t>{0, 1, 2, 0, 0, 0, 1, 2, 0, 0}));
    EXPECT_EQ(warnings, (std::vector<std::string>{"Bitmap image is not valid"}));
}

TEST(GIFWriter, TransparentRasterGetsAGraphicControlExtensionAnd89a) {
    TBitmap src = MakeRaster(
        12, 8, [](int x, int y) { return x < 4 ? 0x00FF00u : (y < 4 ? 0xFF0000u : 0x0000FFu); });
    TGIFImage opaque;
    opaque.Assign(src);
    EXPECT_EQ(opaque.Frame(0).ExtensionCount(), 0);
    EXPECT_EQ(opaque.Version(), gv87a);
    src.SetTransparent(true);
    src.SetTransparentColor(RGBColor(0, 255, 0));
    TGIFImage image;
    image.Assign(src);
    const TGIFFrame& f = image.Frame(0);
    ASSERT_TRUE(f.Transparent());
    const int t = f.GraphicControlExtension()->TransparentColorIndex();
    EXPECT_EQ(f.ColorMap().Color(t), (TGIFColor{0, 255, 0}));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x)
            ASSERT_EQ(f.Data()[y * 12 + x] == t, x < 4);
    const std::vector<uint8_t> data = SaveGIF(image);
    EXPECT_EQ(std::string(data.begin(), data.begin() + 6), "GIF89a");
    ExpectSameAsGiflib(image, data);
}

TEST(GIFWriter, OtherGraphicsBecomeTransparentWhereTheyPaintNothing) {
    TGIFImage inner;
    TGIFFrame& f = inner.AddFrame();
    f.SetBounds(0, 0, 4, 2);
    f.ColorMap().Add({255, 0, 0});
    f.ColorMap().Add({0, 0, 255});
    for (int x = 0; x < 4; ++x)
        f.ScanLine(0)[x] = f.ScanLine(1)[x] = static_cast<uint8_t>(x & 1);
    f.AddExtension<TGIFGraphicControlExtension>().SetTransparent(true); // index 0 is transparent
    TGIFImage outer;
    outer.SetColorReduction(ReduceNone);
    outer.Assign(static_cast<const TGraphic&>(inner)); // a copy of the tree
    EXPECT_EQ(outer.Frame(0).Data(), f.Data());
    TGIFFrame& drawn = outer.AddFrame();
    drawn.Assign(static_cast<const TGraphic&>(inner)); // drawn, not copied
    ASSERT_TRUE(drawn.Transparent());
    const int t = drawn.GraphicControlExtension()->TransparentColorIndex();
    for (int x = 0; x < 4; ++x)
        EXPECT_EQ(drawn.Data()[x] == t, x % 2 == 0) << x;
}

TEST(GIFWriter, EmptyImageAndHeaderRules) {
    TGIFImage image;
    EXPECT_EQ(Message([&] { SaveGIF(image); }), "Cannot save empty GIF");
    TGIFFrame& f = image.AddFrame();
    f.SetBounds(0, 0, 3, 2);
    for (int i = 0; i < 256; ++i)
        f.ColorMap().Add({static_cast<uint8_t>(i), 0, 0});
    EXPECT_EQ(image.Version(), gv87a);
    auto& comment = f.AddExtension<TGIFCommentExtension>();
    comment.Lines = {"made here"};
    EXPECT_EQ(image.Version(), gv89a);
    image.SetWidth(70000);
    EXPECT_EQ(image.Width(), 3);
    image.SetWidth(50);
    EXPECT_EQ(image.Width(), 50);
    EXPECT_EQ(Message([&] { f.SetBounds(65000, 0, 600, 1); }), "Invalid image size");
    std::vector<std::string> warnings;
    image.WarningHandler = [&](TGIFImage*, int, const std::string& m) { warnings.push_back(m); };
    f.SetBounds(40, 0, 20, 2);
    EXPECT_EQ(image.Width(), 60);
    EXPECT_EQ(warnings, (std::vector<std::string>{"Image exceeds Logical Screen size"}));
    EXPECT_EQ(Message([&] { f.ScanLine(2); }), "Invalid pixel coordinates");
}

TEST(GIFWriter, ReportsConvertingAndSavingProgress) {
    TGIFImage image;
    std::vector<std::string> events;
    image.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t pct, bool, const TRect&,
                           const std::string& msg) {
        if (stage != psRunning)
            events.push_back(msg + (stage == psStarting ? " start " : " end ") +
                             std::to_string(pct));
    };
    image.Assign(PhotoLike(40, 70));
    SaveGIF(image);
    EXPECT_EQ(events, (std::vector<std::string>{"Converting start 0", "Converting end 100",
                                                "Saving start 0", "Saving end 100"}));
}

TEST(GIFRoundTrip, ExtensionsFramesAndFlagsReadBackTheSame) {
    TGIFImage image;
    for (int i = 0; i < 3; ++i) {
        TGIFFrame& f = image.AddFrame();
        f.SetBounds(i * 2, i, 5 + i, 4);
        f.ColorMap().Add({static_cast<uint8_t>(i * 50), 1, 2});
        f.ColorMap().Add({3, 4, 5});
        f.ColorMap().Add({6, 7, 8});
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < f.Width(); ++x)
                f.ScanLine(y)[x] = static_cast<uint8_t>((x * y + i) % 3);
        f.SetInterlaced(i == 1);
        auto& gce = f.AddExtension<TGIFGraphicControlExtension>();
        gce.Delay = static_cast<uint16_t>(10 * i + 3);
        gce.SetDisposal(i);
        if (i == 2) gce.SetTransparent(true);
    }
    auto& loop = image.Frame(0).AddExtension<TGIFAppExtNSLoop>();
    loop.Loops = 7;
    loop.BufferSize = 1234;
    auto& comment = image.Frame(2).AddExtension<TGIFCommentExtension>();
    comment.Lines = {"first line", std::string(300, 'x')};
    const std::vector<uint8_t> data = SaveGIF(image);
    for (int i = 0; i < 3; ++i)
        ExpectSameAsGiflib(image, data, i);
    TGIFImage back;
    std::vector<std::string> warnings;
    LoadGIF(back, data, &warnings);
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(back.FrameCount(), 3);
    EXPECT_EQ(SaveGIF(back), data);
    auto* l = dynamic_cast<TGIFAppExtNSLoop*>(&back.Frame(0).Extension(1));
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->Loops, 7);
    EXPECT_EQ(l->BufferSize, 1234u);
    EXPECT_EQ(dynamic_cast<TGIFCommentExtension&>(back.Frame(2).Extension(1)).Lines, comment.Lines);
    EXPECT_EQ(back.Frame(1).GraphicControlExtension()->Disposal(), 1);
    EXPECT_TRUE(back.Frame(1).Interlaced());
}

// Reading: the shared corpus against giflib

TEST(GIFReader, CorpusFilesGiflibDecodesGiveTheSameFirstFrame) {
    REQUIRE_CORPUS("gif");
    int compared = 0;
    for (const std::string& path : CorpusFiles("gif", {".gif"}, true)) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> data = ReadFileBytes(path);
        const TRefImage ref = GiflibDecode(data);
        TGIFImage image;
        std::vector<std::string> warnings;
        std::string error;
        try {
            LoadGIF(image, data, &warnings);
        } catch (const Exception& e) {
            error = e.what();
        }
        if (!ref.Ok || ref.Frames.empty()) continue; // broken files: only "no crash" holds
        ASSERT_EQ(error, "");
        ASSERT_GT(image.FrameCount(), 0);
        // Our first frame with pixels is giflib's first image.
        int first = 0;
        while (first < image.FrameCount() && image.Frame(first).Empty())
            ++first;
        const TRefFrame& rf = ref.Frames[0];
        if (rf.Width == 0 || rf.Height == 0) continue; // zero-size frames are re-sized by us
        ASSERT_LT(first, image.FrameCount());
        const TGIFFrame& f = image.Frame(first);
        ASSERT_EQ(f.Width(), rf.Width);
        ASSERT_EQ(f.Height(), rf.Height);
        EXPECT_TRUE(f.Data() == rf.Pixels);
        const TGIFColorMap& map = f.ActiveColorMap();
        for (int i = 0; i < map.Count() && i < static_cast<int>(rf.Colors.size()); ++i) {
            const TGIFColor c = map.Color(i);
            ASSERT_EQ((std::array<uint8_t, 3>{c.Red, c.Green, c.Blue}), rf.Colors[i]) << i;
        }
        ++compared;
    }
    EXPECT_GT(compared, 60);
}

TEST(GIFReader, BrokenCorpusFilesWarnOrFailWithOurMessages) {
    REQUIRE_CORPUS("gif");
    const std::pair<const char*, const char*> cases[] = {
        {"giflib/malformed/cve-2005-2974-partial-treescap.gif", "Decoder bit buffer under-run"},
        {"libnsgif/lzwoob.gif", "Invalid GIF data"},
        {"pillow/issue_2811.gif", ""},
    };
    for (auto [file, warning] : cases) {
        SCOPED_TRACE(file);
        if (!std::filesystem::exists(CorpusPath("gif/" + std::string(file)))) continue;
        TGIFImage image;
        std::vector<std::string> warnings;
        std::string error;
        try {
            LoadGIF(image, ReadFileBytes(CorpusPath("gif/" + std::string(file))), &warnings);
        } catch (const Exception& e) {
            error = e.what();
        }
        if (*warning) {
            EXPECT_NE(std::find(warnings.begin(), warnings.end(), warning), warnings.end())
                << error;
        }
    }
    // The stalling file claims 6727 x 65351 pixels: refused before any allocation.
    const std::string stall = CorpusPath("gif/image-gif/stall/issue-101-infinite-empty-loop.gif");
    if (std::filesystem::exists(stall)) {
        TGIFImage image;
        image.WarningHandler = [](TGIFImage*, int, const std::string&) {};
        EXPECT_THROW(LoadGIF(image, ReadFileBytes(stall), nullptr), EImageTooLarge);
    }
}

// Reading: lenient behaviours, each named

TEST(GIFReaderLenient, UpToFourBytesBeforeTheSignature) {
    std::vector<uint8_t> data = SmallGIF(3, 2);
    std::vector<uint8_t> four(4, 'x'), five(5, 'x');
    four.insert(four.end(), data.begin(), data.end());
    five.insert(five.end(), data.begin(), data.end());
    TGIFImage image;
    LoadGIF(image, four, nullptr);
    EXPECT_EQ(image.FrameCount(), 1);
    TMemoryStream s(five);
    s.SetPosition(0);
    EXPECT_EQ(Message([&] { image.LoadFromStream(s); }), "Invalid GIF signature");
    EXPECT_EQ(s.Position(), 0); // the position is restored on failure
}

TEST(GIFReaderLenient, LowerCaseSignatureAndMissingTrailer) {
    std::vector<uint8_t> data = SmallGIF(3, 2);
    data[0] = 'g', data[1] = 'i', data[2] = 'f';
    ASSERT_EQ(data.back(), 0x3B);
    data.pop_back();
    TGIFImage image;
    std::vector<std::string> warnings;
    LoadGIF(image, data, &warnings);
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_TRUE(warnings.empty());
}

TEST(GIFReaderLenient, ZeroBytesBetweenBlocksAreSkippedAndJunkEndsTheBlocks) {
    std::vector<uint8_t> data = SmallGIF(3, 2);
    data.insert(data.end() - 1, {0, 0, 0});
    TGIFImage image;
    std::vector<std::string> warnings;
    LoadGIF(image, data, &warnings);
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_TRUE(warnings.empty());
    data.insert(data.end() - 1, {0x55, 0x66});
    warnings.clear();
    LoadGIF(image, data, &warnings);
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(warnings,
              (std::vector<std::string>{"Unknown GIF block type", "Invalid Image trailer"}));
}

TEST(GIFReader, ACutFileFailsInsteadOfShowingTheMissingPixels) {
    TGIFImage src;
    src.SetColorReduction(ReduceGray256);
    src.DitherMethod = DitherOff;
    src.Assign(PhotoLike(60, 40));
    auto& gce = src.Frame(0).AddExtension<TGIFGraphicControlExtension>();
    gce.SetRawTransparentIndex(201);
    gce.Packed |= 1;
    std::vector<uint8_t> data = SaveGIF(src);
    data.resize(data.size() / 2);
    TGIFImage image;
    const std::string m = Message([&] { LoadGIF(image, data, nullptr); });
    EXPECT_EQ(m.rfind("The file is cut short: the picture data ends after ", 0), 0u) << m;
    EXPECT_NE(m.find(" of 40 rows."), std::string::npos) << m;
}

TEST(GIFReader, AFrameTheDataCannotHoldFailsBeforeItsPixelsAreAllocated) {
    // 16000 x 16000 declared in a file of a few dozen bytes.
    std::vector<uint8_t> data{'G',  'I',  'F',  '8',  '9', 'a', 1,   0,    1,    0, 0x80, 0,
                              0,    0,    0,    0,    255, 255, 255, 0x2C, 0,    0, 0,    0,
                              0x80, 0x3E, 0x80, 0x3E, 0,   2,   2,   0x4C, 0x01, 0, 0x3B};
    TGIFImage image;
    image.WarningHandler = [](TGIFImage*, int, const std::string&) {};
    try {
        LoadGIF(image, data, nullptr);
        ADD_FAILURE() << "loaded";
    } catch (const EImageTooLarge& e) {
        EXPECT_STREQ(e.what(),
                     "The file is too small for its declared size of 16000 x 16000 pixels.");
    }
}

TEST(GIFReaderLenient, ZeroSizeFrameTakesTheScreenSizeSwapped) {
    // 6 x 4 screen, frame declared 0 x 0: it becomes 4 wide and 6 high.
    std::vector<uint8_t> data{'G', 'I', 'F', '8', '7',  'a', 6, 0, 4, 0, 0x80, 0, 0, 0, 0,
                              0,   255, 255, 255, 0x2C, 0,   0, 0, 0, 0, 0,    0, 0, 0};
    std::vector<uint8_t> px(24, 1);
    TMemoryStream lzw;
    TLZWEncoder().Compress(lzw, px.data(), 4, 6, false, 1, 2);
    data.insert(data.end(), lzw.Data().begin(), lzw.Data().end());
    data.push_back(0x3B);
    TGIFImage image;
    std::vector<std::string> warnings;
    LoadGIF(image, data, &warnings);
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.Frame(0).Width(), 4);
    EXPECT_EQ(image.Frame(0).Height(), 6);
    EXPECT_EQ(image.Frame(0).Data(), px);
    EXPECT_EQ(image.Height(), 6); // the screen grows to cover it
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], "Image exceeds Logical Screen size");
}

TEST(GIFReaderLenient, CommentAfterTheLastImageBecomesAFrameWithoutPixels) {
    std::vector<uint8_t> data = SmallGIF(3, 2);
    data[4] = '9'; // an extension makes the file 89a
    data.insert(data.end() - 1,
                {0x21, 0xFE, 4, 'h', 'i', '\r', '\n', 0}); // lines are written with CR LF
    TGIFImage image;
    LoadGIF(image, data, nullptr);
    ASSERT_EQ(image.FrameCount(), 2);
    EXPECT_TRUE(image.Frame(1).Empty());
    EXPECT_EQ(dynamic_cast<TGIFCommentExtension&>(image.Frame(1).Extension(0)).Lines,
              (std::vector<std::string>{"hi"}));
    EXPECT_EQ(SaveGIF(image), data);
}

TEST(GIFReaderLenient, OddCodeSizesAndApplicationBlocks) {
    // Code size 12: warning and a frame without pixels, the rest still read.
    std::vector<uint8_t> data = SmallGIF(3, 2);
    const size_t codeSizePos = 13 + 10 + 6;
    ASSERT_EQ(data[codeSizePos], 2);
    std::vector<uint8_t> big = data;
    big[codeSizePos] = 12;
    big.insert(big.end() - 1, data.begin() + 13, data.end() - 1); // a second, valid image
    TGIFImage image;
    std::vector<std::string> warnings;
    LoadGIF(image, big, &warnings);
    EXPECT_EQ(warnings, (std::vector<std::string>{"Invalid GIF data"}));
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.Frame(0).Width(), 3);
    // An application block longer than 11 bytes is kept as unknown data.
    std::vector<uint8_t> app = data;
    app.insert(app.begin() + 13, {0x21, 0xFF, 13,  'A', 'B', 'C', 'D', 'E', 'F', 'G',
                                  'H',  '1',  '2', '3', 'x', 'y', 2,   9,   9,   0});
    warnings.clear();
    LoadGIF(image, app, &warnings);
    EXPECT_TRUE(warnings.empty());
    ASSERT_EQ(image.FrameCount(), 1);
    auto* unknown = dynamic_cast<TGIFUnknownAppExtension*>(&image.Frame(0).Extension(0));
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->IdentifierText(), "ABCDEFGH123");
    EXPECT_EQ(unknown->Blocks, (std::vector<std::vector<uint8_t>>{{9, 9}}));
    // An extension label without a class is skipped with a warning.
    std::vector<uint8_t> bad = data;
    bad.insert(bad.begin() + 13, {0x21, 0x77, 3, 1, 2, 3, 0});
    warnings.clear();
    LoadGIF(image, bad, &warnings);
    EXPECT_EQ(warnings, (std::vector<std::string>{"Unknown extension type"}));
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.Frame(0).ExtensionCount(), 0);
    EXPECT_EQ(image.Frame(0).Data(), SmallGIFImageData());
    // A short application block size is an error.
    bad = data;
    bad.insert(bad.begin() + 13, {0x21, 0xFF, 3, 'a', 'b', 'c', 0});
    EXPECT_EQ(Message([&] { LoadGIF(image, bad, nullptr); }),
              "Unsupported Application Extension block size");
}

TEST(GIFReaderLenient, FrameBeyondThePixelLimitFailsCleanly) {
    std::vector<uint8_t> data{'G',  'I',  'F', '8',  '9', 'a',  1,    0, 1,    0,
                              0,    0,    0,   0x2C, 0,   0,    0,    0, 0xFF, 0xFF,
                              0xFF, 0xFF, 0,   2,    2,   0x4C, 0x01, 0, 0x3B};
    const int64_t old = GetPixelLimit();
    SetPixelLimit(1 << 20);
    TGIFImage image;
    EXPECT_THROW(LoadGIF(image, data, nullptr), EImageTooLarge);
    SetPixelLimit(old);
}

TEST(GIFReader, ReportsLoadingProgressAndIsRegisteredForGif) {
    TGIFImage image;
    std::vector<std::string> events;
    image.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t pct, bool, const TRect&,
                           const std::string& msg) {
        if (stage != psRunning) events.push_back(msg + std::to_string(pct));
    };
    LoadGIF(image, SmallGIF(3, 3), nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"Loading0", "Loading100"}));
    RegisterGIFFormat();
    EXPECT_EQ(TPicture::ClassForExtension(".GIF"), TGIFImage::StaticClass());
}

// Drawing

TEST(GIFDraw, FirstFrameIsPlacedOnTheScreenScaledWithRounding) {
    TGIFImage image;
    TGIFFrame& f = image.AddFrame();
    f.SetBounds(10, 10, 20, 20);
    f.ColorMap().Add({255, 0, 0});
    f.ColorMap().Add({0, 0, 0});
    image.SetWidth(40);
    image.SetHeight(40);
    TBitmap target(80, 80, pfDevice);
    image.Draw(target.Canvas(), Rect(0, 0, 80, 80));
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            const bool inside = x >= 20 && x < 60 && y >= 20 && y < 60;
            ASSERT_EQ(target.Pixel(x, y), inside ? RGBColor(255, 0, 0) : clWhite) << x << "," << y;
        }
    // 10 * 25 / 40 = 6.25 -> 6; 30 * 25 / 40 = 18.75 -> 19.
    TBitmap odd(25, 25, pfDevice);
    image.Draw(odd.Canvas(), Rect(0, 0, 25, 25));
    EXPECT_EQ(odd.Pixel(5, 5), clWhite);
    EXPECT_EQ(odd.Pixel(6, 6), RGBColor(255, 0, 0));
    EXPECT_EQ(odd.Pixel(18, 18), RGBColor(255, 0, 0));
    EXPECT_EQ(odd.Pixel(19, 19), clWhite);
}

TEST(GIFDraw, TransparentFirstFrameLeavesWhiteAndOpaqueModeFillsTheBackground) {
    TGIFImage image;
    TGIFFrame& f = image.AddFrame();
    f.SetBounds(0, 0, 4, 1);
    f.ColorMap().Add({0, 0, 255});
    f.ColorMap().Add({0, 255, 0});
    const uint8_t px[4] = {0, 1, 0, 1};
    std::copy(px, px + 4, f.ScanLine(0));
    f.AddExtension<TGIFGraphicControlExtension>().SetTransparent(true);
    image.SetWidth(6);
    image.GlobalColorMap().Add({9, 9, 9});
    image.Header().BackgroundColorIndex = 0;
    TBitmap target(6, 1, pfDevice);
    image.Draw(target.Canvas(), Rect(0, 0, 6, 1));
    EXPECT_EQ(target.Pixel(0, 0), clWhite);
    EXPECT_EQ(target.Pixel(1, 0), RGBColor(0, 255, 0));
    EXPECT_EQ(target.Pixel(4, 0), clWhite);
    image.SetTransparent(false);
    TBitmap opaque(6, 1, pfDevice);
    image.Draw(opaque.Canvas(), Rect(0, 0, 6, 1));
    EXPECT_EQ(opaque.Pixel(0, 0), RGBColor(0, 0, 255)); // the stored colour
    EXPECT_EQ(opaque.Pixel(4, 0), RGBColor(9, 9, 9));   // background outside the frame
    // Through the picture container's path: a bitmap assigned from the image.
    TBitmap viaAssign;
    image.SetTransparent(true);
    viaAssign.Assign(image);
    EXPECT_EQ(viaAssign.Pixel(0, 0), clWhite);
}

TEST(GIFDraw, OnlyTheFirstFrameOfAnAnimationIsDrawn) {
    TGIFImage image;
    for (int i = 0; i < 2; ++i) {
        TGIFFrame& f = image.AddFrame();
        f.SetBounds(0, 0, 2, 2);
        f.ColorMap().Add({static_cast<uint8_t>(i * 200), 0, 0});
    }
    image.AnimateOnDraw = false;
    TBitmap target(2, 2, pfDevice);
    image.Draw(target.Canvas(), Rect(0, 0, 2, 2));
    EXPECT_EQ(target.Pixel(1, 1), clBlack);
}

TEST(GIFDraw, PixelIndexPastTheColourMapDrawsBlack) {
    TGIFImage image;
    TGIFFrame& f = image.AddFrame();
    f.SetBounds(0, 0, 2, 1);
    f.ColorMap().Add({255, 255, 0});
    f.ColorMap().Add({0, 255, 255});
    f.ScanLine(0)[0] = 1;
    f.ScanLine(0)[1] = 5;
    TBitmap target(2, 1, pfDevice);
    image.Draw(target.Canvas(), Rect(0, 0, 2, 1));
    EXPECT_EQ(target.Pixel(0, 0), RGBColor(0, 255, 255));
    EXPECT_EQ(target.Pixel(1, 0), clBlack);
}
