// SPDX-License-Identifier: GPL-3.0-or-later
#include "metafile/Metafile.h"
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace {

// ---- an independent little-endian reader and record walkers (not the product's code)

uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
    return uint16_t(d.at(at) | (d.at(at + 1) << 8));
}
uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(d.at(at)) | (uint32_t(d.at(at + 1)) << 8) | (uint32_t(d.at(at + 2)) << 16) |
           (uint32_t(d.at(at + 3)) << 24);
}
int32_t Le32s(const std::vector<uint8_t>& d, size_t at) {
    return int32_t(Le32(d, at));
}

struct EmfRec {
    uint32_t Type;
    size_t At, Size;
};

// Walks an EMF as a reader that knows only the record framing would, and
// checks the header's totals against what it found.
std::vector<EmfRec> WalkEmf(const std::vector<uint8_t>& d) {
    std::vector<EmfRec> out;
    EXPECT_GE(d.size(), 88u);
    EXPECT_EQ(Le32(d, 0), 1u);
    EXPECT_EQ(Le32(d, 40), 0x464D4520u);
    EXPECT_EQ(Le32(d, 48), d.size()) << "nBytes";
    size_t pos = 0;
    uint32_t maxHandle = 0;
    while (pos < d.size()) {
        const uint32_t type = Le32(d, pos), size = Le32(d, pos + 4);
        EXPECT_GE(size, 8u);
        EXPECT_EQ(size % 4, 0u);
        EXPECT_LE(pos + size, d.size());
        if (size < 8 || pos + size > d.size()) break;
        out.push_back({type, pos, size});
        // Object-creating records name their handle first.
        if (type == 38 || type == 39 || type == 82 || type == 94 || type == 95)
            maxHandle = std::max(maxHandle, Le32(d, pos + 8));
        pos += size;
        if (type == 14) break;
    }
    EXPECT_EQ(pos, d.size()) << "bytes after EOF";
    EXPECT_FALSE(out.empty());
    if (!out.empty()) {
        EXPECT_EQ(out.back().Type, 14u);
    }
    EXPECT_EQ(Le32(d, 52), out.size()) << "nRecords";
    EXPECT_GT(Le16(d, 56), maxHandle) << "nHandles covers every handle";
    return out;
}

struct WmfRec {
    uint16_t Fn;
    size_t At, Bytes;
};

std::vector<WmfRec> WalkWmf(const std::vector<uint8_t>& d) {
    std::vector<WmfRec> out;
    EXPECT_GE(d.size(), 40u);
    EXPECT_EQ(Le32(d, 0), 0x9AC6CDD7u);
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum ^= Le16(d, i);
    EXPECT_EQ(Le16(d, 20), sum) << "placeable checksum";
    const size_t head = 22;
    EXPECT_EQ(Le16(d, head + 2), 9) << "header words";
    EXPECT_EQ(Le32(d, head + 6) * 2, d.size() - head) << "mtSize";
    const uint16_t objects = Le16(d, head + 10);
    uint32_t maxRecord = 0;
    int live = 0;
    size_t pos = head + 18;
    while (pos + 6 <= d.size()) {
        const uint32_t words = Le32(d, pos);
        const uint16_t fn = Le16(d, pos + 4);
        EXPECT_GE(words, 3u);
        EXPECT_LE(pos + size_t(words) * 2, d.size());
        if (words < 3 || pos + size_t(words) * 2 > d.size()) break;
        out.push_back({fn, pos, size_t(words) * 2});
        maxRecord = std::max(maxRecord, words);
        if (fn == 0x02FA || fn == 0x02FB || fn == 0x02FC || fn == 0x0142 || fn == 0x06FF) ++live;
        if (fn == 0x01F0) --live;
        EXPECT_LE(live, objects) << "more live objects than the header declares";
        pos += size_t(words) * 2;
        if (fn == 0) break;
    }
    EXPECT_EQ(pos, d.size());
    EXPECT_FALSE(out.empty());
    if (!out.empty()) {
        EXPECT_EQ(out.back().Fn, 0);
    }
    EXPECT_EQ(Le32(d, head + 12), maxRecord) << "mtMaxRecord";
    return out;
}

template <class R, class T> size_t CountOf(const std::vector<R>& recs, T type) {
    size_t n = 0;
    for (const R& r : recs)
        if constexpr (std::is_same_v<R, EmfRec>)
            n += r.Type == static_cast<uint32_t>(type);
        else
            n += r.Fn == static_cast<uint16_t>(type);
    return n;
}

// ---- a hand-made EMF for golden renderings

