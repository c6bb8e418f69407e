// SPDX-License-Identifier: GPL-3.0-or-later
// Writing metafiles: the EMF header as recorded, the WMF form's headers, and
// round trips through our own reader and player. Headers are checked with a
// little parser of this file, not the product's.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "convert/ImageConverter.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

uint16_t U16(const std::vector<uint8_t>& d, size_t at) {
    return uint16_t(d.at(at) | (d.at(at + 1) << 8));
}
uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(U16(d, at)) | (uint32_t(U16(d, at + 2)) << 16);
}
int32_t S32(const std::vector<uint8_t>& d, size_t at) {
    return int32_t(U32(d, at));
}
int16_t S16(const std::vector<uint8_t>& d, size_t at) {
    return int16_t(U16(d, at));
}

constexpr TColor Red = RGBColor(255, 0, 0), Blue = RGBColor(0, 0, 255);

TBitmap Quadrants() {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(8, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            b.SetPixel(x, y,
                       x < 4 ? (y < 3 ? Red : Blue) : (y < 3 ? RGBColor(0, 160, 0) : clBlack));
    return b;
}

// The conversion's recording: the product's creator and description, a
// pending size, the source drawn into it.
TMetafile Record(TGraphic& source, int w, int h, bool enhanced = true) {
    TMetafile mf;
    mf.SetEnhanced(enhanced);
    {
        TMetafileCanvas canvas(mf, TImageConverter::MetafileCreator,
                               TImageConverter::MetafileDescription);
        mf.SetWidth(w);
        mf.SetHeight(h);
        source.Draw(canvas, Rect(0, 0, mf.PendingWidth(), mf.PendingHeight()));
        canvas.Close();
    }
    return mf;
}

std::vector<uint8_t> Saved(TMetafile& m) {
    TMemoryStream s;
    m.SaveToStream(s);
    return s.Data();
}

TMetafile Loaded(const std::vector<uint8_t>& bytes) {
    TMetafile m;
    TMemoryStream s(bytes);
    m.LoadFromStream(s);
    return m;
}

TBitmap Play(TMetafile& m, int w, int h) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(w, h);
    m.Draw(b.Canvas(), Rect(0, 0, w, h));
    return b;
}

// Pixels of the top-left w x h that differ by more than tol in a channel.
int Differing(const TBitmap& a, const TBitmap& b, int w, int h, int tol = 24) {
    int n = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            n += std::abs(GetRValue(p) - GetRValue(q)) > tol ||
                 std::abs(GetGValue(p) - GetGValue(q)) > tol ||
                 std::abs(GetBValue(p) - GetBValue(q)) > tol;
        }
    return n;
}

// A drawing metafile: filled shapes, a line and a bitmap, 60 x 40 pixels.
std::vector<uint8_t> DrawingEmf() {
    std::vector<uint8_t> d;
    uint32_t records = 1;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            d.push_back(uint8_t(v >> (8 * i)));
    };
    auto rec = [&](uint32_t type, std::initializer_list<int32_t> args) {
        u32(type);
        u32(8 + 4 * uint32_t(args.size()));
        for (int32_t a : args)
            u32(uint32_t(a));
        ++records;
    };
    u32(1);
    u32(88);
    for (int v : {0, 0, 59, 39, 0, 0, 60 * 2540 / 96, 40 * 2540 / 96})
        u32(uint32_t(v));
    u32(0x464D4520);
    u32(0x10000);
    u32(0);
    u32(0);
    u32(8);
    u32(0);
    u32(0);
    u32(0);
    for (int v : {960, 960, 254, 254})
        u32(uint32_t(v));
    rec(38, {1, 0, 0, 0, int32_t(Blue)}); // pen
    rec(39, {2, 0, int32_t(Red), 0});     // brush
    rec(37, {1});
    rec(37, {2});
    rec(43, {2, 2, 20, 18});  // rectangle
    rec(42, {25, 4, 55, 30}); // ellipse
    rec(39, {3, 0, int32_t(RGBColor(0, 200, 0)), 0});
    rec(37, {3});
    rec(86, {0, 0, 0, 0, 3, 5 | (36 << 16), 30 | (36 << 16), 18 | (22 << 16)}); // polygon16
    rec(27, {0, 39});                                                           // move to
    rec(54, {59, 0});                                                           // line to
    rec(14, {0, 16, 20});
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            d[at + i] = uint8_t(v >> (8 * i));
    };
    put(48, uint32_t(d.size()));
    put(52, records);
    return d;
}

} // namespace

