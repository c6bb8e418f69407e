// SPDX-License-Identifier: GPL-3.0-or-later
// /RESAMPLE=nearest gives the files the converter wrote before smooth
// resampling existed: the hashes below were taken from that build's output
// for the same picture and options.
#include "common/TestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

struct TGolden {
    const char* Width;
    const char* Height;
    int Destination;
    uint64_t Hash;
};

const TGolden Goldens[] = {
    {"37", "23", dfBitmap, 0x657f86ff5cfc57c9ull},   {"37", "23", dfJPEG, 0x4231713d083cd254ull},
    {"37", "23", dfGIF, 0x742dafc156c8d1d6ull},      {"37", "23", dfPNG, 0xb7893dac227e02a0ull},
    {"150", "101", dfBitmap, 0x6ae6c246e70324faull}, {"150", "101", dfJPEG, 0xd4907f51442defd4ull},
    {"150", "101", dfGIF, 0xe1269220b017ca61ull},    {"150", "101", dfPNG, 0x2d9c8b8456bfd6c2ull},
};

} // namespace

TEST(NearestResampling, GivesTheBytesOfTheOriginalStretch) {
    RegisterImageFormats();
    TTempFolder tmp;
    TBitmap b(61, 47, pf24bit);
    for (int y = 0; y < 47; ++y)
        for (int x = 0; x < 61; ++x) {
            uint8_t* p = b.ScanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(x * 4 + y);
            p[1] = static_cast<uint8_t>((x ^ y) * 5);
            p[2] = static_cast<uint8_t>((x / 3 + y / 5) % 2 ? 230 : 15);
        }
    const std::string src = tmp.File("src.bmp");
    b.SaveToFile(src);
    TImageConverter c;
    c.BeforeRun();
    for (const TGolden& g : Goldens) {
        SCOPED_TRACE(std::string(g.Width) + "x" + g.Height + " to " +
                     std::to_string(g.Destination));
        TConvertOptions o;
        o.Destination = DestinationFromIndex(g.Destination);
        o.PixelFormat = PixelFormatFromIndex(pf24bit);
        o.Resize = true;
        o.Width = SideFromText(g.Width);
        o.Height = SideFromText(g.Height);
        o.Resample = rmNearest;
        // The hashes were made with the octree, the default GIF reduction of the time.
        o.ColorReduction = ColorReductionFromIndex(7);
        const std::string out = tmp.File("out" + DestinationExtension(g.Destination));
        c.ConvertFile(src, out, o);
        EXPECT_EQ(Fnv1a(ReadFileBytes(out)), g.Hash);
        // The smooth default gives other pixels (the picture has hard edges).
        o.Resample = rmSmooth;
        c.ConvertFile(src, out, o);
        EXPECT_NE(Fnv1a(ReadFileBytes(out)), g.Hash);
    }
    c.AfterRun();
    UnregisterImageFormats();
}
