// SPDX-License-Identifier: GPL-3.0-or-later
// The pixel limit in every reader: a file of a few hundred bytes declaring a
// raster of billions of pixels must be refused from its header, before any
// buffer for it is allocated, and the limit is a setting, not a constant.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "toolkit/Graphic.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<uint8_t>;

void Le16(TBytes& b, uint32_t v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
void Le32(TBytes& b, uint32_t v) {
    Le16(b, v & 0xFFFF);
    Le16(b, v >> 16);
}
void Be16(TBytes& b, uint32_t v) {
    b.push_back((v >> 8) & 0xFF);
    b.push_back(v & 0xFF);
}
void Be32(TBytes& b, uint32_t v) {
    Be16(b, v >> 16);
    Be16(b, v & 0xFFFF);
}
void Append(TBytes& b, const char* s) {
    b.insert(b.end(), s, s + std::strlen(s));
}
void Zeros(TBytes& b, size_t n) {
    b.insert(b.end(), n, 0);
}

TBytes Bmp(uint32_t w, uint32_t h) {
    TBytes b;
    Append(b, "BM");
    Le32(b, 54 + 64);
    Le32(b, 0);
    Le32(b, 54);
    Le32(b, 40);
    Le32(b, w);
    Le32(b, h);
    Le16(b, 1);
    Le16(b, 24);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, 2835);
    Le32(b, 2835);
    Le32(b, 0);
    Le32(b, 0);
    Zeros(b, 64);
    return b;
}

// One icon entry holding a 32-bit device-independent bitmap of the size.
TBytes Ico(uint32_t w, uint32_t h) {
    TBytes b;
    Le16(b, 0);
    Le16(b, 1);
    Le16(b, 1);
    b.push_back(0); // 256 wide in the directory; the bitmap header tells the truth
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    Le16(b, 1);
    Le16(b, 32);
    Le32(b, 40 + 64);
    Le32(b, 22);
    Le32(b, 40);
    Le32(b, w);
    Le32(b, h * 2);
    Le16(b, 1);
    Le16(b, 32);
    Zeros(b, 24);
    Zeros(b, 64);
    return b;
}

TBytes Gif(uint32_t w, uint32_t h) {
    TBytes b;
    Append(b, "GIF89a");
    Le16(b, w);
    Le16(b, h);
    b.push_back(0x80); // a global colour map of two entries
    b.push_back(0);
    b.push_back(0);
    Zeros(b, 3);
    b.insert(b.end(), 3, 0xFF);
    b.push_back(0x2C);
    Le32(b, 0);
    Le16(b, w);
    Le16(b, h);
    b.push_back(0);
    b.push_back(2);    // code size
    b.push_back(2);    // one sub-block of two bytes
    b.push_back(0x44); // clear, 0, ...
    b.push_back(0x01);
    b.push_back(0);
    b.push_back(0x3B);
    return b;
}

