// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/ImageConverter.h"

#include "base/Exceptions.h"
#include "base/SpareCores.h"
#include "base/StrUtils.h"
#include "convert/Orientation.h"
#include "convert/Resampler.h"
#include "convert/Watermark.h"
#include "convert/WorkingRaster.h"
#include "formats/ImageEncoder.h"
#include "gif/GIFImage.h"
#include "jpeg/JPEGImage.h"
#include "metafile/Metafile.h"
#include "png/PNGImage.h"
#include "toolkit/Bitmap.h"
#include "toolkit/ColorProfile.h"
#include "toolkit/ExifOrientation.h"
#include "toolkit/Icon.h"

#include <algorithm>
#include <atomic>
#include <climits>

namespace {

// Metafiles and icons paint only part of their area; every other source is drawn opaque.
bool KeepsTransparency(const TGraphic& g) {
    return g.InheritsFrom(TMetafile::StaticClass()) || g.InheritsFrom(TIcon::StaticClass());
}

// Sources whose drawing is the plain stretched copy of a raster, which
// writes every pixel of the rectangle; a destination they cover wholly
// needs no white fill first.
bool DrawsEveryPixel(const TGraphic& g) {
    return g.InheritsFrom(TBitmap::StaticClass()) || g.InheritsFrom(TJPEGImage::StaticClass());
}

// Whether the destination keeps the source's profile: only JPEG and PNG
// hold one, only an RGB profile describes the RGB pixels they are written
// with, and stripping takes the profile too.
bool CarriesProfile(const TConvertOptions& o, const std::string& icc) {
    return (o.Destination == dfJPEG || o.Destination == dfPNG || o.Destination >= dfWebP) &&
           o.Metadata != TMetadataMode::Strip && ProfileSpace(icc) == psRGB;
}

// Whether the drawn pixels must be turned from the source's profile into
// sRGB: the profile describes them (RGB or grey) and is not written along.
// CMYK profiles are applied by the decoders themselves.
bool NeedsSRGB(const TConvertOptions& o, const std::string& icc) {
    const TProfileSpace space = ProfileSpace(icc);
    return (space == psRGB || space == psGray) && !CarriesProfile(o, icc);
}

// Converts a source picture to sRGB before it is drawn, for destinations
// whose own pixels cannot be converted afterwards (metafiles, 15/16-bit).
void ConvertSourceToSRGB(TGraphic& source, const std::string& icc) {
    if (auto* bitmap = dynamic_cast<TBitmap*>(&source)) {
        ConvertToSRGB(*bitmap, icc);
    } else if (auto* jpeg = dynamic_cast<TJPEGImage*>(&source)) {
        auto copy = std::make_unique<TBitmap>(jpeg->Bitmap());
        if (ConvertToSRGB(*copy, icc)) jpeg->TakeBitmap(std::move(copy));
    }
}

// The blocks the destination writes.
TImageMetadata DestinationMetadata(const TImageMetadata& source, const TConvertOptions& o,
                                   int width, int height, int orientation) {
    TMetadataEdit edit;
    edit.Mode = o.Metadata;
    // Pixels turned upright say so: a viewer must not turn them again. That
    // also holds where the container turned them (HEIF's irot/imir) while its
    // EXIF block still names the camera's orientation.
    const int stated = source.Exif.empty()
                           ? 1
                           : ExifOrientation(reinterpret_cast<const uint8_t*>(source.Exif.data()),
                                             source.Exif.size());
    edit.Upright = o.AutoRotate && (orientation != 1 || stated != 1);
    edit.Width = width;
    edit.Height = height;
    TImageMetadata written = EditMetadata(source, edit);
    if (!CarriesProfile(o, source.Icc)) written.Icc.clear();
    return written;
}

TPixelFormat BitmapPixelFormat(TPixelFormat format) {
    // The custom format (also what an unknown stored index reads as) is refused.
    if (format < pfDevice || format >= pfCustom) throw EInvalidGraphic("Invalid pixel format");
    return format;
}

// The encoder of a WebP, AVIF or JPEG XL destination with its options.
std::unique_ptr<TImageEncoder> CreateEncoder(const TConvertOptions& o) {
    TEncoderSettings s;
    s.Quality = ClampQuality(o.Quality);
    switch (*o.Destination) {
    case dfWebP:
        s.Lossless = o.WebP.Lossless;
        s.Effort = o.WebP.Effort;
        return std::make_unique<TWebPEncoder>(s);
    case dfAVIF:
        s.Lossless = o.AVIF.Lossless;
        s.Effort = o.AVIF.Effort;
        return std::make_unique<TAVIFEncoder>(s);
    default:
        s.Lossless = o.JXL.Lossless;
        s.Effort = o.JXL.Effort;
        return std::make_unique<TJXLEncoder>(s);
    }
}

} // namespace