// A 200 x 150 recording of a raster source, as saved.
TEST(MetafileWriterEmfHeader, SignatureFrameAndBounds) {
    TBitmap source = Quadrants();
    TMetafile mf = Record(source, 200, 150);
    const std::vector<uint8_t> d = Saved(mf);
    ASSERT_GE(d.size(), 108u);
    EXPECT_EQ(d, mf.EmfData()) << "EMF bytes are written as recorded";

    EXPECT_EQ(U32(d, 0), 1u);
    EXPECT_EQ(U32(d, 40), 0x464D4520u);
    EXPECT_EQ(U32(d, 48), d.size()) << "nBytes";
    // Frame: the picture's 200 x 150 pixels at 96 dpi in 0.01 mm; the
    // reference device's pixels and millimetres.
    EXPECT_EQ(S32(d, 24), 0);
    EXPECT_EQ(S32(d, 28), 0);
    EXPECT_EQ(S32(d, 32), 5292); // 200 x 2540 / 96 = 5291.7
    EXPECT_EQ(S32(d, 36), 3969); // 150 x 2540 / 96 = 3968.75
    EXPECT_EQ(S32(d, 72), 1920);
    EXPECT_EQ(S32(d, 76), 1080);
    EXPECT_EQ(S32(d, 80), 508);
    EXPECT_EQ(S32(d, 84), 286);
    // Bounds: the drawn rectangle, inclusive.
    EXPECT_EQ(S32(d, 8), 0);
    EXPECT_EQ(S32(d, 12), 0);
    EXPECT_EQ(S32(d, 16), 199);
    EXPECT_EQ(S32(d, 20), 149);
    EXPECT_EQ(mf.Width(), 200);
    EXPECT_EQ(mf.Height(), 150);
}

// Records: walked by size, counted, handles named by creations and selections.
TEST(MetafileWriterEmfHeader, RecordCountsAndHandles) {
    TBitmap source = Quadrants();
    TMetafile mf = Record(source, 200, 150);
    const std::vector<uint8_t> d = Saved(mf);
    const uint32_t headerSize = U32(d, 4);
    ASSERT_EQ(headerSize % 4, 0u);
    size_t pos = headerSize;
    uint32_t count = 1, maxHandle = 0, stretch = 0, lastType = 0;
    while (pos + 8 <= d.size()) {
        const uint32_t type = U32(d, pos), size = U32(d, pos + 4);
        ASSERT_GE(size, 8u);
        ASSERT_EQ(size % 4, 0u);
        ASSERT_LE(pos + size, d.size());
        if (type >= 38 && type <= 40) maxHandle = std::max(maxHandle, U32(d, pos + 8));
        if (type == 81) ++stretch;
        ++count;
        lastType = type;
        pos += size;
        if (type == 14) break;
    }
    EXPECT_EQ(pos, d.size());
    EXPECT_EQ(lastType, 14u);
    EXPECT_EQ(U32(d, 52), count) << "nRecords";
    EXPECT_GE(U16(d, 56), std::max<uint32_t>(1, maxHandle + 1)) << "nHandles (index 0 reserved)";
    EXPECT_EQ(stretch, 1u) << "a raster source is one stretched-bitmap record";
    // The EOF record repeats its own size at its end.
    EXPECT_EQ(U32(d, d.size() - 4), 20u);
}

