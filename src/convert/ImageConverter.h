// SPDX-License-Identifier: GPL-3.0-or-later
// TImageConverter: the conversion of one file, from loading the source
// through the picture container to writing the destination, driven by a
// plain options value. The window calls it for every file of a run.
#pragma once

#include "convert/ConvertOptions.h"
#include "convert/WorkingRaster.h"
#include "toolkit/Graphic.h"
#include "toolkit/Picture.h"

class TBitmap;

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The source holder: keeps the picture of the file loaded last for the
// whole run, with the auto-size rule (a fresh holder is 105 by 105; a
// picture with both sides above 0 gives the holder its size).
class TSourceImage {
public:
    // Loads through the picture container; on failure the previous picture stays.
    void LoadFromFile(const std::string& fileName, const TProgressEvent& progress);
    TGraphic* Graphic() const { return FPicture.Graphic(); }
    // Frees the picture once it has been drawn, so that it is not held while
    // the destination is encoded; the size stays for the auto-size rule.
    void ReleaseGraphic() { FPicture.SetGraphic(nullptr); }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }

private:
    TPicture FPicture;
    int FWidth = 105, FHeight = 105;
};

// The destination size the resize options give for a SW x SH source. Worked
// out in 64 bits so that no product overflows; the caller checks the result.
struct TDestinationSize {
    int64_t Width = 0, Height = 0;
};
TDestinationSize ComputeDestinationSize(const TConvertOptions& options, int sourceWidth,
                                        int sourceHeight);

// The size a conversion of source with the options would write, for names that
// hold it; false when the source cannot be read or the size is not a picture's
// (the conversion itself then reports why).
bool WrittenPictureSize(const std::string& source, const TConvertOptions& options, int& width,
                        int& height);

class TImageConverter {
public:
    // (position, maximum) of the run's progress bar.
    using TProgressCallback = std::function<void(int position, int maximum)>;

    TImageConverter();
    ~TImageConverter();

    // The source holder lives from BeforeRun to AfterRun.
    void BeforeRun();
    void AfterRun();
    bool Running() const { return FSource != nullptr; }

    // Converts one file; any failure is an exception carrying the message for
    // the progress list, and no destination file is left behind by it.
    void ConvertFile(const std::string& sourceFileName, const std::string& destFileName,
                     const TConvertOptions& options);

    TProgressCallback OnProgress;
    // Source pixels of every file converted so far by any converter (for a run's speed).
    static int64_t PixelsConverted();
    // Creator and description written into metafiles.
    static constexpr const char* MetafileCreator = "Trevasco";
    static constexpr const char* MetafileDescription = "https://trevasco.kelvane.org/";

private:
    void SetProgress(int position) {
        if (OnProgress) OnProgress(position, 100);
    }
    void LoadProgress(uint8_t percent) { SetProgress(percent / 2); }
    void SaveProgress(uint8_t percent) { SetProgress(50 + percent / 2); }
    TProgressEvent SaveProgressEvent();

    // orientation: 1..8, the turn the picture still needs (1 for none).
    void ConvertToRaster(TGraphic& source, const std::string& destFileName,
                         const TConvertOptions& options, int width, int height, int orientation);
    static std::unique_ptr<TBitmap> NewDestination(const TConvertOptions& options);
    void SaveRaster(std::unique_ptr<TBitmap> dest, const std::string& destFileName,
                    const TConvertOptions& options, const TImageMetadata& written);
    void ConvertToMetafile(TGraphic& source, const std::string& destFileName,
                           const TConvertOptions& options, int width, int height, int orientation);
    // Whether the picture must be turned, resampled or flattened here rather
    // than drawing itself into the destination.
    static bool NeedsWorkingRaster(TGraphic& source, const TConvertOptions& options, int width,
                                   int height, int orientation);
    // The source upright at the destination size; the source graphic is released.
    TWorkingRaster UprightAtSize(TGraphic& source, const TConvertOptions& options, int width,
                                 int height, int orientation);

    std::unique_ptr<TSourceImage> FSource;
};