// ---- TSourceImage

void TSourceImage::LoadFromFile(const std::string& fileName, const TProgressEvent& progress) {
    FPicture.OnProgress = progress;
    FPicture.LoadFromFile(fileName);
    TGraphic* g = FPicture.Graphic();
    if (!KeepsTransparency(*g)) g->SetTransparent(false);
    if (g->Width() > 0 && g->Height() > 0) {
        FWidth = g->Width();
        FHeight = g->Height();
    }
}

// ---- Resize

TDestinationSize ComputeDestinationSize(const TConvertOptions& o, int sourceWidth,
                                        int sourceHeight) {
    const int64_t sw = sourceWidth, sh = sourceHeight;
    TDestinationSize d{sw, sh};
    if (!o.Resize || (!o.UseWidth && !o.UseHeight)) return d;
    if (o.StretchMode == smPixels) {
        if (o.UseWidth) d.Width = o.Width.value_or(sourceWidth);
        if (o.UseHeight) d.Height = o.Height.value_or(sourceHeight);
    } else if (o.StretchMode == smPercent) {
        // The width is worked out even when unticked; the next step replaces it then.
        d.Width = o.Width.value_or(100) * sw / 100;
        if (o.UseHeight) d.Height = o.Height.value_or(100) * sh / 100;
    } else if (o.StretchMode == smFitInside) {
        const int64_t bw = o.UseWidth ? o.Width.value_or(sourceWidth) : 0;
        const int64_t bh = o.UseHeight ? o.Height.value_or(sourceHeight) : 0;
        if (o.UseWidth && o.UseHeight && sw > 0 && sh > 0) {
            // The side that meets its limit first sets the scale; the other
            // follows, rounded to the nearest pixel.
            if (bw * sh <= bh * sw) {
                d.Width = bw;
                d.Height = (2 * bw * sh + sw) / (2 * sw);
            } else {
                d.Height = bh;
                d.Width = (2 * bh * sw + sh) / (2 * sh);
            }
            if (bw >= 1 && bh >= 1) {
                d.Width = std::max<int64_t>(d.Width, 1);
                d.Height = std::max<int64_t>(d.Height, 1);
            }
        } else {
            d.Width = bw;
            d.Height = bh;
        }
    }
    if (!o.UseWidth) d.Width = d.Height * sw / sh;
    if (!o.UseHeight) d.Height = d.Width * sh / sw;
    // Shrink only: no side grows. Proportional modes scale both sides alike,
    // so they stay proportional; an exact size keeps the side that would grow.
    if (o.ShrinkOnly) {
        d.Width = std::min(d.Width, sw);
        d.Height = std::min(d.Height, sh);
    }
    return d;
}

