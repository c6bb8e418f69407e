// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/ExifOrientation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A TIFF structure with IFD0 holding the given entries (tag, type, count, value).
struct TEntry {
    uint16_t Tag, Type;
    uint32_t Count, Value;
};
std::vector<uint8_t> Exif(bool big, const std::vector<TEntry>& entries, uint32_t ifd = 8) {
    std::vector<uint8_t> b;
    auto u16 = [&](uint16_t v) {
        if (big) {
            b.push_back(static_cast<uint8_t>(v >> 8));
            b.push_back(static_cast<uint8_t>(v));
        } else {
            b.push_back(static_cast<uint8_t>(v));
            b.push_back(static_cast<uint8_t>(v >> 8));
        }
    };
    auto u32 = [&](uint32_t v) {
        if (big) {
            u16(static_cast<uint16_t>(v >> 16));
            u16(static_cast<uint16_t>(v));
        } else {
            u16(static_cast<uint16_t>(v));
            u16(static_cast<uint16_t>(v >> 16));
        }
    };
    b.push_back(big ? 'M' : 'I');
    b.push_back(big ? 'M' : 'I');
    u16(42);
    u32(ifd);
    while (b.size() < ifd)
        b.push_back(0);
    u16(static_cast<uint16_t>(entries.size()));
    for (const TEntry& e : entries) {
        u16(e.Tag);
        u16(e.Type);
        u32(e.Count);
        if (e.Type == 3) {
            u16(static_cast<uint16_t>(e.Value));
            u16(0);
        } else {
            u32(e.Value);
        }
    }
    u32(0);
    return b;
}

int Read(const std::vector<uint8_t>& b) {
    return ExifOrientation(b.data(), b.size());
}

} // namespace

TEST(ExifOrientation, ReadsEveryValueInBothByteOrders) {
    for (bool big : {false, true})
        for (uint32_t v = 1; v <= 8; ++v) {
            SCOPED_TRACE(std::string(big ? "MM " : "II ") + std::to_string(v));
            // Behind other tags, as cameras write it.
            EXPECT_EQ(Read(Exif(big, {{0x010F, 2, 4, 0}, {0x0112, 3, 1, v}, {0x011A, 5, 1, 90}})),
                      static_cast<int>(v));
        }
    EXPECT_EQ(Read(Exif(true, {{0x0112, 4, 1, 6}})), 6); // a LONG from a careless writer
}

TEST(ExifOrientation, AbsentInvalidOrDamagedGivesOne) {
    EXPECT_EQ(Read(Exif(false, {{0x010F, 2, 4, 0}})), 1);
    EXPECT_EQ(Read(Exif(false, {{0x0112, 3, 1, 0}})), 1);
    EXPECT_EQ(Read(Exif(false, {{0x0112, 3, 1, 9}})), 1);
    EXPECT_EQ(Read(Exif(false, {{0x0112, 2, 1, 6}})), 1); // wrong type
    EXPECT_EQ(Read(Exif(false, {{0x0112, 3, 0, 6}})), 1); // no value
    std::vector<uint8_t> b = Exif(false, {{0x0112, 3, 1, 6}});
    // Every truncation stays inside the block and finds nothing.
    for (size_t n = 0; n <= b.size(); ++n)
        EXPECT_EQ(ExifOrientation(b.data(), n), n >= 22 ? 6 : 1) << n;
    b[2] = 43; // not a TIFF structure
    EXPECT_EQ(Read(b), 1);
    // An IFD offset past the end, and one that wraps around.
    EXPECT_EQ(Read(Exif(false, {{0x0112, 3, 1, 6}}, 8)), 6);
    std::vector<uint8_t> far = Exif(false, {{0x0112, 3, 1, 6}});
    far[4] = far[5] = far[6] = far[7] = 0xFF;
    EXPECT_EQ(Read(far), 1);
    // A count of entries far beyond the block.
    std::vector<uint8_t> many = Exif(false, {{0x0100, 3, 1, 6}});
    many[8] = many[9] = 0xFF;
    EXPECT_EQ(Read(many), 1);
    EXPECT_EQ(ExifOrientation(nullptr, 0), 1);
}

TEST(ExifOrientation, FindsTheExifSegmentOfAJPEG) {
    const std::vector<uint8_t> exif = Exif(true, {{0x0112, 3, 1, 8}});
    auto segment = [](uint8_t marker, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> s{0xFF, marker, static_cast<uint8_t>((body.size() + 2) >> 8),
                               static_cast<uint8_t>(body.size() + 2)};
        s.insert(s.end(), body.begin(), body.end());
        return s;
    };
    std::vector<uint8_t> app1{'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    std::vector<uint8_t> xmp{'h', 't', 't', 'p', ':', '/', '/'};
    std::vector<uint8_t> jpeg{0xFF, 0xD8};
    for (const auto& s : {segment(0xE0, {'J', 'F', 'I', 'F', 0}), segment(0xE1, xmp),
                          segment(0xE1, app1), segment(0xDA, {0, 0, 0})})
        jpeg.insert(jpeg.end(), s.begin(), s.end());
    TByteRange r = FindJPEGExif(jpeg.data(), jpeg.size());
    ASSERT_EQ(r.Size, exif.size());
    EXPECT_EQ(ExifOrientation(r.Data, r.Size), 8);
    // A segment length running past the end is refused, at every cut.
    for (size_t n = 0; n < jpeg.size(); ++n) {
        TByteRange cut = FindJPEGExif(jpeg.data(), n);
        EXPECT_TRUE(cut.Size == 0 || cut.Data + cut.Size <= jpeg.data() + n) << n;
    }
    // EXIF after the start of the scan belongs to no header.
    std::vector<uint8_t> late{0xFF, 0xD8};
    for (const auto& s : {segment(0xDA, {0, 0, 0}), segment(0xE1, app1)})
        late.insert(late.end(), s.begin(), s.end());
    EXPECT_EQ(FindJPEGExif(late.data(), late.size()).Size, 0u);
}