void PngChunk(TBytes& b, const char* type, const TBytes& data) {
    Be32(b, static_cast<uint32_t>(data.size()));
    TBytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    b.insert(b.end(), body.begin(), body.end());
    Be32(b, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

TBytes Png(uint32_t w, uint32_t h) {
    TBytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    TBytes ihdr;
    Be32(ihdr, w);
    Be32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    PngChunk(b, "IHDR", ihdr);
    TBytes raw(64, 0), packed(128);
    uLongf n = packed.size();
    compress(packed.data(), &n, raw.data(), raw.size());
    packed.resize(n);
    PngChunk(b, "IDAT", packed);
    PngChunk(b, "IEND", {});
    return b;
}

// A grey TIFF of one strip.
TBytes Tiff(uint32_t w, uint32_t h) {
    TBytes b;
    Append(b, "II");
    Le16(b, 42);
    Le32(b, 8);
    const uint32_t entries = 9, dataOffset = 8 + 2 + entries * 12 + 4;
    Le16(b, entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
        Le16(b, tag);
        Le16(b, type);
        Le32(b, 1);
        Le32(b, value);
    };
    entry(256, 4, w);
    entry(257, 4, h);
    entry(258, 3, 8);
    entry(259, 3, 1);
    entry(262, 3, 1);
    entry(273, 4, dataOffset);
    entry(277, 3, 1);
    entry(278, 4, h);
    entry(279, 4, 64);
    Le32(b, 0);
    Zeros(b, 64);
    return b;
}

TBytes Pcx(uint32_t w, uint32_t h) {
    TBytes b = {10, 5, 1, 8};
    Le16(b, 0);
    Le16(b, 0);
    Le16(b, w - 1);
    Le16(b, h - 1);
    Le16(b, 72);
    Le16(b, 72);
    Zeros(b, 48);
    b.push_back(0);
    b.push_back(1);
    Le16(b, (w + 1) & ~1u);
    Le16(b, 1);
    Zeros(b, 128 - b.size());
    b.insert(b.end(), 64, 0xC1); // runs of one byte
    return b;
}

TBytes Psd(uint32_t w, uint32_t h) {
    TBytes b;
    Append(b, "8BPS");
    Be16(b, 1);
    Zeros(b, 6);
    Be16(b, 3);
    Be32(b, h);
    Be32(b, w);
    Be16(b, 8);
    Be16(b, 3);
    Be32(b, 0);
    Be32(b, 0);
    Be32(b, 0);
    Be16(b, 0);
    Zeros(b, 64);
    return b;
}

// A DOS EPS header whose preview is the TIFF above.
TBytes Eps(uint32_t w, uint32_t h) {
    const char ps[] = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n";
    const TBytes tiff = Tiff(w, h);
    const uint32_t psLen = sizeof ps - 1, psOff = 30, tiffOff = psOff + psLen;
    TBytes b = {0xC5, 0xD0, 0xD3, 0xC6};
    Le32(b, psOff);
    Le32(b, psLen);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, tiffOff);
    Le32(b, static_cast<uint32_t>(tiff.size()));
    Le16(b, 0xFFFF);
    Append(b, ps);
    // The preview's offsets are relative to its own start.
    b.insert(b.end(), tiff.begin(), tiff.end());
    return b;
}

TBytes Jpeg(uint32_t w, uint32_t h) {
    TBytes b = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    b.insert(b.end(), 64, 1);
    b.insert(b.end(), {0xFF, 0xC0, 0x00, 0x0B, 0x08});
    Be16(b, h);
    Be16(b, w);
    b.insert(b.end(), {0x01, 0x01, 0x11, 0x00});
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
    Zeros(b, 64);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

// A placeable metafile of no records but its end, w x h pixels at 96 per inch.
TBytes Wmf(uint32_t w, uint32_t h) {
    uint32_t inch = 96;
    while (int64_t(std::max(w, h)) * inch / 96 > 32000)
        inch /= 2;
    TBytes b;
    Le32(b, 0x9AC6CDD7);
    Le16(b, 0);
    Le16(b, 0);
    Le16(b, 0);
    Le16(b, static_cast<uint32_t>(int64_t(w) * inch / 96));
    Le16(b, static_cast<uint32_t>(int64_t(h) * inch / 96));
    Le16(b, inch);
    Le32(b, 0);
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum ^= static_cast<uint16_t>(b[i] | (b[i + 1] << 8));
    Le16(b, sum);
    Le16(b, 1);
    Le16(b, 9);
    Le16(b, 0x0300);
    Le32(b, 9 + 3);
    Le16(b, 0);
    Le32(b, 3);
    Le16(b, 0);
    Le32(b, 3);
    Le16(b, 0);
    return b;
}

// An enhanced metafile of a header and its end, framed at w x h pixels.
TBytes Emf(uint32_t w, uint32_t h) {
    const uint32_t devW = 1920, devH = 1080, mmW = 320, mmH = 180;
    TBytes b;
    Le32(b, 1);
    Le32(b, 88);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, w - 1);
    Le32(b, h - 1);
    Le32(b, 0);
    Le32(b, 0);
    // The frame is in hundredths of a millimetre; pictures show it at 96 per inch.
    Le32(b, static_cast<uint32_t>(int64_t(w) * 2540 / 96));
    Le32(b, static_cast<uint32_t>(int64_t(h) * 2540 / 96));
    Le32(b, 0x464D4520);
    Le32(b, 0x10000);
    Le32(b, 88 + 20);
    Le32(b, 2);
    Le16(b, 1);
    Le16(b, 0);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, 0);
    Le32(b, devW);
    Le32(b, devH);
    Le32(b, mmW);
    Le32(b, mmH);
    Le32(b, 14);
    Le32(b, 20);
    Le32(b, 0);
    Le32(b, 16);
    Le32(b, 20);
    return b;
}

