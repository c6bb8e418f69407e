// SPDX-License-Identifier: GPL-3.0-or-later
// The LZW encoder and decoder alone, on raw code streams.
#include "GifTestSupport.h"
#include "gif/LZWDecoder.h"
#include "gif/LZWEncoder.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t>& pixels, int w, int h, int bpp, int limit,
                            bool interlaced = false) {
    TMemoryStream s;
    TLZWEncoder().Compress(s, pixels.empty() ? nullptr : pixels.data(), w, h, interlaced, bpp,
                           limit);
    return s.Data();
}

struct TDecoded {
    bool HasPixels;
    std::vector<uint8_t> Pixels;
    std::vector<std::string> Warnings;
    int64_t EndPos;
};

TDecoded Decode(const std::vector<uint8_t>& stream, int w, int h, bool interlaced = false,
                uint8_t fill = 0) {
    TDecoded d;
    d.Pixels.assign(static_cast<size_t>(w) * h, fill);
    TMemoryStream s(stream);
    TGIFWarningFunc warn = [&](int, const std::string& m) { d.Warnings.push_back(m); };
    d.HasPixels = TLZWDecoder().Decode(s, d.Pixels.data(), w, h, interlaced, warn, nullptr);
    d.EndPos = s.Position();
    return d;
}

std::vector<uint8_t> Stream(int codeSize, const std::vector<std::pair<int, int>>& codes) {
    std::vector<uint8_t> out{static_cast<uint8_t>(codeSize)};
    const std::vector<uint8_t> blocks = SubBlocks(PackCodes(codes));
    out.insert(out.end(), blocks.begin(), blocks.end());
    return out;
}

} // namespace

TEST(LZWEncoder, OnePixelWithTwoColourMapIsClearPixelEndInThreeBitCodes) {
    // Code size 2 (raised from 1): clear 4, pixel 1, end 5, 3 bits each.
    EXPECT_EQ(Encode({1}, 1, 1, 1, 2), (std::vector<uint8_t>{0x02, 0x02, 0x4C, 0x01, 0x00}));
}

TEST(LZWEncoder, EmptyFrameWritesOnlyTheEndCode) {
    EXPECT_EQ(Encode({}, 0, 0, 8, 256), (std::vector<uint8_t>{0x08, 0x02, 0x01, 0x01, 0x00}));
}

TEST(LZWEncoder, PixelAtOrAboveTheLimitFails) {
    TMemoryStream s;
    const uint8_t px[2] = {0, 3};
    EXPECT_THROW(
        try { TLZWEncoder().Compress(s, px, 2, 1, false, 2, 3); } catch (const GIFException& e) {
            EXPECT_STREQ(e.what(), "Color not in color table");
            throw;
        },
        GIFException);
}

TEST(LZWEncoder, CodeWidthGrowsAfterTheCodeEmittedAtFreeCode512) {
    // Distinct pairs (i, j) defeat every string match, so each pixel is a code.
    std::vector<uint8_t> px;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j) {
            px.push_back(static_cast<uint8_t>(i));
            px.push_back(static_cast<uint8_t>(j + 100));
        }
    const auto codes = ListCodes(Encode(px, static_cast<int>(px.size()), 1, 8, 256));
    ASSERT_GT(codes.size(), 300u);
    EXPECT_EQ(codes[0], std::make_pair(256, 9));
    // Code k of the data (k >= 1) is emitted while the free code is 257 + k.
    for (size_t k = 1; k + 1 < codes.size() && k < 600; ++k)
        EXPECT_EQ(codes[k].second, 257 + k <= 512 ? 9 : 10) << "code " << k;
}

TEST(LZWEncoder, FullTableEmitsATwelveBitClearAndReturnsToTheInitialWidth) {
    std::vector<uint8_t> px(3000000, 7);
    for (size_t i = 0; i < px.size(); i += 3)
        px[i] = static_cast<uint8_t>(i % 253);
    const std::vector<uint8_t> data = Encode(px, 3000, 1000, 8, 256);
    const auto codes = ListCodes(data);
    size_t clears = 0;
    for (size_t k = 1; k < codes.size(); ++k)
        if (codes[k].first == 256) {
            ++clears;
            EXPECT_EQ(codes[k].second, 12);
            ASSERT_LT(k + 1, codes.size());
            EXPECT_EQ(codes[k + 1].second, 9);
        }
    EXPECT_GT(clears, 0u);
    for (const auto& c : codes)
        EXPECT_LE(c.first, 4094);
    const TDecoded d = Decode(data, 3000, 1000);
    EXPECT_EQ(d.Pixels, px);
    EXPECT_TRUE(d.Warnings.empty());
}