bool WrittenPictureSize(const std::string& source, const TConvertOptions& options, int& width,
                        int& height) {
    try {
        TPicture picture;
        picture.LoadFromFile(source);
        const TDestinationSize size =
            ComputeDestinationSize(options, picture.Width(), picture.Height());
        if (size.Width < 1 || size.Height < 1 || size.Width > INT32_MAX || size.Height > INT32_MAX)
            return false;
        width = static_cast<int>(size.Width);
        height = static_cast<int>(size.Height);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// ---- TImageConverter

TImageConverter::TImageConverter() = default;
TImageConverter::~TImageConverter() = default;

void TImageConverter::BeforeRun() {
    FSource = std::make_unique<TSourceImage>();
}

void TImageConverter::AfterRun() {
    FSource.reset();
}

TProgressEvent TImageConverter::SaveProgressEvent() {
    return [this](TGraphic*, TProgressStage, uint8_t percent, bool, const TRect&,
                  const std::string&) { SaveProgress(percent); };
}

namespace {
std::atomic<int64_t> GPixelsConverted{0};
}

int64_t TImageConverter::PixelsConverted() {
    return GPixelsConverted.load(std::memory_order_relaxed);
}

void TImageConverter::ConvertFile(const std::string& sourceFileName,
                                  const std::string& destFileName, const TConvertOptions& options) {
    if (!options.Destination || *options.Destination < dfBitmap || *options.Destination > dfJXL)
        throw EInvalidGraphicOperation("No destination format selected.");
    if (!FSource) BeforeRun();

    FSource->LoadFromFile(sourceFileName,
                          [this](TGraphic*, TProgressStage, uint8_t percent, bool, const TRect&,
                                 const std::string&) { LoadProgress(percent); });
    TGraphic& source = *FSource->Graphic();
    // A picture without pixels would silently take the previous file's size
    // and come out blank; refuse it instead.
    if (source.Width() <= 0 || source.Height() <= 0)
        throw EInvalidGraphic("The source image is empty (its width or height is 0)");
    int sw = FSource->Width(), sh = FSource->Height();
    // Sizes and percentages apply to the picture as it is seen.
    const int orientation = options.AutoRotate && OrientationTurns(source.Metadata().Orientation)
                                ? source.Metadata().Orientation
                                : 1;
    if (OrientationSwapsSides(orientation)) std::swap(sw, sh);

    TDestinationSize size = ComputeDestinationSize(options, sw, sh);
    if (size.Width < 1 || size.Height < 1)
        throw EInvalidGraphic(Format("The destination size %lld x %lld is below 1 pixel",
                                     static_cast<long long>(size.Width),
                                     static_cast<long long>(size.Height)));
    // Checked before anything is allocated: the system would grant a huge
    // allocation and end the whole run later.
    if (size.Width > INT_MAX || size.Height > INT_MAX) throw EImageTooLarge("Image too large");
    CheckRasterSize(size.Width, size.Height);
    const int w = static_cast<int>(size.Width), h = static_cast<int>(size.Height);

    // A JPEG shrunk smoothly to a third of its size or less decodes at a DCT
    // scale (1/2, 1/4, 1/8) still at least 1.5 times the destination's size;
    // the filter does the rest. A DCT scale alone is a box filter: shrinking
    // by it exactly aliases fine detail (31 dB against a full-size Lanczos on
    // photos at 1/8), while a filter reducing the last 1.5 times or more stays
    // above 42 dB. The nearest-pixel copy keeps reading every stored pixel.
    if (options.Resample != rmNearest && NeedsWorkingRaster(source, options, w, h, orientation))
        if (auto* jpeg = dynamic_cast<TJPEGImage*>(&source)) {
            const bool swaps = OrientationSwapsSides(orientation);
            const int64_t tw = swaps ? h : w, th = swaps ? w : h;
            jpeg->ScaleForAtLeast(static_cast<int>(std::min<int64_t>((3 * tw + 1) / 2, INT_MAX)),
                                  static_cast<int>(std::min<int64_t>((3 * th + 1) / 2, INT_MAX)));
        }

    if (options.Destination == dfWMF || options.Destination == dfEMF)
        ConvertToMetafile(source, destFileName, options, w, h, orientation);
    else
        ConvertToRaster(source, destFileName, options, w, h, orientation);
    GPixelsConverted.fetch_add(static_cast<int64_t>(sw) * sh, std::memory_order_relaxed);
    SetProgress(100);
}

bool TImageConverter::NeedsWorkingRaster(TGraphic& source, const TConvertOptions& options,
                                         int width, int height, int orientation) {
    // Metafiles draw themselves at the destination size (they are vector);
    // opaque upright pictures that keep their size or are stretched to the
    // nearest pixel draw themselves as they always did.
    if (source.InheritsFrom(TMetafile::StaticClass())) return false;
    if (orientation != 1 || MayHaveAlpha(source)) return true;
    const bool sameSize = width == source.Width() && height == source.Height();
    return !sameSize && options.Resample != rmNearest;
}

TWorkingRaster TImageConverter::UprightAtSize(TGraphic& source, const TConvertOptions& options,
                                              int width, int height, int orientation) {
    // An upright JPEG shrunk smoothly is filtered while it decodes, so the
    // decoded picture never exists whole; a large one keeps the whole-picture
    // filter when idle cores can share it.
    auto* jpeg = dynamic_cast<TJPEGImage*>(&source);
    if (jpeg && orientation == 1 && options.Resample != rmNearest &&
        TRowResampler::Suits(jpeg->Width(), jpeg->Height(), width, height) &&
        (static_cast<int64_t>(jpeg->Width()) * jpeg->Height() < TResampler::ParallelPixels ||
         SpareCores::Available() == 0)) {
        TRowResampler resampler(jpeg->Width(), jpeg->Height(), width, height, 3);
        if (jpeg->DecodeRows([&resampler](const uint8_t* rows, size_t stride, int count) {
                resampler.Push(rows, stride, count);
            })) {
            TWorkingRaster work;
            work.Owned = resampler.Finish();
            work.Pixels = work.Owned.get();
            FSource->ReleaseGraphic();
            return work;
        }
    }
    TWorkingRaster work = WorkingRasterOf(source);
    if (orientation != 1) {
        work.Owned = OrientUpright(*work.Pixels, orientation);
        work.Pixels = work.Owned.get();
    }
    if (work.Pixels->Width() != width || work.Pixels->Height() != height) {
        std::unique_ptr<TBitmap> resized =
            options.Resample == rmNearest
                ? TResampler::ResampleNearest(*work.Pixels, width, height)
                : TResampler::Resample(*work.Pixels, width, height, work.Alpha);
        work.Owned = std::move(resized);
        work.Pixels = work.Owned.get();
    }
    if (!work.Owned) work.Own(); // never left borrowing from the graphic released now
    FSource->ReleaseGraphic();
    return work;
}

std::unique_ptr<TBitmap> TImageConverter::NewDestination(const TConvertOptions& options) {
    std::unique_ptr<TBitmap> dest;
    if (options.Destination == dfPNG) {
        dest = std::make_unique<TPNGImage>();
    } else {
        dest = std::make_unique<TBitmap>();
        // The pixel format is fixed before any size is set.
        if (options.Destination == dfBitmap)
            dest->SetPixelFormat(BitmapPixelFormat(options.PixelFormat));
        // The colour reduction reads blue, green and red only: a fourth byte
        // a pixel would be memory traffic for nothing.
        // The modern encoders read the same three bytes a pixel.
        else if (options.Destination == dfGIF || options.Destination >= dfWebP)
            dest->SetPixelFormat(pf24bit);
    }
    if (options.Destination == dfGIF &&
        (!options.ColorReduction || *options.ColorReduction > ReduceBest))
        throw EInvalidGraphicOperation("No GIF color reduction selected.");
    return dest;
}

void TImageConverter::ConvertToRaster(TGraphic& source, const std::string& destFileName,
                                      const TConvertOptions& options, int width, int height,
                                      int orientation) {
    std::unique_ptr<TBitmap> dest = NewDestination(options);
    const std::string icc = source.Metadata().Icc;
    const bool needsSRGB = NeedsSRGB(options, icc);
    const TImageMetadata written =
        DestinationMetadata(source.Metadata(), options, width, height, orientation);
    const bool watermark = WatermarkShown(options.Watermark);
    if (!NeedsWorkingRaster(source, options, width, height, orientation)) {
        const bool metafileSource = source.InheritsFrom(TMetafile::StaticClass());
        // The watermark is drawn in true colour: an indexed or 15/16-bit
        // destination takes the picture once it is on.
        std::unique_ptr<TBitmap> lowDepthDest;
        if (watermark && dest->BitsPerPixel() < 24) {
            lowDepthDest = std::move(dest);
            dest = std::make_unique<TBitmap>();
            dest->SetPixelFormat(pf24bit);
        }
        // The picture draws itself into the destination: metafiles at the
        // destination size (they are vector), opaque upright pictures with
        // the nearest-pixel copy or 1:1.
        if (DrawsEveryPixel(source))
            dest->SetSizeForOverwrite(width, height);
        else
            dest->SetSize(width, height);
        if (metafileSource && options.Background != 0xFFFFFF) {
            dest->Canvas().BrushColor = RGBColor(static_cast<uint8_t>(options.Background >> 16),
                                                 static_cast<uint8_t>(options.Background >> 8),
                                                 static_cast<uint8_t>(options.Background));
            dest->Canvas().FillRect(Rect(0, 0, width, height));
        }
        // Converting the drawn pixels costs the destination's size, usually the
        // smaller; formats the conversion cannot work on are converted before.
        const bool convertDest = needsSRGB && (dest->IsIndexed() || dest->BitsPerPixel() >= 24);
        if (needsSRGB && !convertDest) ConvertSourceToSRGB(source, icc);
        // A JPEG of the destination's size decodes straight into it, so neither a
        // decoded copy nor the copy from it exists; otherwise the source is drawn.
        auto* jpeg = dynamic_cast<TJPEGImage*>(&source);
        if (!jpeg || !jpeg->DecodeInto(*dest))
            dest->Canvas().StretchDraw(Rect(0, 0, width, height), source);
        if (convertDest) ConvertToSRGB(*dest, icc);
        FSource->ReleaseGraphic(); // source is not used below
        if (watermark) DrawWatermark(*dest, false, options.Watermark);
        if (lowDepthDest) {
            lowDepthDest->SetSizeForOverwrite(width, height);
            lowDepthDest->Canvas().StretchDraw(Rect(0, 0, width, height), *dest);
            dest = std::move(lowDepthDest);
        }
        SaveRaster(std::move(dest), destFileName, options, written);
        return;
    }

    // Everything else goes through the working raster, then to the
    // destination with or without its alpha.
    if (needsSRGB) ConvertSourceToSRGB(source, icc);
    TWorkingRaster work = UprightAtSize(source, options, width, height, orientation);
    if (watermark) DrawWatermark(work.Own(), work.Alpha, options.Watermark);
    const TBitmap& picture = *work.Pixels;
    const bool transparent = work.Alpha && AnyTransparent(picture);

    std::unique_ptr<TBitmap> flat;
    // PNG, WebP, AVIF and JPEG XL keep the alpha; the others get a background.
    if (transparent && (options.Destination == dfPNG || options.Destination >= dfWebP)) {
        dest->SetPixelFormat(pf24bit);
        dest->SetSizeForOverwrite(width, height);
        CopyWithAlphaPlane(picture, *dest);
        SaveRaster(std::move(dest), destFileName, options, written);
        return;
    }
    if (transparent && options.Destination == dfGIF)
        flat = BinaryTransparency(picture, options.Background);
    else if (work.Alpha)
        flat = CompositeOver(picture, options.Background);
    else if (work.Owned)
        flat = std::move(work.Owned);
    else
        flat = std::make_unique<TBitmap>(picture);
    // The destination takes the picture in its own pixel format (a palette
    // mapping for indexed bitmaps); a 24-bit destination takes it as it is.
    if ((dest->PixelFormat() == pf24bit || options.Destination == dfJPEG) &&
        options.Destination != dfPNG) {
        dest = std::move(flat);
    } else {
        dest->SetSizeForOverwrite(width, height);
        dest->Canvas().StretchDraw(Rect(0, 0, width, height), *flat);
    }
    SaveRaster(std::move(dest), destFileName, options, written);
}

void TImageConverter::SaveRaster(std::unique_ptr<TBitmap> dest, const std::string& destFileName,
                                 const TConvertOptions& options, const TImageMetadata& written) {
    switch (*options.Destination) {
    case dfBitmap:
        dest->SaveToFile(destFileName);
        break;
    case dfJPEG: {
        TJPEGImage jpeg;
        jpeg.OnProgress = SaveProgressEvent();
        // The destination bitmap is not used again, so the encoder takes it over.
        jpeg.TakeBitmap(std::move(dest));
        jpeg.Metadata() = written;
        jpeg.CompressionQuality = static_cast<uint8_t>(std::clamp(options.Quality, 1, 100));
        jpeg.SaveToFile(destFileName);
        break;
    }
    case dfGIF: {
        TGIFImage gif;
        // The colour reduction happens while the bitmap is assigned, so it is set first.
        gif.SetColorReduction(*options.ColorReduction);
        gif.OnProgress = SaveProgressEvent();
        gif.Assign(*dest);
        gif.SaveToFile(destFileName);
        break;
    }
    case dfPNG:
        dest->Metadata() = written;
        dest->OnProgress = SaveProgressEvent();
        dest->SaveToFile(destFileName);
        break;
    case dfWebP:
    case dfAVIF:
    case dfJXL: {
        std::unique_ptr<TImageEncoder> encoder = CreateEncoder(options);
        SaveEncodedFile(*encoder, *dest, written, destFileName);
        break;
    }
    default:
        break;
    }
}

void TImageConverter::ConvertToMetafile(TGraphic& source, const std::string& destFileName,
                                        const TConvertOptions& options, int width, int height,
                                        int orientation) {
    // Metafiles hold no profile: the picture is drawn in sRGB.
    if (NeedsSRGB(options, source.Metadata().Icc))
        ConvertSourceToSRGB(source, source.Metadata().Icc);
    TMetafile metafile;
    const bool enhanced = options.Destination == dfEMF;
    metafile.SetEnhanced(enhanced);
    {
        // The sizes set while the canvas is open become the recording's frame:
        // the metafile declares the picture's own size.
        TMetafileCanvas canvas(metafile, MetafileCreator, MetafileDescription);
        metafile.SetWidth(width);
        metafile.SetHeight(height);
        const TRect rect = Rect(0, 0, width, height);
        if (!NeedsWorkingRaster(source, options, width, height, orientation)) {
            canvas.StretchDraw(rect, source);
        } else {
            // The upright picture at its size: an EMF keeps its transparency in
            // an alpha-blend record, a WMF gets it over the background colour.
            TWorkingRaster work = UprightAtSize(source, options, width, height, orientation);
            const bool transparent = work.Alpha && AnyTransparent(*work.Pixels);
            if (transparent && enhanced) {
                canvas.StretchBitmapAlpha(rect, *work.Pixels);
            } else {
                std::unique_ptr<TBitmap> flat =
                    work.Alpha ? CompositeOver(*work.Pixels, options.Background)
                               : std::move(work.Owned);
                canvas.StretchDraw(rect, *flat);
            }
        }
        // The watermark on top of the picture, as a text record.
        RecordWatermark(canvas, options.Watermark, width, height);
        // The recording holds its own copy of the pixels now.
        FSource->ReleaseGraphic();
        canvas.Close();
    }
    metafile.OnProgress = SaveProgressEvent();
    metafile.SaveToFile(destFileName);
}