struct EmfBuilder {
    std::vector<uint8_t> D;
    uint32_t Records = 0;
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            D.push_back(uint8_t(v >> (8 * i)));
    }
    void Rec(uint32_t type, std::initializer_list<int32_t> args) {
        U32(type);
        U32(8 + 4 * uint32_t(args.size()));
        for (int32_t a : args)
            U32(uint32_t(a));
        ++Records;
    }
    // A w x h picture at 96 dpi: one logical unit is one pixel.
    EmfBuilder(int w, int h) {
        U32(1);
        U32(88);
        for (int32_t v : {0, 0, w - 1, h - 1, 0, 0, w * 2540 / 96, h * 2540 / 96})
            U32(uint32_t(v));
        U32(0x464D4520);
        U32(0x10000);
        U32(0); // bytes
        U32(0); // records
        U32(8); // handles (16 bits) and reserved
        U32(0);
        U32(0);
        U32(0);
        for (int32_t v : {960, 960, 254, 254})
            U32(uint32_t(v));
        Records = 1;
    }
    std::vector<uint8_t> Finish() {
        Rec(14, {0, 16, 20});
        auto put = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                D[at + i] = uint8_t(v >> (8 * i));
        };
        put(48, uint32_t(D.size()));
        put(52, Records);
        return D;
    }
};

TBitmap White(int w, int h) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(w, h);
    return b;
}

TMetafile FromBytes(const std::vector<uint8_t>& bytes) {
    TMetafile m;
    TMemoryStream s(bytes);
    m.LoadFromStream(s);
    return m;
}

TBitmap Render(TMetafile& m, int w, int h) {
    TBitmap b = White(w, h);
    m.Draw(b.Canvas(), Rect(0, 0, w, h));
    return b;
}

// Mean absolute channel difference over the common area.
double MeanDiff(const TBitmap& a, const TBitmap& b) {
    const int w = std::min(a.Width(), b.Width()), h = std::min(a.Height(), b.Height());
    std::vector<uint8_t> ra(size_t(a.Width()) * 4), rb(size_t(b.Width()) * 4);
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        a.GetRowBGRX(y, ra.data());
        b.GetRowBGRX(y, rb.data());
        for (int x = 0; x < w * 4; ++x)
            if (x % 4 != 3) sum += std::abs(int(ra[x]) - int(rb[x]));
    }
    return sum / (double(w) * h * 3);
}

TBitmap Checker(int w, int h) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetPixel(x, y,
                       ((x / 4 + y / 4) % 2) ? RGBColor(200, 30, 40) : RGBColor(10, 120, 250));
    return b;
}

// The conversion's sequence for a WMF or EMF destination.
TMetafile Convert(TGraphic& source, bool enhanced, int w, int h) {
    TMetafile mf;
    mf.SetEnhanced(enhanced);
    {
        TMetafileCanvas canvas(mf, "Trevasco", "https://trevasco.example/");
        mf.SetWidth(w);
        mf.SetHeight(h);
        EXPECT_EQ(mf.PendingWidth(), w);
        source.Draw(canvas, Rect(0, 0, mf.PendingWidth(), mf.PendingHeight()));
        canvas.Close();
    }
    return mf;
}

std::vector<uint8_t> SavedBytes(TMetafile& m, const std::string& name) {
    TTempFolder tmp;
    m.SaveToFile(tmp.File(name));
    return ReadFileBytes(tmp.File(name));
}

} // namespace

// ---------------------------------------------------------------- recording and writing

// Source offsets anywhere in the 32-bit range (a fuzzer found INT_MIN being
// negated) draw nothing sensible but must not overflow.
TEST(TMetafile, BitmapRecordsWithExtremeSourceOffsetsPlay) {
    TBitmap src = Checker(16, 12);
    TMetafile good = Convert(src, true, 32, 24);
    const std::vector<uint8_t> emf = good.EmfData();
    const auto recs = WalkEmf(emf);
    const auto bitmap =
        std::find_if(recs.begin(), recs.end(), [](const EmfRec& r) { return r.Type == 81; });
    ASSERT_NE(bitmap, recs.end());
    const int32_t extremes[] = {INT32_MIN, INT32_MAX, -1};
    for (int32_t xs : extremes)
        for (int32_t ys : extremes) {
            std::vector<uint8_t> bad = emf;
            for (int i = 0; i < 4; ++i) {
                bad[bitmap->At + 32 + i] = static_cast<uint8_t>(uint32_t(xs) >> (8 * i));
                bad[bitmap->At + 36 + i] = static_cast<uint8_t>(uint32_t(ys) >> (8 * i));
            }
            TMetafile m = FromBytes(bad);
            TBitmap out = Render(m, 32, 24);
            EXPECT_EQ(out.Width(), 32);
        }
}

