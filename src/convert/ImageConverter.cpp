#include "convert/ImageConverter.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "formats/ImageEncoder.h"
#include "gif/GIFImage.h"
#include "jpeg/JPEGImage.h"
#include "png/PNGImage.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Icon.h"
#include "toolkit/Metafile.h"

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

TPixelFormat PixelFormatFromIndex(int index) {
    // Index 8 is the custom format, which the bitmap refuses; anything else
    // outside the list (possible through the settings file) is refused alike.
    if (index < pfDevice || index >= pfCustom) throw EInvalidGraphic("Invalid pixel format");
    return static_cast<TPixelFormat>(index);
}

// The encoder of a WebP, AVIF or JPEG XL destination with its options.
std::unique_ptr<TImageEncoder> CreateEncoder(const TConvertOptions& o) {
    TEncoderSettings s;
    s.Quality = ClampQuality(JPEGQualityFromText(o.CompressionText));
    switch (o.DestinationIndex) {
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
        if (o.UseWidth) d.Width = StrToIntDef(o.WidthText, sourceWidth);
        if (o.UseHeight) d.Height = StrToIntDef(o.HeightText, sourceHeight);
    } else if (o.StretchMode == smPercent) {
        // The width is worked out even when unticked; the next step replaces it then.
        d.Width = StrToIntDef(o.WidthText, 100) * sw / 100;
        if (o.UseHeight) d.Height = StrToIntDef(o.HeightText, 100) * sh / 100;
    }
    if (!o.UseWidth) d.Width = d.Height * sw / sh;
    if (!o.UseHeight) d.Height = d.Width * sh / sw;
    return d;
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
    if (options.DestinationIndex < dfBitmap || options.DestinationIndex > dfJXL)
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
    const int sw = FSource->Width(), sh = FSource->Height();

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

    if (options.DestinationIndex == dfWMF || options.DestinationIndex == dfEMF)
        ConvertToMetafile(source, destFileName, options, w, h);
    else
        ConvertToRaster(source, destFileName, options, w, h);
    GPixelsConverted.fetch_add(static_cast<int64_t>(sw) * sh, std::memory_order_relaxed);
    SetProgress(100);
}

void TImageConverter::ConvertToRaster(TGraphic& source, const std::string& destFileName,
                                      const TConvertOptions& options, int width, int height) {
    std::unique_ptr<TBitmap> dest;
    if (options.DestinationIndex == dfPNG) {
        dest = std::make_unique<TPNGImage>();
    } else {
        dest = std::make_unique<TBitmap>();
        // The pixel format is fixed before any size is set.
        if (options.DestinationIndex == dfBitmap)
            dest->SetPixelFormat(PixelFormatFromIndex(options.PixelFormatIndex));
        // The colour reduction reads blue, green and red only: a fourth byte
        // a pixel would be memory traffic for nothing.
        // The modern encoders read the same three bytes a pixel.
        else if (options.DestinationIndex == dfGIF || options.DestinationIndex >= dfWebP)
            dest->SetPixelFormat(pf24bit);
    }
    if (options.DestinationIndex == dfGIF &&
        (options.GIFColorReduction < 0 || options.GIFColorReduction > 8))
        throw EInvalidGraphicOperation("No GIF color reduction selected.");
    if (DrawsEveryPixel(source))
        dest->SetSizeForOverwrite(width, height);
    else
        dest->SetSize(width, height);
    // A JPEG of the destination's size decodes straight into it, so neither a
    // decoded copy nor the copy from it exists; otherwise the source is drawn.
    auto* jpeg = dynamic_cast<TJPEGImage*>(&source);
    if (!jpeg || !jpeg->DecodeInto(*dest))
        dest->Canvas().StretchDraw(Rect(0, 0, width, height), source);
    // Kept for the destinations that hold metadata; the source goes now.
    const TImageMetadata metadata = source.Metadata();
    FSource->ReleaseGraphic(); // source is not used below

    switch (options.DestinationIndex) {
    case dfBitmap:
        dest->SaveToFile(destFileName);
        break;
    case dfJPEG: {
        TJPEGImage jpeg;
        jpeg.OnProgress = SaveProgressEvent();
        // The destination bitmap is not used again, so the encoder takes it over.
        jpeg.TakeBitmap(std::move(dest));
        jpeg.CompressionQuality = JPEGQualityFromText(options.CompressionText);
        jpeg.SaveToFile(destFileName);
        break;
    }
    case dfGIF: {
        TGIFImage gif;
        // The colour reduction happens while the bitmap is assigned, so it is set first.
        gif.SetColorReduction(options.GIFColorReduction);
        gif.OnProgress = SaveProgressEvent();
        gif.Assign(*dest);
        gif.SaveToFile(destFileName);
        break;
    }
    case dfPNG:
        dest->OnProgress = SaveProgressEvent();
        dest->SaveToFile(destFileName);
        break;
    case dfWebP:
    case dfAVIF:
    case dfJXL: {
        std::unique_ptr<TImageEncoder> encoder = CreateEncoder(options);
        SaveEncodedFile(*encoder, *dest, metadata, destFileName);
        break;
    }
    default:
        break;
    }
}

void TImageConverter::ConvertToMetafile(TGraphic& source, const std::string& destFileName,
                                        const TConvertOptions& options, int width, int height) {
    TMetafile metafile;
    metafile.SetEnhanced(options.DestinationIndex == dfEMF);
    {
        // Opened before any size is set: the recording's frame is the whole
        // reference device, and the sizes set now only place the drawing.
        TMetafileCanvas canvas(metafile, MetafileCreator, MetafileDescription);
        metafile.SetWidth(width);
        metafile.SetHeight(height);
        canvas.StretchDraw(Rect(0, 0, width, height), source);
        // The recording holds its own copy of the pixels now.
        FSource->ReleaseGraphic();
        canvas.Close();
    }
    metafile.OnProgress = SaveProgressEvent();
    metafile.SaveToFile(destFileName);
}
