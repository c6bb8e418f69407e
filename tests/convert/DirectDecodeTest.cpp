// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding a JPEG straight into the destination raster, and rasters that are
// allocated without a fill because a copy covers them: both must give the
// bytes of the ordinary decode, fill and draw.
#include "base/Streams.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/ImageConverter.h"
#include "jpeg/JPEGImage.h"
#include "png/PNGImage.h"
#include "toolkit/Picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace {

std::vector<uint8_t> Encode(const TBitmap& b, bool grayscale = false) {
    TJPEGImage jpeg;
    jpeg.Assign(b);
    jpeg.CompressionQuality = 85;
    jpeg.Grayscale = grayscale;
    TMemoryStream out;
    jpeg.SaveToStream(out);
    return out.Data();
}

std::unique_ptr<TJPEGImage> Load(const std::vector<uint8_t>& data) {
    auto jpeg = std::make_unique<TJPEGImage>();
    TReadOnlyMemoryStream in(data.data(), data.size());
    jpeg->LoadFromStream(in);
    return jpeg;
}

// Every stored byte of the raster, padding included.
std::vector<uint8_t> Raster(const TBitmap& b) {
    std::vector<uint8_t> out;
    for (int y = 0; y < b.Height(); ++y)
        out.insert(out.end(), b.ScanLine(y), b.ScanLine(y) + b.BytesPerScanLine());
    return out;
}

// Pixels of garbage (the padding stays zero, as in every raster): whatever
// DecodeInto leaves unwritten shows.
void Scribble(TBitmap& b) {
    for (int y = 0; y < b.Height(); ++y)
        std::memset(b.ScanLine(y), 0xA5, b.RowBytes());
}

// The ordinary road: decode into the image's own bitmap, then draw it onto a
// white raster of the target format.
TBitmap Reference(const std::vector<uint8_t>& data, TPixelFormat format, TJPEGScale scale) {
    auto jpeg = Load(data);
    jpeg->Scale = scale;
    TBitmap target(0, 0, format);
    target.SetSize(jpeg->Width(), jpeg->Height());
    target.Canvas().StretchDraw(Rect(0, 0, target.Width(), target.Height()), *jpeg);
    return target;
}

} // namespace

TEST(DirectDecode, GivesTheBytesOfDecodeAndDrawForEveryColourJPEG) {
    std::vector<std::vector<uint8_t>> files;
    // Odd sizes make 24-bit rows padded and the chroma blocks partial.
    for (auto [w, h] : {std::pair{1, 1}, {17, 9}, {203, 61}, {64, 64}})
        files.push_back(Encode(MakeTestPicture(w, h)));
    for (const std::string& f : CorpusFiles("jpeg", {".jpg", ".jpeg"}, /*recursive=*/true))
        files.push_back(ReadWholeFile(f));
    int decoded = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        for (TPixelFormat format : {pf24bit, pf32bit, pfDevice})
            for (TJPEGScale scale : {jsFullSize, jsHalf}) {
                SCOPED_TRACE(testing::Message()
                             << "file " << i << " format " << format << " scale " << scale);
                std::unique_ptr<TJPEGImage> jpeg;
                try {
                    jpeg = Load(files[i]);
                } catch (const Exception&) {
                    continue; // damaged corpus files are the readers' tests' business
                }
                jpeg->Scale = scale;
                TBitmap target(0, 0, format);
                target.SetSizeForOverwrite(jpeg->Width(), jpeg->Height());
                Scribble(target);
                const std::vector<uint8_t> before = Raster(target);
                bool direct = false;
                try {
                    direct = jpeg->DecodeInto(target);
                } catch (const Exception&) {
                    continue;
                }
                if (!direct) {
                    // Refused (grey, CMYK): nothing may have been written.
                    EXPECT_EQ(Raster(target), before);
                    continue;
                }
                ++decoded;
                EXPECT_EQ(Raster(target), Raster(Reference(files[i], format, scale)));
                // No decoded copy is kept; the image still decodes on demand.
                EXPECT_EQ(jpeg->Bitmap().Width(), target.Width());
            }
    }
    EXPECT_GE(decoded, 4 * 3 * 2);
}