TEST(TMetafileCanvas, RasterSourceBecomesOneBitmapRecordInBothForms) {
    TBitmap src = Checker(64, 48);
    TMetafile mf = Convert(src, true, 640, 480);
    const std::vector<uint8_t>& emf = mf.EmfData();
    const auto recs = WalkEmf(emf);
    ASSERT_EQ(CountOf(recs, 81), 1u) << "one EMR_STRETCHDIBITS";
    for (const EmfRec& r : recs)
        EXPECT_TRUE(r.Type == 1 || r.Type == 14 || r.Type == 81 || r.Type == 21) << r.Type;
    for (const EmfRec& r : recs)
        if (r.Type == 81) {
            EXPECT_EQ(Le32s(emf, r.At + 24), 0);   // xDest
            EXPECT_EQ(Le32s(emf, r.At + 28), 0);   // yDest
            EXPECT_EQ(Le32s(emf, r.At + 40), 64);  // cxSrc
            EXPECT_EQ(Le32s(emf, r.At + 44), 48);  // cySrc
            EXPECT_EQ(Le32s(emf, r.At + 72), 640); // cxDest
            EXPECT_EQ(Le32s(emf, r.At + 76), 480); // cyDest
            EXPECT_EQ(Le32(emf, r.At + 68), 0x00CC0020u);
        }
    const auto wmf = WalkWmf(mf.WmfData());
    EXPECT_EQ(CountOf(wmf, 0x0F43), 1u) << "one META_STRETCHDIB";
}

TEST(TMetafileCanvas, BothFormsDeclareThePicturesOwnSize) {
    TBitmap src = Checker(10, 10);
    TMetafile e = Convert(src, true, 100, 50);
    const std::vector<uint8_t>& emf = e.EmfData();
    // The frame: 100 x 50 pixels at 96 dpi in 0.01 mm; the reference device stays.
    EXPECT_EQ(Le32s(emf, 24), 0);
    EXPECT_EQ(Le32s(emf, 28), 0);
    EXPECT_EQ(Le32s(emf, 32), 2646) << "100 px x 2540 / 96";
    EXPECT_EQ(Le32s(emf, 36), 1323) << "50 px x 2540 / 96";
    EXPECT_EQ(Le32s(emf, 72), 1920);
    EXPECT_EQ(Le32s(emf, 76), 1080);
    EXPECT_EQ(e.Width(), 100);
    EXPECT_EQ(e.Height(), 50);
    // Bounds: the drawn pixels.
    EXPECT_EQ(Le32s(emf, 16), 99);
    EXPECT_EQ(Le32s(emf, 20), 49);

    TMetafile w = Convert(src, false, 100, 50);
    const std::vector<uint8_t> wmf = SavedBytes(w, "out.wmf");
    // Golden placeable header: key, handle, box 0,0,100,50, 96 units per inch, checksum.
    const std::vector<uint8_t> golden = {0xD7, 0xCD, 0xC6, 0x9A, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x00, 0x64, 0x00, 0x32, 0x00, 0x60, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x27, 0x57};
    ASSERT_GE(wmf.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>(wmf.begin(), wmf.begin() + 22), golden);
    WalkWmf(wmf);
    // Read back, the WMF reports the same size.
    TMetafile back = FromBytes(wmf);
    EXPECT_EQ(back.Width(), 100);
    EXPECT_EQ(back.Height(), 50);
    EXPECT_FALSE(back.Enhanced());
}

TEST(TMetafileCanvas, WithoutASizeTheFrameIsTheWholeReferenceSurface) {
    // A recording whose metafile got no size keeps the reference surface as its page.
    TMetafile mf;
    {
        TMetafileCanvas canvas(mf, "", "");
        canvas.BrushColor = RGBColor(255, 0, 0);
        canvas.FillRect(Rect(0, 0, 10, 10));
    }
    const std::vector<uint8_t>& emf = mf.EmfData();
    EXPECT_EQ(Le32s(emf, 32), 50800);
    EXPECT_EQ(Le32s(emf, 36), 28600);
}

TEST(TMetafileCanvas, DescriptionBlockAndItsAbsence) {
    TBitmap src = Checker(4, 4);
    TMetafile m = Convert(src, true, 4, 4);
    EXPECT_EQ(m.Creator(), "Trevasco");
    EXPECT_EQ(m.Description(), "https://trevasco.example/");
    const std::vector<uint8_t>& d = m.EmfData();
    const uint32_t n = Le32(d, 60), off = Le32(d, 64);
    const std::string expect =
        std::string("Trevasco") + '\0' + "https://trevasco.example/" + '\0' + '\0';
    ASSERT_EQ(n, expect.size());
    for (uint32_t i = 0; i < n; ++i)
        EXPECT_EQ(Le16(d, off + 2 * i), uint8_t(expect[i]));

    TMetafile plain;
    { TMetafileCanvas c(plain, "", ""); } // the destructor closes
    EXPECT_EQ(Le32(plain.EmfData(), 60), 0u);
    EXPECT_EQ(Le32(plain.EmfData(), 64), 0u);
    WalkEmf(plain.EmfData());
}