TEST(LZWEncoder, InterlacedRowsGoInPassOrder) {
    std::vector<uint8_t> rows5{0, 1, 2, 3, 4};
    auto codes = ListCodes(Encode(rows5, 1, 5, 3, 8, true));
    std::vector<int> got;
    for (auto [c, w] : codes)
        got.push_back(c);
    EXPECT_EQ(got, (std::vector<int>{8, 0, 4, 2, 1, 3, 9}));
    codes = ListCodes(Encode({5, 6}, 1, 2, 3, 8, true));
    got.clear();
    for (auto [c, w] : codes)
        got.push_back(c);
    EXPECT_EQ(got, (std::vector<int>{8, 5, 6, 9}));
}

TEST(GIFWriter, FullSubBlocksAreFollowedDirectlyByTheTerminator) {
    TMemoryStream s;
    {
        TGIFWriter w(s);
        for (int i = 0; i < 510; ++i)
            w.Write(static_cast<uint8_t>(i));
        w.Close();
    }
    ASSERT_EQ(s.Data().size(), 512u);
    EXPECT_EQ(s.Data()[0], 255);
    EXPECT_EQ(s.Data()[256], 255);
    EXPECT_EQ(s.Data()[257], 255 % 256);
    TMemoryStream t;
    {
        TGIFWriter w(t);
        w.Close();
    }
    EXPECT_TRUE(t.Data().empty());
}

// A file stream makes a system call per write: a large frame must reach the
// stream in a few large pieces, whole sub-blocks each, and in order.
TEST(GIFWriter, GathersSubBlocksIntoFewWritesAndKeepsTheirLayout) {
    class TCountingStream : public TMemoryStream {
    public:
        size_t Write(const void* buffer, size_t count) override {
            ++Writes;
            return TMemoryStream::Write(buffer, count);
        }
        int Writes = 0;
    } s;
    const int total = 300000;
    {
        // Single bytes and groups of four, so that groups meet the end of a
        // sub-block at every offset.
        TGIFWriter w(s);
        int i = 0;
        while (i < total) {
            if (i % 5 != 0 && i + 4 <= total) {
                uint32_t four = 0;
                for (int k = 0; k < 4; ++k)
                    four |= uint32_t(static_cast<uint8_t>((i + k) * 7)) << (8 * k);
                w.Write4(four);
                i += 4;
            } else {
                w.Write(static_cast<uint8_t>(i * 7));
                ++i;
            }
        }
        w.Close();
    }
    EXPECT_LE(s.Writes, 6);
    // Walk the sub-blocks: 255 bytes each but the last, the bytes in order.
    const std::vector<uint8_t>& d = s.Data();
    size_t at = 0;
    int next = 0;
    while (at < d.size()) {
        const int n = d[at++];
        ASSERT_GT(n, 0);
        ASSERT_LE(at + n, d.size());
        if (next + n < total) {
            ASSERT_EQ(n, 255);
        }
        for (int k = 0; k < n; ++k, ++next)
            ASSERT_EQ(d[at + k], static_cast<uint8_t>(next * 7)) << next;
        at += n;
    }
    EXPECT_EQ(next, total);
}

TEST(HashTable, FindsWhatWasInsertedEvenWhenProbePathsCollide) {
    THashTable table;
    // Keys that share a slot: many more than one probe cycle could hold.
    for (int code = 0; code < 4090; ++code)
        table.Insert(static_cast<uint32_t>(code) * 8009u % 1048576u, code);
    for (int code = 0; code < 4090; ++code)
        ASSERT_EQ(table.Lookup(static_cast<uint32_t>(code) * 8009u % 1048576u), code);
    EXPECT_EQ(table.Lookup(1048575u), -1);
}

TEST(LZWDecoder, DecodesAStringCodeDefinedByItsOwnUse) {
    // Clear, 1, 1, then code 7 (not yet defined: previous string + its first pixel), end at 4 bits.
    const TDecoded d = Decode(Stream(2, {{4, 3}, {1, 3}, {1, 3}, {7, 3}, {5, 4}}), 4, 1);
    EXPECT_TRUE(d.HasPixels);
    EXPECT_EQ(d.Pixels, (std::vector<uint8_t>{1, 1, 1, 1}));
    EXPECT_TRUE(d.Warnings.empty());
}

