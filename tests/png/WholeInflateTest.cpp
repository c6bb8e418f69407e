// SPDX-License-Identifier: GPL-3.0-or-later
// The reader's inflate in one call: whatever the stream (complete, longer or
// shorter than the image, cut, damaged), it must give the bytes and the
// errors of zlib's streaming inflate.
#include "png/PNGDeflate.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t>& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> z(size);
    EXPECT_EQ(compress2(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6), Z_OK);
    z.resize(size);
    return z;
}

// What reading `want` bytes and finishing gives: the bytes, or the error text.
struct TOutcome {
    std::vector<uint8_t> Bytes;
    std::string Error;
    bool operator==(const TOutcome&) const = default;
};

TOutcome Read(const std::vector<uint8_t>& z, size_t want, size_t expected, bool* whole = nullptr) {
    TOutcome o;
    try {
        TPNGInflater inflater(z.data(), z.size(), expected);
        if (whole) *whole = inflater.InflatedWhole();
        o.Bytes.resize(want);
        // Uneven pieces, as rows of different passes ask for them.
        for (size_t at = 0, piece = 1; at < want; at += piece, piece = piece * 3 + 1)
            inflater.Read(o.Bytes.data() + at, std::min(piece, want - at));
        inflater.Finish();
    } catch (const EZDecompressionError& e) {
        o.Bytes.clear();
        o.Error = e.what();
    }
    return o;
}

} // namespace

TEST(WholeInflate, GivesWhatStreamingGivesForEveryKindOfStream) {
    std::vector<uint8_t> raw;
    uint32_t s = 5;
    for (int i = 0; i < 200000; ++i) {
        s = s * 1103515245u + 12345u;
        raw.push_back(i % 7 ? static_cast<uint8_t>(i / 100) : static_cast<uint8_t>(s >> 16));
    }
    const std::vector<uint8_t> z = Compress(raw);
    std::vector<uint8_t> badSum = z, badData = z, cut(z.begin(), z.begin() + z.size() / 2);
    badSum.back() ^= 1;
    badData[z.size() / 3] ^= 0x55;
    std::vector<uint8_t> trailing = z;
    trailing.insert(trailing.end(), {1, 2, 3, 4});
    struct TCase {
        const char* Name;
        const std::vector<uint8_t>* Stream;
        size_t Want;
        bool Whole;
    };
    const size_t n = raw.size();
    for (const TCase& c :
         {TCase{"exact", &z, n, true}, TCase{"bytes after the stream", &trailing, n, true},
          TCase{"image smaller than the stream", &z, n - 1000, false},
          TCase{"image larger than the stream", &z, n + 10, true},
          TCase{"checksum wrong", &badSum, n, false}, TCase{"data damaged", &badData, n, false},
          TCase{"cut", &cut, n, false}}) {
        SCOPED_TRACE(c.Name);
        bool whole = false;
        const TOutcome streamed = Read(*c.Stream, c.Want, 0);
        const TOutcome inOneCall = Read(*c.Stream, c.Want, c.Want, &whole);
        EXPECT_EQ(inOneCall, streamed);
        if (PNGLibdeflateAvailable() && PNGUseLibdeflate()) {
            EXPECT_EQ(whole, c.Whole);
        }
    }
    // Above the limit the stream is read piece by piece.
    TPNGInflater big(z.data(), z.size(), n, n - 1);
    EXPECT_FALSE(big.InflatedWhole());
}
