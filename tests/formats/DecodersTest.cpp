// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/Decoders.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::vector<uint8_t> Decode(TDecoder& d, const std::vector<uint8_t>& in, int32_t outSize,
                            int32_t packed = -1) {
    std::vector<uint8_t> out(static_cast<size_t>(outSize) + 2, 0xEE);
    const uint8_t* s = in.data();
    uint8_t* t = out.data();
    d.Unpack(s, t, packed < 0 ? static_cast<int32_t>(in.size()) : packed, outSize);
    EXPECT_EQ(s, in.data()); // the caller's pointers are not moved
    EXPECT_EQ(t, out.data());
    return out;
}
using Bytes = std::vector<uint8_t>;
} // namespace

TEST(TPackbitsRLEDecoder, LiteralsRunsAndNoOps) {
    TPackbitsRLEDecoder d;
    EXPECT_EQ(Decode(d, {0x02, 0x41, 0x42, 0x43}, 3), (Bytes{0x41, 0x42, 0x43, 0xEE, 0xEE}));
    EXPECT_EQ(Decode(d, {0xFE, 0x41}, 3), (Bytes{0x41, 0x41, 0x41, 0xEE, 0xEE}));
    EXPECT_EQ(Decode(d, {0x80, 0x00, 0x07, 0x81, 0x09}, 4),
              (Bytes{0x07, 0x09, 0x09, 0x09, 0xEE, 0xEE}));
}

TEST(TPackbitsRLEDecoder, StopsAtEitherLimit) {
    TPackbitsRLEDecoder d;
    EXPECT_EQ(Decode(d, {0xFD, 0x41}, 2), (Bytes{0x41, 0x41, 0xEE, 0xEE}));
    // A literal that claims more than the data holds copies what is there.
    EXPECT_EQ(Decode(d, {0x05, 0x01, 0x02}, 6),
              (Bytes{0x01, 0x02, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    // A run whose byte is missing writes nothing.
    EXPECT_EQ(Decode(d, {0x00, 0x05, 0xFE}, 4), (Bytes{0x05, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    // The packed size, not the buffer, bounds the reading.
    EXPECT_EQ(Decode(d, {0x00, 0x05, 0x00, 0x06}, 4, 2),
              (Bytes{0x05, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST(TPCXRLEDecoder, RunsLiteralsAndEscapedHighBytes) {
    TPCXRLEDecoder d;
    EXPECT_EQ(Decode(d, {0xC3, 0x41}, 3), (Bytes{0x41, 0x41, 0x41, 0xEE, 0xEE}));
    EXPECT_EQ(Decode(d, {0xC1, 0xC5}, 1), (Bytes{0xC5, 0xEE, 0xEE}));
    EXPECT_EQ(Decode(d, {0x41}, 1), (Bytes{0x41, 0xEE, 0xEE}));
    EXPECT_EQ(Decode(d, {0xC0, 0x41, 0x42}, 1), (Bytes{0x42, 0xEE, 0xEE}));
    // A run longer than the room left is cut at the output size.
    EXPECT_EQ(Decode(d, {0xFF, 0x07}, 4), (Bytes{7, 7, 7, 7, 0xEE, 0xEE}));
}

TEST(TPCXRLEDecoder, StopsAtTheEndOfTheData) {
    TPCXRLEDecoder d;
    EXPECT_EQ(Decode(d, {0x01, 0xC4}, 4), (Bytes{0x01, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(Decode(d, {}, 3), (Bytes{0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}
