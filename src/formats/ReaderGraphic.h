// SPDX-License-Identifier: GPL-3.0-or-later
// TReaderGraphic: the base of the multi-format readers. A working raster that
// fills itself from a file, a stream or a block of memory, keeps the image
// properties of the file last read, owns a colour manager and drives a nested
// progress report.
#pragma once

#include "formats/ColorManager.h"
#include "formats/Decoders.h"
#include "toolkit/Bitmap.h"

#include <memory>
#include <string>
#include <vector>

enum TImageFlag : uint8_t {
    ofTiled = 1,
    ofBigEndian = 2,
    ofMinIsWhite = 4,
    ofReversedBits = 8,
};
using TImageFlags = uint8_t;

enum TCompressionKind : uint8_t {
    ckUndefined = 0,
    ckNone = 1,
    ckPCXRLE = 2,
    ckPackbits = 3,
    ckLZW = 4,
    ckFax3OneD = 5,
    ckFax3TwoD = 6,
    ckCCITTHuffman = 7,
    ckFax4 = 8,
    ckCCITTRLEWord = 9,
    ckDeflate = 10,
    ckJPEG = 11,
    ckOldJPEG = 12,
    ckThunderscan = 13,
    ckNeXT = 14,
    ckIT8CTPad = 15,
    ckIT8LW = 16,
    ckIT8MP = 17,
    ckIT8BL = 18,
    ckPixarFilm = 19,
    ckPixarLog = 20,
    ckKodakDCS = 21,
    ckJBIG = 22,
    ckZipPlain = 24,
    ckZipPredicted = 25,
};

struct TImageProperties {
    uint32_t FormatVersion = 0;
    TImageFlags Flags = 0;
    int32_t Width = 0, Height = 0;
    TColorLayout Scheme = clUndefined;
    uint8_t SampleBits = 0;
    uint8_t SampleCount = 0;
    uint8_t PixelBits = 0;
    uint8_t CompressionKind = ckUndefined;
    float Gamma = 1.0f;
    float DpiX = 0, DpiY = 0;
    bool IsInterlaced = false;
    bool AlphaPresent = false;
    uint32_t PageCount = 0;
    std::string Note;
    uint16_t RowOrder = 0;
};

struct TProgressSection {
    float Position = 0; // 0..1 of this section done
    float Share = 0;    // fraction of the parent this section covers
    float Weight = 0;   // fraction of the whole load this section covers
    std::string Message;
};

// Messages shared by the readers.
extern const char* const
    gesInvalidImage; // "Cannot load image. Invalid or unexpected %s image format."
extern const char* const gesInvalidColorFormat; // "Invalid color format in %s file."
extern const char* const
    gesUnsupportedFeature;                    // "Cannot load image. %s not supported for %s files."
extern const char* const gesLayerDataCorrupt; // "Image is invalid. Layer data is corrupt."
extern const char* const gesPreparing;
extern const char* const gesLoadingData;
extern const char* const gesTransfering;

class TReaderGraphic : public TBitmap {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    TReaderGraphic();
    ~TReaderGraphic() override;
    TReaderGraphic(const TReaderGraphic& other);
    TReaderGraphic& operator=(const TReaderGraphic& other);

    // Content test; not used when loading by extension.
    virtual bool CanRead(const uint8_t* memory, size_t size) const;
    // Decodes the image; the base only empties the raster and frees the decoder.
    virtual void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size);
    // Reads only the properties; the stream's position is restored afterwards.
    bool ReadPropertiesFromFile(const std::string& fileName, int imageIndex);
    bool ReadPropertiesFromStream(TStream& stream, int imageIndex);
    // The base zeroes the record, sets Gamma to 1 and reports success; readers
    // call it first and return false when the data is not theirs.
    virtual bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size);

    // A memory stream is read in place, any other stream copied whole first;
    // seekable streams are read from their beginning.
    void LoadFromStream(TStream& stream) override;
    void LoadFromFile(const std::string& fileName) override;
    void Assign(const TGraphic& source) override;

    const TImageProperties& ImageProperties() const { return FImageProperties; }
    TColorManager& ColorManager() { return *FColorManager; }

    // Nested progress: sections cover shares of their parent; the overall
    // progress is the weighted sum of what every section has done.
    void InitProgress(int width, int height);
    void StartProgressSection(float size, const std::string& message);
    void StepProgress(float amount, int dx, int dy, bool redraw);
    void EndProgressSection(bool redraw);
    float OverallProgress() const { return FOverallProgress; }
    int SectionCount() const { return FSections ? static_cast<int>(FSections->size()) : 0; }
    const TProgressSection& TopSection() const { return FSections->back(); }

protected:
    void ReportProgress(TProgressStage stage, bool redraw, const std::string& message);
    // Empties the raster: no pixels, nothing decoded.
    void ClearRaster();
    void SetupRaster(int width, int height, TPixelFormat format) {
        AllocateRaster(width, height, format);
    }

    TImageProperties FImageProperties;
    std::unique_ptr<TColorManager> FColorManager;
    std::unique_ptr<TDecoder> FDecoder;
    TRect FProgressRect;

private:
    std::unique_ptr<std::vector<TProgressSection>> FSections;
    float FOverallProgress = 0;
};

// Ends every open progress section when a load leaves early, so the stack
// never outlives the load that opened it.
class TProgressGuard {
public:
    explicit TProgressGuard(TReaderGraphic& g) : FGraphic(g) {}
    ~TProgressGuard();

private:
    TReaderGraphic& FGraphic;
};

// Registered for gif and png so the registry can describe them; the GIF and
// PNG codecs read those files, these classes refuse to.
class TGIFGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};

class TPNGGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};