TEST(TMetafileCanvas, MetafileSourceKeepsItsDrawingRecords) {
    REQUIRE_CORPUS("wmf-emf/libwmf/fjftest.wmf");
    TMetafile src;
    src.LoadFromFile(CorpusPath("wmf-emf/libwmf/fjftest.wmf"));
    const int w = src.Width(), h = src.Height();
    TMetafile out = Convert(src, true, w, h);
    const auto recs = WalkEmf(out.EmfData());
    EXPECT_EQ(CountOf(recs, 81), 0u) << "no bitmap";
    EXPECT_GE(CountOf(recs, 42), 1u) << "ellipse";
    EXPECT_GE(CountOf(recs, 47), 1u) << "pie";
    EXPECT_GE(CountOf(recs, 45), 1u) << "arc";
    const auto wmf = WalkWmf(out.WmfData());
    EXPECT_GE(CountOf(wmf, 0x0418), 1u) << "META_ELLIPSE";
    EXPECT_GE(CountOf(wmf, 0x081A), 1u) << "META_PIE";

    // The re-recorded picture looks like the source where it was placed.
    const TBitmap direct = Render(src, w, h);
    ASSERT_EQ(out.Width(), w);
    ASSERT_EQ(out.Height(), h);
    TBitmap replay = White(w, h);
    out.Draw(replay.Canvas(), Rect(0, 0, w, h));
    EXPECT_LT(MeanDiff(direct, replay), 6.0);
    TMetafile wmfBack = FromBytes(out.WmfData());
    TBitmap viaWmf = White(w, h);
    wmfBack.Draw(viaWmf.Canvas(), Rect(0, 0, w, h));
    EXPECT_LT(MeanDiff(direct, viaWmf), 8.0);
}

