// SPDX-License-Identifier: GPL-3.0-or-later
// Reading metafiles: the declared size in each form and the refusal of
// damaged record framing. Every file here is built byte by byte in the test.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

struct TBytes {
    std::vector<uint8_t> D;
    void U16(uint32_t v) {
        D.push_back(uint8_t(v));
        D.push_back(uint8_t(v >> 8));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            D.push_back(uint8_t(v >> (8 * i)));
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            D[at + i] = uint8_t(v >> (8 * i));
    }
};

// An EMF with the given bounds and frame against a 96-dpi reference device.
struct TEmf : TBytes {
    uint32_t Records = 1;
    TEmf(TRect bounds, TRect frame) {
        U32(1);
        U32(88);
        for (int v : {bounds.Left, bounds.Top, bounds.Right, bounds.Bottom, frame.Left, frame.Top,
                      frame.Right, frame.Bottom})
            U32(uint32_t(v));
        U32(0x464D4520);
        U32(0x10000);
        U32(0); // bytes
        U32(0); // records
        U32(8); // handles, reserved
        U32(0); // description chars
        U32(0); // description offset
        U32(0); // palette entries
        for (int v : {960, 960, 254, 254})
            U32(uint32_t(v));
    }
    void Rec(uint32_t type, std::initializer_list<int32_t> args) {
        U32(type);
        U32(8 + 4 * uint32_t(args.size()));
        for (int32_t a : args)
            U32(uint32_t(a));
        ++Records;
    }
    std::vector<uint8_t> Finish() {
        Rec(14, {0, 16, 20});
        Put32(48, uint32_t(D.size()));
        Put32(52, Records);
        return D;
    }
};

// A WMF, with a placeable header when unitsPerInch > 0.
struct TWmf : TBytes {
    size_t Head = 0;
    uint32_t MaxRecord = 3;
    explicit TWmf(int unitsPerInch = 0, TRect box = {}) {
        if (unitsPerInch > 0) {
            U32(0x9AC6CDD7);
            U16(0);
            for (int v : {box.Left, box.Top, box.Right, box.Bottom})
                U16(uint32_t(v));
            U16(uint32_t(unitsPerInch));
            U32(0);
            uint16_t sum = 0;
            for (size_t i = 0; i < 20; i += 2)
                sum ^= uint16_t(D[i] | (D[i + 1] << 8));
            U16(sum);
            Head = 22;
        }
        U16(1);
        U16(9);
        U16(0x300);
        U32(0); // size in words
        U16(4); // objects
        U32(0); // max record
        U16(0);
    }
    void Rec(uint16_t fn, std::initializer_list<int> params) {
        const uint32_t words = 3 + uint32_t(params.size());
        U32(words);
        U16(fn);
        for (int p : params)
            U16(uint32_t(p));
        MaxRecord = std::max(MaxRecord, words);
    }
    std::vector<uint8_t> Finish() {
        Rec(0, {});
        Put32(Head + 6, uint32_t((D.size() - Head) / 2));
        Put32(Head + 12, MaxRecord);
        return D;
    }
};

constexpr uint16_t SetWindowExt = 0x020C, SetWindowOrg = 0x020B, Rectangle16 = 0x041B,
                   Polygon16 = 0x0324, SelectObject16 = 0x012D, CreateBrush16 = 0x02FC;

TMetafile Load(const std::vector<uint8_t>& bytes) {
    TMetafile m;
    TMemoryStream s(bytes);
    m.LoadFromStream(s);
    return m;
}

void ExpectRefused(const std::vector<uint8_t>& bytes, const char* what) {
    TMetafile m;
    TMemoryStream s(bytes);
    try {
        m.LoadFromStream(s);
        ADD_FAILURE() << what << ": accepted";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Invalid metafile") << what;
    }
}

// Plays m into a white w x h bitmap.
TBitmap Play(TMetafile& m, int w, int h) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(w, h);
    m.Draw(b.Canvas(), Rect(0, 0, w, h));
    return b;
}

int CountColor(const TBitmap& b, TColor c) {
    int n = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            n += b.Pixel(x, y) == c;
    return n;
}

} // namespace

// ---------------------------------------------------------------- sizes

