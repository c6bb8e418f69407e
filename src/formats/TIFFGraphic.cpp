#include "formats/TIFFGraphic.h"

#include "base/StrUtils.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

TREVASCO_GRAPHIC_CLASS(TTIFFGraphic, TReaderGraphic)

namespace {
// libtiff reports through process-wide handlers; the load that caused a
// message runs on this thread, so the first message of a call is kept here
// and raised by the wrapper once libtiff has returned.
thread_local bool GErrorSet = false;
thread_local std::string GErrorText;

void ErrorHandler(const char* /*module*/, const char* fmt, va_list ap) {
    if (GErrorSet) return;
    char text[1001];
    std::vsnprintf(text, sizeof text, fmt, ap);
    GErrorText = text;
    GErrorSet = true;
}

void WarningHandler(const char* module, const char* fmt, va_list ap) {
    if (!std::getenv("TREVASCO_DEBUG")) return;
    char text[1001];
    std::vsnprintf(text, sizeof text, fmt, ap);
    std::fprintf(stderr, "libtiff warning%s%s: %s\n", module ? " in " : "", module ? module : "",
                 text);
}

void ClearError() {
    GErrorSet = false;
    GErrorText.clear();
}

// Raises the message libtiff recorded during the last call, if any.
void CheckError() {
    if (!GErrorSet) return;
    std::string text = GErrorText;
    ClearError();
    throw EInvalidGraphic(text);
}

using TBlock = TTIFFGraphic::TMemoryBlock;

tmsize_t ProcRead(thandle_t h, void* buffer, tmsize_t count) {
    TBlock* b = static_cast<TBlock*>(h);
    if (count <= 0 || b->Position >= b->Size) return 0;
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(count), b->Size - b->Position);
    std::memcpy(buffer, b->Start + b->Position, static_cast<size_t>(n));
    b->Position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t ProcWrite(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t ProcSeek(thandle_t h, toff_t offset, int origin) {
    TBlock* b = static_cast<TBlock*>(h);
    // Offsets arrive unsigned; relative seeks may be negative in two's complement.
    int64_t delta = static_cast<int64_t>(offset);
    int64_t base = origin == SEEK_SET   ? 0
                   : origin == SEEK_CUR ? static_cast<int64_t>(b->Position)
                                        : static_cast<int64_t>(b->Size);
    if (origin == SEEK_SET) {
        if (offset > static_cast<toff_t>(std::numeric_limits<int64_t>::max()))
            return static_cast<toff_t>(-1);
        b->Position = offset;
        return b->Position;
    }
    if ((delta < 0 && base + delta < 0) ||
        (delta > 0 && base > std::numeric_limits<int64_t>::max() - delta))
        return static_cast<toff_t>(-1);
    b->Position = static_cast<uint64_t>(base + delta);
    return b->Position;
}

int ProcClose(thandle_t h) {
    static_cast<TBlock*>(h)->Position = 0;
    return 0;
}

toff_t ProcSize(thandle_t h) {
    return static_cast<TBlock*>(h)->Size;
}

int ProcMap(thandle_t, void**, toff_t*) {
    return 0;
}
void ProcUnmap(thandle_t, void*, toff_t) {}

// libtiff's own buffers for one strip, tile or directory never grow past this.
constexpr tmsize_t MaxLibraryAllocation = tmsize_t(512) << 20;

// Owns one libtiff handle on a memory block.
class TTIFFHandle {
public:
    explicit TTIFFHandle(TBlock& block) {
        block.Position = 0;
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, MaxLibraryAllocation);
        FTiff = TIFFClientOpenExt("", "rm", &block, ProcRead, ProcWrite, ProcSeek, ProcClose,
                                  ProcSize, ProcMap, ProcUnmap, options);
        TIFFOpenOptionsFree(options);
    }
    ~TTIFFHandle() {
        if (FTiff) TIFFClose(FTiff);
    }
    TTIFFHandle(const TTIFFHandle&) = delete;
    TTIFFHandle& operator=(const TTIFFHandle&) = delete;
    TIFF* operator*() const { return FTiff; }

private:
    TIFF* FTiff = nullptr;
};

TCompressionKind CompressionKindOf(uint16_t tag, uint32_t t4Options) {
    switch (tag) {
    case 1:
        return ckNone;
    case 2:
        return ckCCITTHuffman;
    case 3:
        return (t4Options & 1) ? ckFax3TwoD : ckFax3OneD;
    case 4:
        return ckFax4;
    case 5:
        return ckLZW;
    case 6:
        return ckOldJPEG;
    case 7:
        return ckJPEG;
    case 8:
    case 32946:
        return ckDeflate;
    case 32766:
        return ckNeXT;
    case 32771:
        return ckCCITTRLEWord;
    case 32773:
        return ckPackbits;
    case 32809:
        return ckThunderscan;
    case 32895:
        return ckIT8CTPad;
    case 32896:
        return ckIT8LW;
    case 32897:
        return ckIT8MP;
    case 32898:
        return ckIT8BL;
    case 32908:
        return ckPixarFilm;
    case 32909:
        return ckPixarLog;
    case 32947:
        return ckKodakDCS;
    case 34661:
        return ckJBIG;
    default:
        return ckUndefined;
    }
}

// How the stored rows and columns of a file lie in the picture as it is meant
// to be seen (the Orientation tag): stored rows may run bottom-up, stored
// columns right to left, and for 5..8 stored rows are the picture's columns.
struct TOrientation {
    bool Transpose = false;     // stored row v is picture column v
    bool MirrorColumns = false; // stored column 0 is the far end of its picture line
    bool FlipRows = false;      // stored row 0 is the far end of its picture direction
};

TOrientation OrientationOf(uint16_t tag) {
    switch (tag) {
    case ORIENTATION_TOPRIGHT:
        return {false, true, false};
    case ORIENTATION_BOTRIGHT:
        return {false, true, true};
    case ORIENTATION_BOTLEFT:
        return {false, false, true};
    case ORIENTATION_LEFTTOP:
        return {true, false, false};
    case ORIENTATION_RIGHTTOP:
        return {true, false, true};
    case ORIENTATION_RIGHTBOT:
        return {true, true, true};
    case ORIENTATION_LEFTBOT:
        return {true, true, false};
    default: // 1, and values no writer should use
        return {};
    }
}

template <int Bits> inline uint32_t GetPixel(const uint8_t* row, size_t x) {
    if constexpr (Bits == 32) {
        uint32_t v;
        std::memcpy(&v, row + 4 * x, 4);
        return v;
    } else if constexpr (Bits == 8) {
        return row[x];
    } else {
        size_t bit = x * Bits;
        return (row[bit / 8] >> (8 - Bits - bit % 8)) & ((1u << Bits) - 1);
    }
}

template <int Bits> inline void PutPixel(uint8_t* row, size_t x, uint32_t v) {
    if constexpr (Bits == 32) {
        std::memcpy(row + 4 * x, &v, 4);
    } else if constexpr (Bits == 8) {
        row[x] = static_cast<uint8_t>(v);
    } else {
        size_t bit = x * Bits;
        row[bit / 8] |= static_cast<uint8_t>(v << (8 - Bits - bit % 8));
    }
}

// Moves pixels stored in file order (width x height, rows stride bytes apart)
// into the raster as the picture is meant to be seen.
template <int Bits>
void OrientRows(const uint8_t* stored, size_t stride, int width, int height, TOrientation o,
                TBitmap& raster) {
    const int outWidth = o.Transpose ? height : width;
    const int outHeight = o.Transpose ? width : height;
    const size_t outBytes = (static_cast<size_t>(Bits) * outWidth + 7) / 8;
    for (int y = 0; y < outHeight; ++y) {
        uint8_t* out = raster.ScanLine(y);
        std::memset(out, 0, outBytes);
        if (!o.Transpose) {
            const int row = o.FlipRows ? height - 1 - y : y;
            const uint8_t* in = stored + static_cast<size_t>(row) * stride;
            for (int x = 0; x < outWidth; ++x)
                PutPixel<Bits>(out, x, GetPixel<Bits>(in, o.MirrorColumns ? width - 1 - x : x));
        } else {
            const size_t column = o.MirrorColumns ? width - 1 - y : y;
            for (int x = 0; x < outWidth; ++x) {
                const int row = o.FlipRows ? height - 1 - x : x;
                PutPixel<Bits>(out, x,
                               GetPixel<Bits>(stored + static_cast<size_t>(row) * stride, column));
            }
        }
    }
}

void OrientRows(int bits, const uint8_t* stored, size_t stride, int width, int height,
                TOrientation o, TBitmap& raster) {
    switch (bits) {
    case 1:
        return OrientRows<1>(stored, stride, width, height, o, raster);
    case 4:
        return OrientRows<4>(stored, stride, width, height, o, raster);
    case 8:
        return OrientRows<8>(stored, stride, width, height, o, raster);
    default:
        return OrientRows<32>(stored, stride, width, height, o, raster);
    }
}

std::vector<uint8_t> AllocateBuffer(uint64_t size) {
    if (size > static_cast<uint64_t>(std::numeric_limits<size_t>::max() / 2))
        throw EOutOfResources("Out of system resources");
    try {
        return std::vector<uint8_t>(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
}

TColorLayout SchemeOf(uint16_t photometric, int samples) {
    switch (photometric) {
    case 0:
    case 1:
        return clGray;
    case 2:
        return samples > 3 ? clRGBA : clRGB;
    case 3:
        return clIndexed;
    case 5:
        return clCMYK;
    case 6:
        return clYCbCr;
    case 8:
        return clCIELab;
    case 10:
        return clITULab;
    case 32844:
        return clLogL;
    case 32845:
        return clLogLuv;
    default:
        return clUndefined;
    }
}
} // namespace

void InstallTIFFHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(ErrorHandler);
        TIFFSetWarningHandler(WarningHandler);
    });
}