TEST(TMetafileCanvas, FillRectAndMaskedVariantsRenderAsDrawn) {
    TMetafile mf;
    {
        TMetafileCanvas c(mf, "a", "b");
        c.BrushColor = RGBColor(0, 128, 0);
        c.FillRect(Rect(10, 10, 20, 15));
        TBitmap img = Checker(4, 4);
        TBitmap mask;
        mask.SetPixelFormat(pf1bit);
        mask.SetSize(4, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                mask.SetPixel(x, y, x < 2 ? clWhite : clBlack);
        c.StretchBitmapMasked(Rect(30, 30, 38, 38), img, mask);
    }
    TBitmap out = White(1920, 1081);
    mf.Draw(out.Canvas(), Rect(0, 0, 1920, 1080));
    EXPECT_EQ(out.Pixel(10, 10), RGBColor(0, 128, 0));
    EXPECT_EQ(out.Pixel(19, 14), RGBColor(0, 128, 0));
    EXPECT_EQ(out.Pixel(20, 14), clWhite) << "right edge exclusive";
    EXPECT_EQ(out.Pixel(19, 15), clWhite) << "bottom edge exclusive";
    EXPECT_EQ(out.Pixel(9, 10), clWhite);
    EXPECT_EQ(out.Pixel(31, 31), clWhite) << "masked part untouched";
    EXPECT_NE(out.Pixel(36, 31), clWhite) << "unmasked part drawn";
    const auto wmf = WalkWmf(mf.WmfData());
    EXPECT_EQ(CountOf(wmf, 0x0F43), 2u) << "mask and colours as two raster operations";
}

TEST(TMetafile, SaveFormFollowsFlagAndExtension) {
    TBitmap src = Checker(8, 8);
    TMetafile m = Convert(src, true, 8, 8);
    EXPECT_EQ(Le32(SavedBytes(m, "a.emf"), 0), 1u);
    EXPECT_EQ(Le32(SavedBytes(m, "a.WMF"), 0), 0x9AC6CDD7u) << "extension compared in lower case";
    EXPECT_TRUE(m.Enhanced()) << "the flag survives the save";
    m.SetEnhanced(false);
    EXPECT_EQ(Le32(SavedBytes(m, "a.emf"), 0), 0x9AC6CDD7u);
    // Bytes as recorded.
    m.SetEnhanced(true);
    EXPECT_EQ(SavedBytes(m, "b.emf"), m.EmfData());
}

TEST(TMetafile, ProgressReportedWhileSavingAndDrawing) {
    TBitmap src = Checker(8, 8);
    TMetafile m = Convert(src, true, 8, 8);
    std::vector<int> seen;
    m.OnProgress = [&](TGraphic*, TProgressStage, uint8_t pct, bool, const TRect&,
                       const std::string&) { seen.push_back(pct); };
    SavedBytes(m, "p.emf");
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
}

// ---------------------------------------------------------------- reading

TEST(TMetafile, SizesFollowTheDeclaredUnits) {
    // EMF: frame in 0.01 mm.
    EmfBuilder b(200, 100);
    TMetafile e = FromBytes(b.Finish());
    EXPECT_EQ(e.Width(), 200);
    EXPECT_EQ(e.Height(), 100);

    // Placeable WMF: box x 96 / units per inch.
    std::vector<uint8_t> wmf = {
        0xD7, 0xCD, 0xC6, 0x9A, 0,    0, 0, 0, 0, 0, 0xE8,
        0x03, 0xF4, 0x01, 0xE8, 0x03, 0, 0, 0, 0, 0, 0}; // box 1000 x 500 at 1000/inch
    const std::vector<uint8_t> body = {1, 0, 9, 0, 0, 3, 12, 0, 0, 0, 0, 0,
                                       3, 0, 0, 0, 0, 0, 3,  0, 0, 0, 0, 0};
    wmf.insert(wmf.end(), body.begin(), body.end());
    TMetafile p = FromBytes(wmf);
    EXPECT_EQ(p.Width(), 96);
    EXPECT_EQ(p.Height(), 48);

    // Plain WMF: the first SetWindowExt (y, x) gives pixels.
    std::vector<uint8_t> plain = {
        1, 0, 9, 0, 0, 3, 17, 0, 0,    0,    0,  0, 5,  0,
        0, 0, 0, 0, 5, 0, 0,  0, 0x0C, 0x02, 40, 0, 70, 0, // SetWindowExt(70, 40)
        3, 0, 0, 0, 0, 0};
    TMetafile q = FromBytes(plain);
    EXPECT_EQ(q.Width(), 70);
    EXPECT_EQ(q.Height(), 40);

    // Without one it cannot be sized.
    std::vector<uint8_t> none = {1, 0, 9, 0, 0, 3, 12, 0, 0, 0, 0, 0,
                                 3, 0, 0, 0, 0, 0, 3,  0, 0, 0, 0, 0};
    EXPECT_THROW(FromBytes(none), EInvalidGraphic);
}

TEST(TMetafile, DamagedDataIsRefusedCleanly) {
    EmfBuilder b(50, 50);
    b.Rec(43, {1, 1, 10, 10});
    const std::vector<uint8_t> good = b.Finish();
    EXPECT_NO_THROW(FromBytes(good));
    // Cut short: no EOF record.
    EXPECT_THROW(FromBytes(std::vector<uint8_t>(good.begin(), good.end() - 20)), EInvalidGraphic);
    // A record longer than the data.
    std::vector<uint8_t> longRec = good;
    longRec[88 + 4] = 0xF0;
    EXPECT_THROW(FromBytes(longRec), EInvalidGraphic);
    // A record size below the 8-byte minimum would loop forever.
    std::vector<uint8_t> zero = good;
    zero[88 + 4] = 0;
    EXPECT_THROW(FromBytes(zero), EInvalidGraphic);
    // A description outside the header.
    std::vector<uint8_t> desc = good;
    desc[60] = 200;
    desc[64] = 88;
    EXPECT_THROW(FromBytes(desc), EInvalidGraphic);
    // Not a metafile at all, and nothing.
    EXPECT_THROW(FromBytes({'G', 'I', 'F', '8', '9', 'a', 0, 0}), EInvalidGraphic);
    EXPECT_THROW(FromBytes({}), EInvalidGraphic);
    // A WMF record running past the end.
    std::vector<uint8_t> wmf = {1, 0, 9, 0, 0,    3, 17, 0, 0,    0,    0,  0, 5,  0,
                                0, 0, 0, 0, 0x50, 0, 0,  0, 0x0C, 0x02, 40, 0, 70, 0};
    EXPECT_THROW(FromBytes(wmf), EInvalidGraphic);
}

TEST(TMetafile, UnknownAndDamagedRecordContentsAreSkipped) {
    EmfBuilder b(40, 40);
    b.Rec(39, {1, 0, 0x0000FF, 0}); // red brush into handle 1
    b.Rec(37, {1});
    b.Rec(37, {int32_t(0x80000008)}); // null pen
    b.Rec(250, {1, 2, 3});            // unknown record type
    b.Rec(37, {5000});                // handle outside the table
    b.Rec(86, {0, 0, 0, 0, 100000});  // polygon claiming more points than it has
    b.Rec(84, {0, 0, 0, 0, 1, 0, 0, 5, 5, 9999, 0x7FFFFFF0, 0, 0, 0, 0, 0, 0}); // text past the end
    b.Rec(43, {5, 5, 15, 15});
    TMetafile m = FromBytes(b.Finish());
    TBitmap out = Render(m, 40, 40);
    EXPECT_EQ(out.Pixel(5, 5), RGBColor(255, 0, 0));
    EXPECT_EQ(out.Pixel(13, 13), RGBColor(255, 0, 0));
    EXPECT_EQ(out.Pixel(14, 14), clWhite) << "a rectangle without pen is one pixel smaller";
}

// ---------------------------------------------------------------- playback

TEST(TMetafilePlayback, RectangleAndEllipseLandOnGdiPixels) {
    EmfBuilder b(64, 64);
    b.Rec(39, {1, 0, 0x00FF0000, 0}); // blue brush
    b.Rec(37, {1});
    b.Rec(43, {10, 10, 20, 20}); // black cosmetic pen by default
    b.Rec(42, {30, 30, 50, 40});
    TMetafile m = FromBytes(b.Finish());
    TBitmap out = Render(m, 64, 64);
    // Outline on the first and last pixel inside the box, fill inside.
    EXPECT_EQ(out.Pixel(10, 10), clBlack);
    EXPECT_EQ(out.Pixel(19, 19), clBlack);
    EXPECT_EQ(out.Pixel(19, 14), clBlack);
    EXPECT_EQ(out.Pixel(20, 14), clWhite) << "right edge excluded";
    EXPECT_EQ(out.Pixel(14, 20), clWhite) << "bottom edge excluded";
    EXPECT_EQ(out.Pixel(15, 15), RGBColor(0, 0, 255));
    // Ellipse: centre filled, corners of its box untouched, extremes on the outline.
    EXPECT_EQ(out.Pixel(40, 35), RGBColor(0, 0, 255));
    EXPECT_EQ(out.Pixel(30, 30), clWhite);
    EXPECT_EQ(out.Pixel(49, 39), clWhite);
    EXPECT_EQ(out.Pixel(30, 35), clBlack);
    EXPECT_EQ(out.Pixel(50, 35), clWhite);
}

TEST(TMetafilePlayback, ScalesIntoTheRectangleAndLeavesOtherPixels) {
    EmfBuilder b(10, 10);
    b.Rec(39, {1, 0, 0x000000FF, 0});
    b.Rec(37, {1});
    b.Rec(37, {int32_t(0x80000008)});
    b.Rec(43, {0, 0, 6, 6}); // fills 0..4 at 1:1
    TMetafile m = FromBytes(b.Finish());
    TBitmap out;
    out.SetPixelFormat(pf24bit);
    out.SetSize(60, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x)
            out.SetPixel(x, y, RGBColor(1, 2, 3));
    m.Draw(out.Canvas(), Rect(20, 10, 40, 30)); // twice the size
    EXPECT_EQ(out.Pixel(20, 10), RGBColor(255, 0, 0));
    EXPECT_EQ(out.Pixel(29, 19), RGBColor(255, 0, 0));
    EXPECT_EQ(out.Pixel(31, 21), RGBColor(1, 2, 3)) << "not painted, kept";
    EXPECT_EQ(out.Pixel(19, 10), RGBColor(1, 2, 3)) << "outside the rectangle";
    EXPECT_EQ(out.Pixel(0, 0), RGBColor(1, 2, 3));
}

TEST(TMetafilePlayback, MappingModesAndWorldTransform) {
    // Anisotropic: window 0..1000 onto a 100-pixel viewport; then a world
    // translation of 50 logical units.
    EmfBuilder b(100, 100);
    b.Rec(17, {8});
    b.Rec(9, {1000, 1000});
    b.Rec(11, {100, 100});
    b.Rec(39, {1, 0, 0x00000000, 0});
    b.Rec(37, {1});
    b.Rec(37, {int32_t(0x80000008)});
    b.Rec(43, {100, 100, 311, 311}); // pixels 10..29
    const float xf[6] = {1, 0, 0, 1, 500, 0};
    uint32_t raw[6];
    std::memcpy(raw, xf, sizeof raw);
    b.Rec(35, {int32_t(raw[0]), int32_t(raw[1]), int32_t(raw[2]), int32_t(raw[3]), int32_t(raw[4]),
               int32_t(raw[5])});
    b.Rec(43, {100, 100, 311, 311}); // now pixels 60..79
    TMetafile m = FromBytes(b.Finish());
    TBitmap out = Render(m, 100, 100);
    EXPECT_EQ(out.Pixel(10, 10), clBlack);
    EXPECT_EQ(out.Pixel(29, 29), clBlack);
    EXPECT_EQ(out.Pixel(30, 30), clWhite);
    EXPECT_EQ(out.Pixel(60, 10), clBlack);
    EXPECT_EQ(out.Pixel(79, 29), clBlack);
    EXPECT_EQ(out.Pixel(45, 20), clWhite);
}

TEST(TMetafilePlayback, ClippingBySaveAndRestore) {
    EmfBuilder b(40, 40);
    b.Rec(39, {1, 0, 0x000000, 0});
    b.Rec(37, {1});
    b.Rec(37, {int32_t(0x80000008)});
    b.Rec(33, {});              // save
    b.Rec(30, {0, 0, 10, 40});  // intersect: left quarter
    b.Rec(43, {0, 0, 41, 11});  // a band clipped to x < 10
    b.Rec(34, {-1});            // restore: clip gone
    b.Rec(43, {0, 20, 41, 31}); // full band
    TMetafile m = FromBytes(b.Finish());
    TBitmap out = Render(m, 40, 40);
    EXPECT_EQ(out.Pixel(5, 5), clBlack);
    EXPECT_EQ(out.Pixel(15, 5), clWhite);
    EXPECT_EQ(out.Pixel(35, 25), clBlack);
}

TEST(TMetafilePlayback, TextIsDrawnNearItsReferencePoint) {
    EmfBuilder b(200, 60);
    // Font: height -30, Liberation Sans ("Arial" by metric alias).
    std::vector<int32_t> font = {1, -30, 0, 0, 0, 700, 0, 0};
    const char16_t face[] = u"Arial";
    std::vector<int32_t> args = font;
    uint32_t packed[16] = {};
    for (int i = 0; i < 5; ++i)
        packed[i / 2] |= uint32_t(face[i]) << (16 * (i % 2));
    for (uint32_t v : packed)
        args.push_back(int32_t(v));
    EmfBuilder& e = b;
    e.U32(82);
    e.U32(8 + 4 * uint32_t(args.size()));
    for (int32_t a : args)
        e.U32(uint32_t(a));
    ++e.Records;
    b.Rec(37, {1});
    b.Rec(22, {24}); // baseline
    b.Rec(18, {1});  // transparent
    // ExtTextOutW "HI" at (20, 40).
    b.Rec(84, {0, 0, 0, 0, 1, 0, 0, 20, 40, 2, 76, 0, 0, 0, 0, 0, 0, int32_t(0x00490048)});
    TMetafile m = FromBytes(b.Finish());
    TBitmap out = Render(m, 200, 60);
    int dark = 0, minX = 1000, maxY = -1;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 200; ++x)
            if (out.Pixel(x, y) == clBlack) {
                ++dark;
                minX = std::min(minX, x);
                maxY = std::max(maxY, y);
            }
    EXPECT_GT(dark, 60);
    EXPECT_GE(minX, 19);
    EXPECT_LE(minX, 26);
    EXPECT_LE(maxY, 40) << "capitals sit on the baseline";
}

