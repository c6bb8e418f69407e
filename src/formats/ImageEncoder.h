// SPDX-License-Identifier: GPL-3.0-or-later
// TImageEncoder: the small interface the conversion writes WebP, AVIF and
// JPEG XL destinations through. An encoder takes the finished destination
// raster (with its alpha plane when it has one) and the source's metadata,
// and writes what the format can hold; the libraries stay behind it.
#pragma once

#include "base/Streams.h"
#include "toolkit/Bitmap.h"
#include "toolkit/ImageMetadata.h"

#include <cstdint>
#include <memory>

struct TEncoderSettings {
    // 1..100, as the JPEG quality; values outside are brought into the range.
    int Quality = 90;
    // Exact pixels (alpha included) instead of the quality's loss.
    bool Lossless = false;
    // How hard the encoder works, on the format's own scale (WebP method
    // 0..6, AVIF speed 0..10 where higher is faster, JPEG XL effort 1..9);
    // -1 takes the format's default.
    int Effort = -1;
};

class TImageEncoder {
public:
    virtual ~TImageEncoder() = default;
    // Encodes bitmap to stream. EXIF (a TIFF structure), XMP and ICC of
    // metadata are stored where the format has room for them; the
    // orientation is not: the pixels are written as they are to be seen.
    virtual void Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) = 0;
    // The format's name for messages ("WebP", "AVIF", "JPEG XL").
    virtual const char* FormatName() const = 0;
};

// Writes the encoded file through a temporary file that replaces fileName
// only when the encoder succeeded, so a failure leaves nothing half-written.
void SaveEncodedFile(TImageEncoder& encoder, const TBitmap& bitmap, const TImageMetadata& metadata,
                     const std::string& fileName);

// 1..100 from any integer.
int ClampQuality(int quality);

class TWebPEncoder : public TImageEncoder {
public:
    explicit TWebPEncoder(const TEncoderSettings& settings) : FSettings(settings) {}
    void Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) override;
    const char* FormatName() const override { return "WebP"; }
    static constexpr int DefaultEffort = 4;
    static constexpr int MaxEffort = 6;
    // The format's limit on either side.
    static constexpr int MaxSide = 16383;

private:
    TEncoderSettings FSettings;
};

// AVIF through libheif's AV1 encoder (aom in Debian's libheif).
class TAVIFEncoder : public TImageEncoder {
public:
    explicit TAVIFEncoder(const TEncoderSettings& settings) : FSettings(settings) {}
    void Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) override;
    const char* FormatName() const override { return "AVIF"; }
    static constexpr int DefaultEffort = 6;
    static constexpr int MaxEffort = 10;
    // The largest AV1 frame of any defined level (6.x). A larger picture is
    // written as a grid of tiles, as the format intends; one frame of it would
    // also cost libaom about 90 bytes a pixel (9 GB for 100 MP).
    static constexpr int MaxFrameWidth = 16384;
    static constexpr int MaxFrameHeight = 8704;
    static constexpr int64_t MaxFramePixels = 35651584;
    // The largest tile side of a grid (within the smallest profile's level, 5.1).
    static constexpr int GridTileSide = 2048;
    static bool FitsOneFrame(int width, int height);
    // Writes the picture as a grid of equal tiles of at most maxTileSide a
    // side, whatever its size (Encode does so beyond one frame).
    void EncodeTiled(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream,
                     int maxTileSide);

private:
    TEncoderSettings FSettings;
};

class TJXLEncoder : public TImageEncoder {
public:
    explicit TJXLEncoder(const TEncoderSettings& settings) : FSettings(settings) {}
    void Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) override;
    const char* FormatName() const override { return "JPEG XL"; }
    static constexpr int DefaultEffort = 7;
    static constexpr int MinEffort = 1;
    static constexpr int MaxEffort = 9;
    // The Butteraugli distance a quality stands for (cjxl's mapping): 100 is
    // 0.1, 90 is 1.0, 30 is 6.4, below that it grows faster, up to libjxl's 25.
    static float DistanceOf(int quality);
    // libjxl 0.7 takes a frame whole and needs about 100 bytes a pixel to
    // encode it, so larger pictures go out as layers of tiles, one at a time.
    static constexpr int64_t LargestSingleFrame = 35651584;
    static constexpr int LayerTileSide = 2048;
    // Encode with another bound and tile side (the small pictures of tests).
    void EncodeLayered(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream,
                       int64_t largestSingleFrame, int tileSide);

private:
    TEncoderSettings FSettings;
};