TEST(DirectDecode, RefusesWhatItCannotWriteWholly) {
    const auto colour = Encode(MakeTestPicture(40, 30));
    {
        auto jpeg = Load(colour);
        TBitmap wrongSize(41, 30, pf32bit), indexed(40, 30, pf8bit), sixteen(40, 30, pf16bit);
        for (TBitmap* b : {&wrongSize, &indexed, &sixteen}) {
            Scribble(*b);
            const auto before = Raster(*b);
            EXPECT_FALSE(jpeg->DecodeInto(*b));
            EXPECT_EQ(Raster(*b), before);
        }
    }
    {
        // Grey files decode to a palette bitmap; the caller draws instead.
        auto grey = Load(Encode(MakeTestPicture(40, 30), /*grayscale=*/true));
        TBitmap target(40, 30, pf32bit);
        EXPECT_FALSE(grey->DecodeInto(target));
    }
    {
        // Once a bitmap is held (or was drawn into), the data is not decoded again.
        auto jpeg = Load(colour);
        jpeg->DIBNeeded();
        TBitmap target(40, 30, pf32bit);
        EXPECT_FALSE(jpeg->DecodeInto(target));
    }
    {
        // Damaged data fails as a JPEG error, not as a crash or silent garbage.
        std::vector<uint8_t> cut(colour.begin(), colour.begin() + colour.size() / 3);
        cut.push_back(0xFF);
        cut.push_back(0xD9);
        TBitmap target(40, 30, pf32bit);
        try {
            auto jpeg = Load(cut);
            EXPECT_TRUE(jpeg->DecodeInto(target)); // libjpeg fills the missing part
        } catch (const EJPEG&) {
        }
    }
}

// The converter skips the white fill only for sources whose drawing covers
// the raster: every row, padding included, must match the filled road.
TEST(DirectDecode, ConvertedRastersMatchTheFilledRoad) {
    TTempFolder dir;
    const int w = 37, h = 23; // 24-bit rows of 111 bytes: one byte of padding
    TBitmap picture = MakeTestPicture(w, h);
    {
        TAtomicFileStream bmp(dir.File("a.bmp"));
        picture.SaveToStream(bmp);
        bmp.Commit();
        TPNGImage png;
        png.Assign(picture);
        png.SaveToFile(dir.File("b.png"));
        const auto jpeg = Encode(picture);
        TAtomicFileStream j(dir.File("c.jpg"));
        j.WriteBuffer(jpeg.data(), jpeg.size());
        j.Commit();
    }
    TPicture::RegisterFileFormat("bmp", "Bitmaps", TBitmap::StaticClass());
    TPicture::RegisterFileFormat("jpg", "JPEG images", TJPEGImage::StaticClass());
    RegisterPNGFormat();
    for (const char* source : {"a.bmp", "b.png", "c.jpg"})
        for (int pf : {int(pfDevice), int(pf8bit), int(pf4bit), int(pf24bit)}) {
            SCOPED_TRACE(testing::Message() << source << " pixel format " << pf);
            TConvertOptions options;
            options.Destination = DestinationFromIndex(dfBitmap);
            options.PixelFormat = PixelFormatFromIndex(pf);
            TImageConverter converter;
            converter.BeforeRun();
            converter.ConvertFile(dir.File(source), dir.File("out.bmp"), options);
            converter.AfterRun();

            TPicture loaded;
            loaded.LoadFromFile(dir.File(source));
            TBitmap expected(0, 0, static_cast<TPixelFormat>(pf));
            expected.SetSize(w, h);
            expected.Canvas().StretchDraw(Rect(0, 0, w, h), *loaded.Graphic());
            TMemoryStream bytes;
            expected.SaveToStream(bytes);
            EXPECT_EQ(ReadWholeFile(dir.File("out.bmp")), bytes.Data());
        }
}
