// SPDX-License-Identifier: GPL-3.0-or-later
// TJPEGImage: JPEG files through libjpeg's version 6 interface. The image
// keeps compressed data, a decoded bitmap, or both: data is decoded the first
// time the bitmap is needed, and a bitmap is compressed when data is needed.
#pragma once

#include "base/Exceptions.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Graphic.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct jpeg_decompress_struct;
struct jpeg_progress_mgr;

// Every fatal libjpeg error: "JPEG error #%d" with the library's message code.
TREVASCO_EXCEPTION(EJPEG, Exception)

enum TJPEGPixelFormat { jf24Bit, jf8Bit };
enum TJPEGPerformance { jpBestQuality, jpBestSpeed };
enum TJPEGScale { jsFullSize, jsHalf, jsQuarter, jsEighth };

// The settings a new TJPEGImage starts with.
struct TJPEGDefaults {
    uint8_t CompressionQuality = 90;
    bool Grayscale = false;
    bool ProgressiveEncoding = false;
    TJPEGPerformance Performance = jpBestQuality;
    TJPEGPixelFormat PixelFormat = jf24Bit;
    bool ProgressiveDisplay = false;
    TJPEGScale Scale = jsFullSize;
    bool Smoothing = true;
};
extern TJPEGDefaults JPEGDefaults;

class TJPEGImage : public TGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    TJPEGImage();
    ~TJPEGImage() override;

    // The decoded size (after scaling) when only data is held.
    int Width() const override;
    int Height() const override;
    // Resizing works on the bitmap and drops the compressed data.
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    bool Empty() const override;

    void LoadFromStream(TStream& stream) override;
    // Compresses first when only a bitmap is held, then writes the data in one piece.
    void SaveToStream(TStream& stream) override;
    void Assign(const TGraphic& source) override;
    void Draw(TCanvas& canvas, const TRect& rect) override;

    // Takes over a bitmap without copying its pixels; drops any compressed data.
    void TakeBitmap(std::unique_ptr<TBitmap> bitmap);
    // The decoded picture (decoding on first use).
    const TBitmap& Bitmap();
    // Compresses the bitmap into new data (when none is held).
    void Compress();
    // Forces decoding of the held data now.
    void DIBNeeded() { Bitmap(); }
    // Decodes the held data straight into target, a 24- or 32-bit raster of
    // the decoded size, with the pixels Bitmap() would give; no decoded copy
    // is kept. False, with nothing written, when only data is held no more,
    // the target does not fit, or the file decodes to grey, CMYK or palette
    // pixels (the caller then draws the image instead).
    bool DecodeInto(TBitmap& target);
    // Decodes the held data a band of rows at a time, handing each band to
    // sink (blue-green-red rows, `stride` bytes apart); no decoded picture is
    // kept. False, with nothing decoded, when only data is held no more or the
    // file decodes to grey, CMYK or palette pixels. Errors as for Bitmap(),
    // raised after the rows read so far were handed out.
    using TRowSink = std::function<void(const uint8_t* rows, size_t stride, int count)>;
    bool DecodeRows(const TRowSink& sink);
    // When only data is held and the scale is still full size: picks the
    // smallest DCT scale (1/2, 1/4, 1/8) whose picture is at least
    // width x height, so a picture shrunk afterwards is decoded at a fraction
    // of its pixels. True when a smaller scale was chosen.
    bool ScaleForAtLeast(int width, int height);
    const std::vector<uint8_t>& Data() const { return FData; }
    bool HasData() const { return FHasData; }

    // Encoding settings: they apply to the next compression. Assigning a
    // bitmap drops held data, so a conversion always compresses with them.
    uint8_t CompressionQuality = 90;
    bool Grayscale = false;
    bool ProgressiveEncoding = false;
    // Decoding settings: they apply to the next decode of held data.
    TJPEGPerformance Performance = jpBestQuality;
    TJPEGPixelFormat PixelFormat = jf24Bit;
    bool ProgressiveDisplay = false;
    TJPEGScale Scale = jsFullSize;
    bool Smoothing = true;

private:
    friend struct TJPEGProgressMonitor;
    enum TOutputKind { okColour, okCMYK, okGrey, okQuantized };
    // Reads the header into info and applies the decoding settings; colour
    // files are set to decode as colourSpace (a J_COLOR_SPACE). errors is
    // the decompressor's error manager; failures are raised.
    TOutputKind PrepareDecode(jpeg_decompress_struct& info, jpeg_progress_mgr* progress,
                              void* errors, int colourSpace) const;
    void Decode();
    void ReadHeader();
    void ReportProgress(TProgressStage stage, uint8_t percent) {
        Progress(stage, percent, false, TRect{}, std::string());
    }

    std::vector<uint8_t> FData;
    bool FHasData = false;
    std::unique_ptr<TBitmap> FBitmap;
    // Full-size dimensions from the header of the held data.
    int FHeaderWidth = 0, FHeaderHeight = 0;
};
