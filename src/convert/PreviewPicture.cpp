// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/PreviewPicture.h"

#include "base/Exceptions.h"
#include "convert/ImageConverter.h"
#include "convert/Orientation.h"
#include "convert/Resampler.h"
#include "convert/WorkingRaster.h"
#include "jpeg/JPEGImage.h"
#include "metafile/Metafile.h"
#include "toolkit/Canvas.h"
#include "toolkit/Picture.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace {

// A pf24bit or pf32bit working raster as pf32bit with straight alpha.
std::unique_ptr<TBitmap> WithAlphaByte(const TBitmap& pixels, bool alpha) {
    if (pixels.PixelFormat() == pf32bit && alpha) return std::make_unique<TBitmap>(pixels);
    auto out = std::make_unique<TBitmap>(pixels.Width(), pixels.Height(), pf32bit);
    const int step = pixels.PixelFormat() == pf32bit ? 4 : 3;
    for (int y = 0; y < pixels.Height(); ++y) {
        const uint8_t* from = pixels.ScanLine(y);
        uint8_t* to = out->ScanLine(y);
        for (int x = 0; x < pixels.Width(); ++x, from += step, to += 4) {
            std::memcpy(to, from, 3);
            to[3] = 255;
        }
    }
    return out;
}

} // namespace

void FitInsideBox(int width, int height, int boxWidth, int boxHeight, int& fitWidth,
                  int& fitHeight) {
    const int64_t w = std::max(width, 1), h = std::max(height, 1);
    const int64_t bw = std::clamp<int64_t>(boxWidth, 1, w),
                  bh = std::clamp<int64_t>(boxHeight, 1, h);
    // The side that meets its limit first sets the scale.
    int64_t fw = bw, fh = bh;
    if (bw * h <= bh * w)
        fh = (2 * bw * h + w) / (2 * w);
    else
        fw = (2 * bh * w + h) / (2 * h);
    fitWidth = static_cast<int>(std::clamp<int64_t>(fw, 1, bw));
    fitHeight = static_cast<int>(std::clamp<int64_t>(fh, 1, bh));
}

TPreviewPicture LoadPreviewPicture(const std::string& fileName, int boxWidth, int boxHeight) {
    TPicture picture;
    picture.LoadFromFile(fileName);
    TGraphic& source = *picture.Graphic();
    if (source.Width() <= 0 || source.Height() <= 0)
        throw EInvalidGraphic("The image is empty (its width or height is 0)");
    const int stated = source.Metadata().Orientation;
    const int orientation = OrientationTurns(stated) ? stated : 1;
    const bool swaps = OrientationSwapsSides(orientation);

    TPreviewPicture result;
    result.Width = swaps ? source.Height() : source.Width();
    result.Height = swaps ? source.Width() : source.Height();
    int fw = 0, fh = 0;
    FitInsideBox(result.Width, result.Height, boxWidth, boxHeight, fw, fh);
    const int storedW = swaps ? fh : fw, storedH = swaps ? fw : fh;

    if (source.InheritsFrom(TMetafile::StaticClass())) {
        // Vector pictures draw themselves at the small size, on white as a run draws them.
        TBitmap drawn(storedW, storedH, pf24bit);
        drawn.Canvas().StretchDraw(Rect(0, 0, storedW, storedH), source);
        result.Pixels = WithAlphaByte(drawn, false);
        return result;
    }
    // Decoding at a DCT scale costs a fraction of the full decode; the filter does the rest.
    if (auto* jpeg = dynamic_cast<TJPEGImage*>(&source)) jpeg->ScaleForAtLeast(storedW, storedH);

    TWorkingRaster work = WorkingRasterOf(source);
    if (orientation != 1) {
        work.Owned = OrientUpright(*work.Pixels, orientation);
        work.Pixels = work.Owned.get();
    }
    if (work.Pixels->Width() != fw || work.Pixels->Height() != fh) {
        work.Owned = TResampler::Resample(*work.Pixels, fw, fh, work.Alpha);
        work.Pixels = work.Owned.get();
    }
    result.Pixels = WithAlphaByte(*work.Pixels, work.Alpha);
    return result;
}

TPreviewResult ConvertForPreview(const std::string& source, const std::string& destFileName,
                                 const TConvertOptions& options, int boxWidth, int boxHeight) {
    {
        TImageConverter converter;
        converter.ConvertFile(source, destFileName, options);
    }
    TPreviewResult result;
    std::error_code error;
    const auto size = std::filesystem::file_size(destFileName, error);
    if (error) throw EFOpenError("The converted file cannot be read: " + error.message());
    result.FileSize = static_cast<int64_t>(size);
    result.Picture = LoadPreviewPicture(destFileName, boxWidth, boxHeight);
    return result;
}