bool TTIFFGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadProperties(memory, imageIndex, size);
    InstallTIFFHandlers();
    ClearError();
    if (!memory || size < 8) return false;
    FBlock = TMemoryBlock{memory, 0, size};
    TTIFFHandle handle(FBlock);
    TIFF* tif = *handle;
    if (!tif || GErrorSet) {
        ClearError();
        return false;
    }
    TImageProperties& p = FImageProperties;
    p.PageCount = TIFFNumberOfDirectories(tif);
    if (!TIFFSetDirectory(tif, static_cast<tdir_t>(imageIndex)) || GErrorSet) {
        ClearError();
        return false;
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (width > 0x7FFFFFFF || height > 0x7FFFFFFF) return false;
    uint16_t orientation = 1, samples = 1, bits = 1, photometric = 0, compression = 1, unit = 2;
    uint16_t fillOrder = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    // The size of the picture as delivered: stored rows that are picture
    // columns swap the two sides.
    if (OrientationOf(orientation).Transpose) std::swap(width, height);
    p.Width = static_cast<int32_t>(width);
    p.Height = static_cast<int32_t>(height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    p.RowOrder = orientation;
    p.SampleCount = static_cast<uint8_t>(std::min<int>(samples, 255));
    p.SampleBits = static_cast<uint8_t>(std::min<int>(bits, 255));
    p.PixelBits = static_cast<uint8_t>(std::min(samples * bits, 255));
    if (TIFFIsTiled(tif)) p.Flags |= ofTiled;
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0;
    p.Scheme = SchemeOf(photometric, samples);
    if (photometric == 0) p.Flags |= ofMinIsWhite;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount == 1 &&
        extra)
        p.AlphaPresent = extra[0] == 1 || extra[0] == 2;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    uint32_t t4 = 0;
    if (compression == 3) TIFFGetField(tif, TIFFTAG_T4OPTIONS, &t4);
    p.CompressionKind = CompressionKindOf(compression, t4);
    float dpiX = 0, dpiY = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_XRESOLUTION, &dpiX);
    TIFFGetFieldDefaulted(tif, TIFFTAG_YRESOLUTION, &dpiY);
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit == 3) {
        dpiX *= 2.54f;
        dpiY *= 2.54f;
    }
    p.DpiX = dpiX;
    p.DpiY = dpiY;
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
    if (fillOrder == 2) p.Flags |= ofReversedBits;
    p.FormatVersion = 42;
    bool ok = !GErrorSet;
    ClearError();
    return ok;
}

void TTIFFGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    ClearRaster();
    if (!ReadProperties(memory, imageIndex, size))
        throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
    const TImageProperties& p = FImageProperties;
    // Checked before libtiff is asked to decode anything.
    CheckRasterSize(p.Width, p.Height);
    // Orientations other than 1 and 4 are decoded in stored order first and
    // then turned into the picture as it is meant to be seen.
    const uint16_t rowOrder = p.RowOrder >= 1 && p.RowOrder <= 8 ? p.RowOrder : 1;
    const TOrientation orientation = OrientationOf(rowOrder);
    const bool direct = rowOrder == ORIENTATION_TOPLEFT || rowOrder == ORIENTATION_BOTLEFT;
    // The stored image's sides.
    const int width = orientation.Transpose ? p.Height : p.Width;
    const int height = orientation.Transpose ? p.Width : p.Height;

    TProgressGuard guard(*this);
    InitProgress(p.Width, 1);
    StartProgressSection(0, "");
    StartProgressSection(1, gesPreparing);
    FBlock = TMemoryBlock{memory, 0, size};
    ClearError();
    TTIFFHandle handle(FBlock);
    TIFF* tif = *handle;
    CheckError();
    if (!tif) throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
    EndProgressSection(false);
    TIFFSetDirectory(tif, static_cast<tdir_t>(imageIndex));
    CheckError();

    uint16_t samples = 1, bits = 1, sampleFormat = SAMPLEFORMAT_UINT, photometric = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0;
    const bool indexed = photometric == PHOTOMETRIC_PALETTE;
    // Single samples go through our own row path when they are plain grey or
    // palette indices; everything else (and floating point) through libtiff's
    // whole-image read, which knows every interpretation it supports.
    const bool singleSample =
        samples == 1 && (photometric <= 1 || indexed) && sampleFormat != SAMPLEFORMAT_IEEEFP;

    // Refuse what libtiff will not decode before the raster is allocated: a
    // strip or tile beyond the library's allocation cap, or a layout its
    // whole-image reader does not know.
    uint64_t chunk = (p.Flags & ofTiled) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    CheckError();
    if (chunk == 0 || chunk > static_cast<uint64_t>(MaxLibraryAllocation))
        throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
    if (!singleSample) {
        char message[1024] = "";
        int usable = TIFFRGBAImageOK(tif, message);
        ClearError();
        if (!usable)
            throw EInvalidGraphic(message[0] ? std::string(message)
                                             : Format(gesInvalidImage, "TIF/TIFF"));
    }

    if (singleSample) {
        if ((bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) ||
            (indexed && bits == 16))
            throw EColorConversionError(gesInvalidColorDepth);
        TColorManager& cm = *FColorManager;
        TColorLayout layout = indexed ? clIndexed : clGray;
        cm.SetSourceOptions(0);
        cm.SetSourceLayout(layout);
        cm.SetTargetLayout(layout);
        cm.SetSourceSamples(1);
        cm.SetTargetSamples(1);
        cm.SetSourceBits(static_cast<uint8_t>(bits));
        // 2-bit rows are repacked to 4 bits, 16-bit grey reduced to 8.
        cm.SetTargetBits(static_cast<uint8_t>(bits == 2 ? 4 : bits == 16 ? 8 : bits));
        SetupRaster(p.Width, p.Height, cm.PixelFormatFor(TColorSide::Target));

        uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (indexed && TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) && red && green &&
            blue) {
            SetPalette(cm.MakeColorPalette({red, green, blue}, pdPlanar16, 1 << bits, false));
        } else {
            SetPalette(cm.MakeGrayPalette(!indexed && (p.Flags & ofMinIsWhite)));
        }
        CheckError();

        // Rows go straight into the raster (bottom-up for orientation 4), or
        // into a buffer of the stored image to be oriented afterwards.
        const int start = rowOrder == ORIENTATION_BOTLEFT ? height - 1 : 0;
        const int direction = start == 0 ? 1 : -1;
        const size_t fileRowBytes = (static_cast<size_t>(bits) * width + 7) / 8;
        const size_t storedStride = (static_cast<size_t>(cm.TargetBits()) * width + 7) / 8;
        std::vector<uint8_t> stored;
        if (!direct) stored = AllocateBuffer(static_cast<uint64_t>(storedStride) * height);
        auto rowOut = [&](int64_t y) -> uint8_t* {
            return direct ? ScanLine(start + direction * static_cast<int>(y))
                          : stored.data() + static_cast<size_t>(y) * storedStride;
        };

        StartProgressSection(0, gesLoadingData);
        if (p.Flags & ofTiled) {
            uint32_t tileWidth = 0, tileLength = 0;
            TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
            TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
            tmsize_t tileSize = TIFFTileSize(tif);
            tmsize_t tileRowSize = TIFFTileRowSize(tif);
            CheckError();
            if (tileWidth == 0 || tileLength == 0 || tileSize <= 0 || tileRowSize <= 0 ||
                static_cast<uint64_t>(tileRowSize) <
                    (static_cast<uint64_t>(bits) * tileWidth + 7) / 8 ||
                static_cast<uint64_t>(tileSize) < static_cast<uint64_t>(tileRowSize) * tileLength)
                throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
            std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
            for (int64_t y = 0; y < height;) {
                int64_t rows = std::min<int64_t>(tileLength - y % tileLength, height - y);
                for (int64_t x = 0; x < width; x += tileWidth) {
                    std::fill(tile.begin(), tile.end(), 0);
                    TIFFReadTile(tif, tile.data(), static_cast<uint32_t>(x),
                                 static_cast<uint32_t>(y), 0, 0);
                    CheckError();
                    unsigned columns =
                        static_cast<unsigned>(std::min<int64_t>(tileWidth, width - x));
                    size_t targetOffset = static_cast<size_t>(x) * cm.TargetBits() / 8;
                    for (int64_t r = 0; r < rows; ++r) {
                        const uint8_t* src =
                            tile.data() + static_cast<size_t>(tileRowSize) * (y % tileLength + r);
                        cm.ConvertLine({src}, rowOut(y + r) + targetOffset, columns);
                    }
                }
                y += rows;
                StepProgress(static_cast<float>(rows * 100.0 / height), 0, 0, false);
            }
        } else {
            uint32_t rowsPerStrip = 0;
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
            if (rowsPerStrip == 0 || rowsPerStrip > static_cast<uint32_t>(height))
                rowsPerStrip = static_cast<uint32_t>(height);
            tmsize_t scanline = TIFFScanlineSize(tif);
            CheckError();
            if (scanline <= 0 || static_cast<size_t>(scanline) < fileRowBytes)
                throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
            std::vector<uint8_t> strip =
                AllocateBuffer(static_cast<uint64_t>(scanline) * rowsPerStrip);
            for (int64_t y = 0; y < height;) {
                int64_t inStrip = y % rowsPerStrip;
                int64_t n = std::min<int64_t>(rowsPerStrip - inStrip, height - y);
                std::fill(strip.begin(), strip.end(), 0);
                tstrip_t index = TIFFComputeStrip(tif, static_cast<uint32_t>(y), 0);
                TIFFReadEncodedStrip(tif, index, strip.data(),
                                     static_cast<tmsize_t>((n + inStrip) * scanline));
                CheckError();
                for (int64_t r = 0; r < n; ++r) {
                    const uint8_t* src =
                        strip.data() + static_cast<size_t>((inStrip + r) * scanline);
                    cm.ConvertLine({src}, rowOut(y + r), static_cast<unsigned>(width));
                }
                y += n;
                StepProgress(static_cast<float>(n * 100.0 / height), 0, 0, false);
            }
        }
        if (!direct)
            OrientRows(cm.TargetBits(), stored.data(), storedStride, width, height, orientation,
                       *this);
        EndProgressSection(false);
    } else if (height > 0 && width > 0) {
        SetupRaster(p.Width, p.Height, pf32bit);
        StartProgressSection(70, gesLoadingData);
        int ok;
        if (!orientation.Transpose) {
            // The raster's rows are contiguous and top-down, so libtiff can
            // fill it in place, flipping and mirroring as it goes.
            uint32_t* pixels = reinterpret_cast<uint32_t*>(ScanLine(0));
            ok = TIFFReadRGBAImageOriented(tif, static_cast<uint32_t>(width),
                                           static_cast<uint32_t>(height), pixels,
                                           ORIENTATION_TOPLEFT, 1);
            CheckError();
        } else {
            // libtiff's reader does not transpose: ask it for the stored order
            // (the file's own orientation) and turn the picture ourselves.
            std::vector<uint8_t> stored =
                AllocateBuffer(static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4);
            ok = TIFFReadRGBAImageOriented(tif, static_cast<uint32_t>(width),
                                           static_cast<uint32_t>(height),
                                           reinterpret_cast<uint32_t*>(stored.data()), rowOrder, 1);
            CheckError();
            if (ok)
                OrientRows(32, stored.data(), static_cast<size_t>(width) * 4, width, height,
                           orientation, *this);
        }
        // A read that fails silently would leave a blank picture; report it instead.
        if (!ok) throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
        EndProgressSection(false);
        StartProgressSection(30, gesTransfering);
        // libtiff packs red first; the raster wants blue first.
        for (int y = 0; y < p.Height; ++y) {
            uint8_t* row = ScanLine(y);
            for (int x = 0; x < p.Width; ++x, row += 4)
                std::swap(row[0], row[2]);
            StepProgress(100.0f / static_cast<float>(p.Height), 0, 1, false);
        }
        EndProgressSection(true);
    } else {
        throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
    }
    EndProgressSection(false);
    FDecoder.reset();
}