TEST(LZWDecoder, InterlacedHeightThreeFillsRowsZeroTwoOne) {
    const TDecoded d = Decode(Stream(2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 4}}), 1, 3, true);
    EXPECT_EQ(d.Pixels, (std::vector<uint8_t>{1, 3, 2}));
}

TEST(LZWDecoder, EarlyEndKeepsTheFillValueAndWarnsOfUnderRun) {
    // 8-bit codes end on a byte boundary, so no padding bits pose as codes.
    std::vector<uint8_t> s = Stream(7, {{128, 8}, {1, 8}, {2, 8}});
    const TDecoded d = Decode(s, 3, 2, false, 3);
    EXPECT_EQ(d.Pixels, (std::vector<uint8_t>{1, 2, 3, 3, 3, 3}));
    ASSERT_FALSE(d.Warnings.empty());
    EXPECT_EQ(d.Warnings.back(), "Decoder bit buffer under-run");
}

TEST(LZWDecoder, EndCodeStopsAndTheRestOfTheSubBlocksIsSkipped) {
    std::vector<uint8_t> s = Stream(2, {{4, 3}, {1, 3}, {5, 3}, {2, 3}, {2, 3}});
    s.push_back(0x3B);
    const TDecoded d = Decode(s, 2, 1);
    EXPECT_EQ(d.Pixels, (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(d.EndPos, static_cast<int64_t>(s.size()) - 1);
}

TEST(LZWDecoder, CodeSizeTwelveOrMoreKeepsNoPixels) {
    for (int size : {12, 13, 143}) {
        const TDecoded d = Decode(Stream(size, {{0, 8}}), 2, 2);
        EXPECT_FALSE(d.HasPixels);
        ASSERT_EQ(d.Warnings.size(), 1u);
        EXPECT_EQ(d.Warnings[0], "Invalid GIF data");
    }
}

// The file itself ending inside the image data is a cut file; a chain that
// ends properly with too few codes stays lenient (above).
TEST(LZWDecoder, DataEndingWithTheFileIsACutFile) {
    auto message = [](const std::vector<uint8_t>& s, int w, int h) {
        try {
            Decode(s, w, h);
        } catch (const GIFException& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({}, 2, 2), "The file is cut short: the picture data ends after 0 of 2 rows.");
    std::vector<uint8_t> s = Stream(7, {{128, 8}, {1, 8}, {2, 8}, {3, 8}});
    ASSERT_EQ(s.back(), 0);
    s.pop_back(); // the terminator
    EXPECT_EQ(message(s, 3, 2), "The file is cut short: the picture data ends after 1 of 2 rows.");
    s.resize(s.size() - 2); // and a sub-block that ends early
    EXPECT_EQ(message(s, 3, 2), "The file is cut short: the picture data ends after 0 of 2 rows.");
}

TEST(LZWDecoder, SelfReferringEntryFailsAsCircular) {
    // Code 7 arrives before it can exist; the entry then made for it refers to itself.
    const auto s = Stream(2, {{4, 3}, {1, 3}, {7, 3}, {7, 3}, {7, 4}, {5, 4}});
    try {
        Decode(s, 10, 10);
        FAIL() << "no error";
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), "Circular decoder table entry");
    }
}

TEST(LZWRoundTrip, EncoderOutputDecodesToTheSamePixelsForEveryCodeSize) {
    for (int bpp = 1; bpp <= 8; ++bpp) {
        const int colors = 1 << bpp;
        std::vector<uint8_t> px(97 * 61);
        uint32_t seed = 12345u + bpp;
        for (size_t i = 0; i < px.size(); ++i) {
            seed = seed * 1103515245u + 12345u;
            px[i] = static_cast<uint8_t>((i / 7 + (seed >> 24) % 3) % colors);
        }
        for (bool interlaced : {false, true}) {
            const TDecoded d =
                Decode(Encode(px, 97, 61, bpp, colors, interlaced), 97, 61, interlaced);
            EXPECT_EQ(d.Pixels, px) << "bpp " << bpp;
            EXPECT_TRUE(d.Warnings.empty());
        }
    }
}