TEST(MetafileReader, PlaceableHeaderBoxIsScaledTo96UnitsPerInch) {
    struct Case {
        int Inch;
        TRect Box;
        int W, H;
    } cases[] = {
        {1440, Rect(0, 0, 1440, 720), 96, 48}, // twips
        {96, Rect(10, 20, 110, 70), 100, 50},  // origin not at zero
        {2540, Rect(0, 0, 1000, 500), 38, 19}, // 37.8 and 18.9 round up
        {1000, Rect(0, 0, 5, 5), 0, 0},        // rounds to nothing: refused
        {576, Rect(300, 400, 0, 0), 50, 67},   // right < left: magnitude counts
    };
    for (const Case& c : cases) {
        TWmf w(c.Inch, c.Box);
        // A window extent that must not win over the placeable box.
        w.Rec(SetWindowExt, {333, 444});
        const std::vector<uint8_t> bytes = w.Finish();
        if (c.W == 0) {
            ExpectRefused(bytes, "empty placeable box");
            continue;
        }
        TMetafile m = Load(bytes);
        EXPECT_EQ(m.Width(), c.W) << c.Inch;
        EXPECT_EQ(m.Height(), c.H) << c.Inch;
        EXPECT_FALSE(m.Enhanced());
    }
}

TEST(MetafileReader, PlaceableHeaderWithZeroUnitsPerInchIsRefused) {
    std::vector<uint8_t> bytes = TWmf(96, Rect(0, 0, 10, 10)).Finish();
    bytes[14] = bytes[15] = 0;
    ExpectRefused(bytes, "zero units per inch");
}

TEST(MetafileReader, PlainWmfTakesTheFirstWindowExtent) {
    TWmf w;
    w.Rec(SetWindowOrg, {0, 0});
    w.Rec(SetWindowExt, {40, 120}); // y, x
    w.Rec(SetWindowExt, {400, 1200});
    w.Rec(Rectangle16, {10, 10, 0, 0});
    TMetafile m = Load(w.Finish());
    EXPECT_EQ(m.Width(), 120);
    EXPECT_EQ(m.Height(), 40);

    TWmf neg;
    neg.Rec(SetWindowExt, {-30, -70});
    TMetafile n = Load(neg.Finish());
    EXPECT_EQ(n.Width(), 70);
    EXPECT_EQ(n.Height(), 30);
}

TEST(MetafileReader, PlainWmfWithoutUsableWindowExtentIsRefused) {
    TWmf none;
    none.Rec(Rectangle16, {10, 10, 0, 0});
    ExpectRefused(none.Finish(), "no SetWindowExt");

    TWmf zero;
    zero.Rec(SetWindowExt, {0, 50});
    ExpectRefused(zero.Finish(), "zero window height");

    // A window extent record too short to hold both values does not count.
    TWmf shortExt;
    shortExt.Rec(SetWindowExt, {50});
    ExpectRefused(shortExt.Finish(), "truncated SetWindowExt");

    // One after the end-of-file record is not part of the picture.
    TWmf late;
    std::vector<uint8_t> bytes = late.Finish();
    for (int v : {5, int(SetWindowExt), 20, 20})
        for (int i = 0; i < (v == 5 ? 4 : 2); ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
    ExpectRefused(bytes, "SetWindowExt after EOF");
}

TEST(MetafileReader, EmfSizeComesFromTheFrame) {
    struct Case {
        TRect Bounds, Frame;
        int W, H;
    } cases[] = {
        {Rect(0, 0, 9, 9), Rect(0, 0, 2540, 1270), 96, 48},
        {Rect(0, 0, 9, 9), Rect(1000, 2000, 0, 0), 38, 76}, // reversed, 37.8 and 75.6
        {Rect(0, 0, 9, 9), Rect(-500, -500, 500, 500), 38, 38},
        {Rect(0, 0, 19, 9), Rect(0, 0, 0, 0), 20, 10},          // empty frame: bounds + 1
        {Rect(5, 5, 24, 14), Rect(100, 100, 100, 400), 20, 10}, // zero-width frame
        {Rect(0, 0, 9, 9), Rect(0, 0, 13, 13), 0, 0},           // 0.49 px rounds to 0
    };
    for (const Case& c : cases) {
        TEmf e(c.Bounds, c.Frame);
        TMetafile m = Load(e.Finish());
        EXPECT_EQ(m.Width(), c.W) << c.Frame.Right;
        EXPECT_EQ(m.Height(), c.H) << c.Frame.Bottom;
        EXPECT_TRUE(m.Enhanced());
        EXPECT_EQ(m.Empty(), c.W == 0);
    }
}

TEST(MetafileReader, EmfFrameIsMappedOntoTheDrawRectangle) {
    // Frame of 0..100 px drawn into 50 px: a rectangle 0..50 lands on 0..25.
    TEmf e(Rect(0, 0, 99, 99), Rect(0, 0, 2646, 2646));
    e.Rec(39, {1, 0, int32_t(RGBColor(0, 0, 255)), 0}); // solid blue brush
    e.Rec(37, {1});
    e.Rec(37, {int32_t(0x80000008)}); // null pen
    e.Rec(43, {0, 0, 50, 50});
    TMetafile m = Load(e.Finish());
    ASSERT_EQ(m.Width(), 100);
    TBitmap b = Play(m, 50, 50);
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(0, 0, 255));
    EXPECT_EQ(b.Pixel(23, 23), RGBColor(0, 0, 255));
    EXPECT_EQ(b.Pixel(26, 26), clWhite);
    EXPECT_EQ(b.Pixel(49, 10), clWhite);
}