// ---------------------------------------------------------------- corpus and fuzz regressions

TEST(TMetafileCorpus, EveryFileLoadsAndPlaysOrFailsCleanly) {
    REQUIRE_CORPUS("wmf-emf");
    const auto files = CorpusFiles("wmf-emf", {".wmf", ".emf"}, true);
    ASSERT_FALSE(files.empty());
    const char* dump = std::getenv("TREVASCO_METAFILE_DUMP");
    int played = 0, refused = 0;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        // text.wmf is a plain WMF without a SetWindowExt: it has no size and is refused.
        const bool corrupt = f.find("emf-corrupted") != std::string::npos ||
                             f.find("libwmf/text.wmf") != std::string::npos;
        TMetafile m;
        try {
            m.LoadFromFile(f);
        } catch (const EInvalidGraphic&) {
            EXPECT_TRUE(corrupt) << "a sound file was refused";
            ++refused;
            continue;
        }
        // Rendered at most about 1000 pixels wide, keeping the proportions.
        int w = std::max(m.Width(), 1), h = std::max(m.Height(), 1);
        if (w > 1000 || h > 1000) {
            const double k = 1000.0 / std::max(w, h);
            w = std::max(1, int(w * k));
            h = std::max(1, int(h * k));
        }
        TBitmap out = White(w, h);
        EXPECT_NO_THROW(m.Draw(out.Canvas(), Rect(0, 0, w, h)));
        ++played;
        if (dump) {
            std::string name = std::filesystem::path(f).parent_path().filename().string() + "_" +
                               std::filesystem::path(f).filename().string() + ".bmp";
            out.SaveToFile(std::string(dump) + "/" + name);
        }
    }
    EXPECT_GE(played, 85);
    std::cout << "played " << played << ", refused " << refused << "\n";
}