// Description: "Trevasco", 0, the product page, 0, 0, in UTF-16, inside the header.
TEST(MetafileWriterEmfHeader, DescriptionNamesTheProgram) {
    ASSERT_STREQ(TImageConverter::MetafileCreator, "Trevasco");
    ASSERT_STREQ(TImageConverter::MetafileDescription, "https://trevasco.kelvane.org/");
    TBitmap source = Quadrants();
    TMetafile mf = Record(source, 200, 150);
    const std::vector<uint8_t> d = Saved(mf);
    const uint32_t headerSize = U32(d, 4);
    const std::u16string expected =
        std::u16string(u"Trevasco") + u'\0' + u"https://trevasco.kelvane.org/" + u'\0' + u'\0';
    const uint32_t chars = U32(d, 60), offset = U32(d, 64);
    ASSERT_EQ(chars, expected.size());
    ASSERT_GE(offset, 88u);
    ASSERT_LE(offset + 2 * chars, headerSize);
    std::u16string got;
    for (uint32_t i = 0; i < chars; ++i)
        got += char16_t(U16(d, offset + 2 * i));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(mf.Creator(), "Trevasco");
    EXPECT_EQ(mf.Description(), "https://trevasco.kelvane.org/");
}

TEST(MetafileWriter, WmfFormHeaders) {
    for (bool fromMetafile : {false, true}) {
        TBitmap bitmap = Quadrants();
        TMetafile drawing = Loaded(DrawingEmf());
        TGraphic& source = fromMetafile ? static_cast<TGraphic&>(drawing) : bitmap;
        TMetafile mf = Record(source, 120, 80, false);
        const std::vector<uint8_t> d = Saved(mf);
        ASSERT_GE(d.size(), 22u + 18u + 6u);
        EXPECT_EQ(d, mf.WmfData());

        // Placeable header: key, zero handle, box of the picture's own
        // pixels at 96 units per inch, zero reserved, XOR checksum.
        EXPECT_EQ(U32(d, 0), 0x9AC6CDD7u);
        EXPECT_EQ(U16(d, 4), 0);
        EXPECT_EQ(S16(d, 6), 0);
        EXPECT_EQ(S16(d, 8), 0);
        EXPECT_EQ(S16(d, 10), 120);
        EXPECT_EQ(S16(d, 12), 80);
        EXPECT_EQ(U16(d, 14), 96);
        EXPECT_EQ(U32(d, 16), 0u);
        uint16_t sum = 0;
        for (size_t i = 0; i < 20; i += 2)
            sum ^= U16(d, i);
        EXPECT_EQ(U16(d, 20), sum) << "checksum";

        // Metafile header: memory type, 9 words, version 3, size in words,
        // object count, largest record.
        const size_t h = 22;
        EXPECT_EQ(U16(d, h), 1);
        EXPECT_EQ(U16(d, h + 2), 9);
        EXPECT_EQ(U16(d, h + 4), 0x0300);
        EXPECT_EQ(size_t(U32(d, h + 6)) * 2, d.size() - h) << "mtSize counts words";
        EXPECT_EQ((d.size() - h) % 2, 0u);
        EXPECT_EQ(U16(d, h + 16), 0) << "mtNoParameters";

        size_t pos = h + 18;
        uint32_t maxRecord = 0, bitmaps = 0, shapes = 0;
        int live = 0, maxLive = 0;
        uint16_t last = 0xFFFF;
        while (pos + 6 <= d.size()) {
            const uint32_t words = U32(d, pos);
            const uint16_t fn = U16(d, pos + 4);
            ASSERT_GE(words, 3u);
            ASSERT_LE(pos + size_t(words) * 2, d.size());
            maxRecord = std::max(maxRecord, words);
            if (fn == 0x02FA || fn == 0x02FB || fn == 0x02FC || fn == 0x0142 || fn == 0x01F9 ||
                fn == 0x06FF || fn == 0x00F7)
                maxLive = std::max(maxLive, ++live);
            if (fn == 0x01F0) --live;
            if (fn == 0x0F43 || fn == 0x0B41 || fn == 0x0940 || fn == 0x0B23 || fn == 0x0922)
                ++bitmaps;
            if (fn == 0x041B || fn == 0x0418 || fn == 0x0324 || fn == 0x0538 || fn == 0x0213)
                ++shapes;
            last = fn;
            pos += size_t(words) * 2;
            if (fn == 0) break;
        }
        EXPECT_EQ(pos, d.size());
        EXPECT_EQ(last, 0) << "ends with META_EOF";
        EXPECT_EQ(U32(d, h + 12), maxRecord) << "mtMaxRecord";
        EXPECT_GE(U16(d, h + 10), maxLive) << "mtNoObjects";
        if (fromMetafile) {
            EXPECT_EQ(bitmaps, 0u) << "a metafile source keeps its drawing records";
            EXPECT_GE(shapes, 4u);
        } else {
            EXPECT_EQ(bitmaps, 1u) << "a raster source is one bitmap record";
        }
        // Read back, the placeable box gives the picture's size again.
        TMetafile back = Loaded(d);
        EXPECT_EQ(back.Width(), 120);
        EXPECT_EQ(back.Height(), 80);
    }
}