// ---------------------------------------------------------------- framing checks

TEST(MetafileReader, EmfRecordFramingIsChecked) {
    auto base = [] {
        TEmf e(Rect(0, 0, 9, 9), Rect(0, 0, 265, 265));
        e.Rec(43, {0, 0, 5, 5});
        return e;
    };
    const std::vector<uint8_t> good = base().Finish();
    EXPECT_NO_THROW(Load(good));
    const size_t rect = 88; // the rectangle record follows the header

    std::vector<uint8_t> past = good;
    past[rect + 4] = uint8_t(good.size()); // runs past the data
    ExpectRefused(past, "record size past the data");

    std::vector<uint8_t> huge = good;
    std::memset(huge.data() + rect + 4, 0xFF, 4);
    ExpectRefused(huge, "record size near 4 GiB");

    std::vector<uint8_t> zero = good;
    std::memset(zero.data() + rect + 4, 0, 4);
    ExpectRefused(zero, "zero-size record");

    std::vector<uint8_t> four = good;
    four[rect + 4] = 4;
    ExpectRefused(four, "record smaller than its own framing");

    // A 26-byte record followed by a sound EOF record: the framing adds up,
    // but EMF records are whole 32-bit words.
    std::vector<uint8_t> odd = good;
    odd[rect + 4] = 26;
    odd.insert(odd.begin() + rect + 24, {0, 0});
    odd[48] = uint8_t(odd.size());
    ExpectRefused(odd, "size not a multiple of 4");

    std::vector<uint8_t> noEof(good.begin(), good.end() - 20);
    ExpectRefused(noEof, "no EOF record");

    std::vector<uint8_t> cut(good.begin(), good.end() - 3);
    ExpectRefused(cut, "cut inside the EOF record");

    std::vector<uint8_t> second = good;
    second[rect] = 1; // a second header
    ExpectRefused(second, "header inside the records");

    std::vector<uint8_t> headerPast = good;
    headerPast[4] = 0;
    headerPast[5] = 0x10; // header size 4096
    ExpectRefused(headerPast, "header size past the data");

    std::vector<uint8_t> headerSmall = good;
    headerSmall[4] = 80;
    ExpectRefused(headerSmall, "header smaller than 88 bytes");

    std::vector<uint8_t> signature = good;
    signature[40] ^= 1;
    ExpectRefused(signature, "signature");

    std::vector<uint8_t> desc = good;
    desc[60] = 40; // 40 characters at offset 88: past the 88-byte header
    desc[64] = 88;
    ExpectRefused(desc, "description past the header");

    std::vector<uint8_t> device = good;
    std::memset(device.data() + 80, 0, 4);
    ExpectRefused(device, "reference device without millimetres");

    ExpectRefused(std::vector<uint8_t>(good.begin(), good.begin() + 60), "header cut short");
    ExpectRefused({}, "no data");
}

TEST(MetafileReader, BytesAfterTheEmfEndAreDropped) {
    TEmf e(Rect(0, 0, 9, 9), Rect(0, 0, 265, 265));
    std::vector<uint8_t> bytes = e.Finish();
    const size_t size = bytes.size();
    bytes.insert(bytes.end(), {1, 2, 3, 4, 5, 6, 7});
    TMetafile m = Load(bytes);
    EXPECT_EQ(m.EmfData().size(), size);
}

TEST(MetafileReader, WmfRecordFramingIsChecked) {
    auto make = [](bool placeable) {
        TWmf w(placeable ? 96 : 0, Rect(0, 0, 20, 20));
        w.Rec(SetWindowExt, {20, 20});
        w.Rec(Rectangle16, {10, 10, 0, 0});
        return w;
    };
    for (bool placeable : {false, true}) {
        const std::vector<uint8_t> good = make(placeable).Finish();
        EXPECT_NO_THROW(Load(good));
        const size_t first = (placeable ? 22 : 0) + 18, second = first + 10;

        std::vector<uint8_t> past = good;
        past[second] = 200; // 400 bytes
        ExpectRefused(past, "record past the data");

        std::vector<uint8_t> huge = good;
        std::memset(huge.data() + second, 0xFF, 4);
        ExpectRefused(huge, "record of 2^32 words");

        std::vector<uint8_t> zero = good;
        std::memset(zero.data() + first, 0, 4);
        ExpectRefused(zero, "zero-size record");

        std::vector<uint8_t> two = good;
        two[first] = 2;
        ExpectRefused(two, "record smaller than its framing");

        std::vector<uint8_t> cut(good.begin(), good.end() - 4);
        ExpectRefused(cut, "cut inside a record");

        std::vector<uint8_t> header = good;
        header[first - 18 + 2] = 8;
        ExpectRefused(header, "header size other than 9 words");

        ExpectRefused(std::vector<uint8_t>(good.begin(), good.begin() + first - 4),
                      "header cut short");
    }
    // A placeable key with nothing after it.
    ExpectRefused({0xD7, 0xCD, 0xC6, 0x9A, 0, 0, 0, 0}, "placeable header cut short");
}