TEST(TMetafileCorpus, FuzzRegressionsFailCleanly) {
    for (const char* kind : {"wmf", "emf"}) {
        const std::vector<std::string> inputs = KeptFuzzInputs(kind);
        ASSERT_FALSE(inputs.empty()) << kind;
        for (const std::string& path : inputs) {
            SCOPED_TRACE(path);
            const std::vector<uint8_t> bytes = ReadFileBytes(path);
            try {
                TMetafile m = FromBytes(bytes);
                TBitmap out = White(std::clamp(m.Width(), 1, 300), std::clamp(m.Height(), 1, 300));
                m.Draw(out.Canvas(), Rect(0, 0, out.Width(), out.Height()));
                TMetafile rec;
                {
                    TMetafileCanvas c(rec, "", "");
                    m.Draw(c, Rect(0, 0, 100, 100));
                }
                rec.WmfData();
            } catch (const EInvalidGraphic&) {
            }
        }
    }
}

// ---------------------------------------------------------------- WMF specifics

namespace {

// A placeable WMF at 96 units per inch (one unit is one pixel) with the given records.
std::vector<uint8_t> Wmf96(int w, int h, const std::vector<std::vector<uint16_t>>& records,
                           uint16_t objects) {
    std::vector<uint16_t> words = {0xCDD7, 0x9AC6, 0, 0, 0, uint16_t(w), uint16_t(h), 96, 0, 0};
    uint16_t sum = 0;
    for (uint16_t v : words)
        sum ^= v;
    words.push_back(sum);
    const size_t head = words.size();
    words.insert(words.end(), {1, 9, 0x300, 0, 0, objects, 0, 0, 0});
    for (const auto& r : records) {
        const uint32_t n = uint32_t(r.size() + 2);
        words.push_back(uint16_t(n));
        words.push_back(uint16_t(n >> 16));
        words.insert(words.end(), r.begin(), r.end());
    }
    words.insert(words.end(), {3, 0, 0});
    const uint32_t total = uint32_t(words.size() - head);
    words[head + 3] = uint16_t(total);
    words[head + 4] = uint16_t(total >> 16);
    std::vector<uint8_t> out;
    for (uint16_t v : words) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    return out;
}

} // namespace