TEST(MetafileWriter, SavedEmfReadsBackToTheSameBytesAndPixels) {
    TMetafile original = Loaded(DrawingEmf());
    ASSERT_EQ(original.Width(), 60);
    ASSERT_EQ(original.Height(), 40);
    const std::vector<uint8_t> saved = Saved(original);
    EXPECT_EQ(saved, DrawingEmf()) << "an EMF we read is written as it was";
    TMetafile back = Loaded(saved);
    const TBitmap a = Play(original, 60, 40), b = Play(back, 60, 40);
    EXPECT_EQ(Differing(a, b, 60, 40, 0), 0);
}

TEST(MetafileWriter, RecordedMetafileSourcePlaysLikeTheOriginal) {
    // The conversion of a metafile: its records replayed into a 120 x 80
    // recording, saved, read back and played at its own size, compared with
    // the original played at 120 x 80.
    TMetafile original = Loaded(DrawingEmf());
    const TBitmap expected = Play(original, 120, 80);
    EXPECT_GT(Differing(expected, TBitmap(120, 80, pf24bit), 120, 80), 1000) << "something drawn";
    for (bool enhanced : {true, false}) {
        TMetafile recorded = Record(original, 120, 80, enhanced);
        TMetafile back = Loaded(Saved(recorded));
        ASSERT_EQ(back.Width(), 120);
        ASSERT_EQ(back.Height(), 80);
        const TBitmap got = Play(back, 120, 80);
        // Edges may move by a pixel through the rescaling; the rest matches.
        EXPECT_LT(Differing(expected, got, 120, 80), 120 * 80 / 25) << (enhanced ? "EMF" : "WMF");
    }
}

TEST(MetafileWriter, RecordedRasterSourcePlaysBackAsTheBitmap) {
    TBitmap source = Quadrants();
    for (bool enhanced : {true, false}) {
        TMetafile recorded = Record(source, 80, 60, enhanced);
        TMetafile back = Loaded(Saved(recorded));
        ASSERT_EQ(back.Width(), 80);
        ASSERT_EQ(back.Height(), 60);
        const TBitmap got = Play(back, 80, 60);
        // Each source pixel became a 10 x 10 block; compare block centres.
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x)
                EXPECT_EQ(got.Pixel(10 * x + 5, 10 * y + 5), source.Pixel(x, y))
                    << x << "," << y << (enhanced ? " EMF" : " WMF");
    }
}

TEST(MetafileWriter, NothingRecordedWritesNothing) {
    TMetafile empty;
    EXPECT_TRUE(Saved(empty).empty());
    EXPECT_TRUE(empty.WmfData().empty());
}