TEST(MetafileReader, CountsBeyondTheirRecordDrawNothingAndReadNothing) {
    // Each shape below declares more data than its record holds. The file
    // loads (its framing is sound), the damaged record is skipped and the
    // sound record after it is still drawn. ASan catches a read past a record.
    const TColor red = RGBColor(255, 0, 0);
    {
        TWmf w;
        w.Rec(SetWindowExt, {20, 20});
        w.Rec(CreateBrush16, {0, 0x00FF, 0x0000, 0}); // solid red
        w.Rec(SelectObject16, {0});
        w.Rec(0x02FA, {5, 0, 0, 0, 0}); // null pen
        w.Rec(SelectObject16, {1});
        w.Rec(Polygon16, {500, 0, 0, 19, 0, 19, 19}); // 500 points declared, 3 present
        w.Rec(0x0538, {2, 3, 400, 0, 0, 5, 0, 5, 5}); // poly-polygon counts past the record
        w.Rec(0x0521, {300, 0x4141, 5, 5});           // TextOut of 300 bytes
        w.Rec(Rectangle16, {5, 5, 0, 0});             // without a pen GDI fills one pixel less
        TMetafile m = Load(w.Finish());
        TBitmap b = Play(m, 20, 20);
        EXPECT_EQ(b.Pixel(1, 1), red);
        EXPECT_EQ(b.Pixel(15, 10), clWhite) << "the damaged polygon was drawn";
        EXPECT_EQ(CountColor(b, red), 16) << "only the 4 x 4 rectangle";
    }
    {
        TEmf e(Rect(0, 0, 19, 19), Rect(0, 0, 529, 529));
        e.Rec(39, {1, 0, int32_t(red), 0});
        e.Rec(37, {1});
        e.Rec(37, {int32_t(0x80000008)});
        e.Rec(3, {0, 0, 19, 19, 1000, 0, 0, 19, 0, 19, 19});            // polygon, 1000 points
        e.Rec(86, {0, 0, 19, 19, 0x3FFFFFFF, 0, 19});                   // polygon16
        e.Rec(8, {0, 0, 19, 19, 2, 6, 3, 3, 0, 0, 19, 0, 19, 19});      // poly-polygon, 6 of 3
        e.Rec(8, {0, 0, 19, 19, 2, 3, 0x7FFFFFFF, 3, 0, 0, 19, 0, 19}); // per-polygon count
        e.Rec(43, {0, 0, 5, 5});
        TMetafile m = Load(e.Finish());
        TBitmap b = Play(m, 20, 20);
        EXPECT_EQ(b.Pixel(1, 1), red);
        EXPECT_EQ(CountColor(b, red), 16);
    }
}

TEST(MetafileReader, BitmapRecordOffsetsBeyondTheRecordAreSkipped) {
    // A StretchDIBits whose header and bits offsets point outside the record.
    const TColor green = RGBColor(0, 255, 0);
    for (int variant = 0; variant < 3; ++variant) {
        TEmf e(Rect(0, 0, 9, 9), Rect(0, 0, 265, 265));
        const int32_t bmiOff = variant == 0 ? 4000 : 80;
        const int32_t bitsOff = variant == 1 ? 4000 : 120;
        const int32_t bitsSize = variant == 2 ? 0x7FFFFFF0 : 8;
        // 2x1 24-bit green DIB, one padded row of 8 bytes.
        e.Rec(81,
              {0, 0, 9, 9, 0, 0, 0, 0, 2, 1, bmiOff, 40, bitsOff, bitsSize, 0, 0x00CC0020, 10, 10,
               // BITMAPINFOHEADER
               40, 2, 1, 1 | (24 << 16), 0, 8, 0, 0, 0, 0,
               // bits
               0x00FF0000, 0x0000FF00});
        e.Rec(39, {1, 0, int32_t(green), 0});
        e.Rec(37, {1});
        e.Rec(37, {int32_t(0x80000008)});
        e.Rec(43, {8, 8, 11, 11});
        TMetafile m = Load(e.Finish());
        TBitmap b = Play(m, 10, 10);
        EXPECT_EQ(b.Pixel(2, 2), clWhite) << variant;
        EXPECT_EQ(b.Pixel(9, 9), green) << variant << ": records after it still play";
    }
}