struct TReaderCase {
    const char* Name;
    const char* Extension;
    std::function<TBytes(uint32_t, uint32_t)> Make;
    uint32_t MaxSide; // what the format can declare
};

const std::vector<TReaderCase>& Readers() {
    static const std::vector<TReaderCase> readers = {
        {"BMP", "bmp", Bmp, 1000000}, {"ICO", "ico", Ico, 1000000},   {"GIF", "gif", Gif, 65535},
        {"PNG", "png", Png, 1000000}, {"TIFF", "tif", Tiff, 1000000}, {"PCX", "pcx", Pcx, 65534},
        {"PSD", "psd", Psd, 30000},   {"EPS", "eps", Eps, 1000000},   {"JPEG", "jpg", Jpeg, 65500},
        {"WMF", "wmf", Wmf, 1000000}, {"EMF", "emf", Emf, 1000000},
    };
    return readers;
}

long PeakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

class PixelLimit : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    // Other suites register and withdraw formats of their own.
    static void TearDownTestSuite() { UnregisterImageFormats(); }
    void SetUp() override {
        FOldLimit = GetPixelLimit();
        FConverter.BeforeRun();
    }
    void TearDown() override {
        FConverter.AfterRun();
        SetPixelLimit(FOldLimit);
    }

    // Converts the bytes as a file of the extension; returns the error message
    // ("" when it converted) and checks that no destination was left behind.
    std::string Convert(const TBytes& bytes, const std::string& extension) {
        const std::string src = FFolder.File("in." + extension), dst = FFolder.File("out.png");
        WriteFileBytes(src, bytes);
        std::string message;
        try {
            TConvertOptions o;
            o.Destination = DestinationFromIndex(dfPNG);
            FConverter.ConvertFile(src, dst, o);
        } catch (const Exception& e) {
            message = e.what();
            EXPECT_NE(message, "") << extension;
            EXPECT_FALSE(fs::exists(dst)) << extension;
        }
        fs::remove(dst);
        fs::remove(src);
        return message;
    }

    int64_t FOldLimit = 0;
    TTempFolder FFolder;
    TImageConverter FConverter;
};

// Billions of declared pixels under the default limit: refused from the header.
TEST_F(PixelLimit, HugeDeclaredRasterFailsFastInEveryReader) {
    for (const auto& r : Readers()) {
        const uint32_t side = std::min<uint32_t>(r.MaxSide, 200000);
        ASSERT_GT(int64_t(side) * side, GetPixelLimit()) << r.Name;
        const TBytes bytes = r.Make(side, side);
        ASSERT_LT(bytes.size(), 1024u) << r.Name;
        const long rssBefore = PeakRssKb();
        const auto start = std::chrono::steady_clock::now();
        const std::string message = Convert(bytes, r.Extension);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const long grownKb = PeakRssKb() - rssBefore;
        EXPECT_EQ(message, "Image too large") << r.Name << " " << side << " x " << side;
        EXPECT_LT(seconds, 2.0) << r.Name;
        EXPECT_LT(grownKb, 32 * 1024) << r.Name << ": peak memory grew by " << grownKb << " KiB";
    }
}

// A lowered limit refuses what the default allows, in every reader, and a
// raised one lets it through again.
TEST_F(PixelLimit, IsAdjustable) {
    SetPixelLimit(1 << 20);
    for (const auto& r : Readers()) {
        const long rssBefore = PeakRssKb();
        EXPECT_EQ(Convert(r.Make(1500, 1500), r.Extension), "Image too large") << r.Name;
        const long grownKb = PeakRssKb() - rssBefore;
        EXPECT_LT(grownKb, 4 * 1024) << r.Name << ": peak memory grew by " << grownKb << " KiB";
    }

    const std::string small = FFolder.File("small.bmp"), dst = FFolder.File("small.png");
    WriteBmp(small, 20, 10);
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfPNG);
    SetPixelLimit(199);
    try {
        FConverter.ConvertFile(small, dst, o);
        ADD_FAILURE() << "a 200-pixel image passed a limit of 199";
    } catch (const EImageTooLarge& e) {
        EXPECT_STREQ(e.what(), "Image too large");
    }
    EXPECT_FALSE(fs::exists(dst));
    SetPixelLimit(200);
    FConverter.ConvertFile(small, dst, o);
    EXPECT_TRUE(fs::exists(dst));
}

} // namespace