TEST(TMetafileWmf, ObjectsTakeTheLowestFreeSlot) {
    const auto wmf =
        Wmf96(30, 30,
              {
                  {0x02FC, 0, 0x00FF, 0x0000, 0}, // red brush -> slot 0
                  {0x02FC, 0, 0xFF00, 0x0000, 0}, // green brush -> slot 1
                  {0x01F0, 0},                    // delete slot 0
                  {0x02FC, 0, 0x0000, 0x00FF, 0}, // blue brush -> slot 0 again
                  {0x02FA, 5, 0, 0, 0, 0},        // null pen -> slot 2
                  {0x012D, 2},
                  {0x012D, 0},
                  {0x041B, 11, 11, 1, 1}, // Rectangle(1, 1, 11, 11): bottom, right, top, left
                  {0x012D, 1},
                  {0x041B, 26, 26, 16, 16},
              },
              3);
    TMetafile m = FromBytes(wmf);
    EXPECT_EQ(m.Width(), 30);
    TBitmap out = Render(m, 30, 30);
    EXPECT_EQ(out.Pixel(5, 5), RGBColor(0, 0, 255)) << "the reused slot holds the new brush";
    EXPECT_EQ(out.Pixel(20, 20), RGBColor(0, 255, 0));
    EXPECT_EQ(out.Pixel(10, 10), clWhite) << "no pen: one pixel smaller";
}

TEST(TMetafileWmf, PolygonAndTextRecordsPlay) {
    const auto wmf = Wmf96(40, 40,
                           {
                               {0x02FC, 0, 0x0000, 0x0000, 0}, // black brush
                               {0x012D, 0},
                               {0x0324, 3, 5, 5, 35, 5, 5, 35}, // Polygon: triangle
                           },
                           1);
    TMetafile m = FromBytes(wmf);
    TBitmap out = Render(m, 40, 40);
    EXPECT_EQ(out.Pixel(8, 8), clBlack);
    EXPECT_EQ(out.Pixel(30, 30), clWhite);
    // Written back, the drawing stays a polygon.
    TMetafile rec = Convert(m, false, 40, 40);
    const auto recs = WalkWmf(rec.WmfData());
    EXPECT_EQ(CountOf(recs, 0x0324), 1u);
}

#include "metafile/EmfFormat.h"

TEST(TMetafileText, EightBitTextFollowsTheCharacterSet) {
    const uint8_t euro[] = {0x80, 'A'};
    EXPECT_EQ(emf::DecodeText(euro, 2, 0, false), std::u32string(U"\u20ACA"));
    const uint8_t cyr[] = {0xC0, 0xFF};
    EXPECT_EQ(emf::DecodeText(cyr, 2, 204, false), std::u32string(U"\u0410\u044F"));
    const uint8_t sym[] = {'a', 0xE5, 'W'};
    EXPECT_EQ(emf::DecodeText(sym, 3, 2, true), std::u32string(U"\u03B1\u2211\u03A9"));
    // Other symbol fonts keep their private-use positions.
    const uint8_t wing[] = {0x4A};
    EXPECT_EQ(emf::DecodeText(wing, 1, 2, false), std::u32string(U"\uF04A"));
    // A broken double-byte sequence becomes one replacement, the rest survives.
    const uint8_t sjis[] = {0x82, 'a', 'b'};
    const std::u32string s = emf::DecodeText(sjis, 3, 128, false);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.back(), U'b');
}
