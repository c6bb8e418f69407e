// SPDX-License-Identifier: GPL-3.0-or-later
// The writer's deflate: whole-buffer below the size limit, streaming above
// it; both must give one valid zlib stream of exactly the input.
#include "png/PNGDeflate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& z, size_t size) {
    std::vector<uint8_t> out(size);
    TPNGInflater inflater(z.data(), z.size());
    inflater.Read(out.data(), size);
    inflater.Finish();
    return out;
}

} // namespace

TEST(DeflateLimit, BothSidesOfTheLimitRoundTrip) {
    // Rows of smooth data and of noise, fed in row-sized pieces.
    std::vector<uint8_t> input;
    uint32_t s = 1;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 1001; ++x) {
            s = s * 1103515245u + 12345u;
            input.push_back(y % 3 ? static_cast<uint8_t>(x + y) : static_cast<uint8_t>(s >> 16));
        }
    for (size_t limit :
         {size_t(0), input.size() - 1, input.size(), TPNGDeflater::DefaultWholeLimit}) {
        SCOPED_TRACE(limit);
        std::vector<uint8_t> out;
        TPNGDeflater deflater(out, input.size(), limit);
        for (size_t at = 0; at < input.size(); at += 1001)
            deflater.Write(input.data() + at, 1001);
        deflater.Finish();
        ASSERT_GT(out.size(), 2u);
        EXPECT_EQ(out[0] & 0x0F, 8); // deflate, as PNG requires
        EXPECT_LT(out.size(), input.size());
        EXPECT_EQ(Inflate(out, input.size()), input);
        EXPECT_THROW(deflater.Write(input.data(), 1), EZCompressionError);
    }
}
