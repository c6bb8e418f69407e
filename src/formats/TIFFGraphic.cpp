// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/TIFFGraphic.h"

#include "base/StrUtils.h"
#include "formats/MetadataEditor.h"
#include "toolkit/ColorProfile.h"

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

// libtiff names the row of a failing read from its scanline counter, which
// is 2^32 - 1 when strips and tiles are read whole: such a row is left out.
std::string WithoutUnknownRow(std::string text) {
    for (const char* unknown : {" at scanline 4294967295", " scanline 4294967295",
                                " at row 4294967295, col 4294967295,"}) {
        for (size_t at; (at = text.find(unknown)) != std::string::npos;)
            text.erase(at, std::strlen(unknown));
    }
    return text;
}

// Raises the message libtiff recorded during the last call, if any.
void CheckError() {
    if (!GErrorSet) return;
    std::string text = WithoutUnknownRow(GErrorText);
    ClearError();
    throw EInvalidGraphic(text);
}

// Pixel bytes out per byte of data at best, per compression; 0 where no
// useful bound exists (fax codings give a whole white row for one bit).
uint64_t BestRatio(uint16_t compression) {
    switch (compression) {
    case COMPRESSION_NONE:
        return 1;
    case COMPRESSION_PACKBITS:
        return 128; // 128 repeats from two bytes, with room to spare
    case COMPRESSION_LZW:
        return 2731; // a code of w bits gives fewer than 2^w bytes; 12 bits at most
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return 1032; // deflate's longest match for its shortest code
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG:
        return 65536; // generous: arithmetic or flat pictures compress far
    default:
        return 0;
    }
}

// Before anything is allocated: strips or tiles that reach past the end of
// the file make a cut file, and data that cannot hold the declared picture
// at its compression's best ratio is refused.
void CheckStripData(TIFF* tif, uint64_t fileSize, int width, int height) {
    const bool tiled = TIFFIsTiled(tif);
    const uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const uint32_t planes = planar == PLANARCONFIG_SEPARATE ? std::max<uint16_t>(samples, 1) : 1;
    const uint32_t perPlane = std::max<uint32_t>(count / planes, 1);
    uint32_t rowsPer = 0, across = 1;
    if (tiled) {
        uint32_t tileWidth = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &rowsPer);
        if (tileWidth > 0)
            across =
                std::max<uint32_t>((static_cast<uint32_t>(width) + tileWidth - 1) / tileWidth, 1);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPer);
    }
    uint64_t available = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t offset = TIFFGetStrileOffset(tif, i);
        const uint64_t bytes = TIFFGetStrileByteCount(tif, i);
        if (bytes == 0) continue;
        if (offset >= fileSize || bytes > fileSize - offset) {
            const uint64_t rows = static_cast<uint64_t>((i % perPlane) / across) * rowsPer;
            throw ECutShort(
                CutShortMessage(static_cast<int64_t>(std::min<uint64_t>(rows, height)), height));
        }
        available += bytes;
    }
    ClearError();
    const uint64_t ratio = BestRatio(compression);
    if (ratio == 0) return;
    const uint64_t raw = tiled ? TIFFTileSize64(tif) * count
                               : TIFFVStripSize64(tif, static_cast<uint32_t>(height)) * planes;
    ClearError();
    if (raw > 0) CheckDataCanHold(available, raw, ratio, width, height);
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

void TTIFFGraphic::ReadMetadata(TIFF* tif, const uint8_t* memory, size_t size, int imageIndex) {
    TImageMetadata& metadata = Metadata();
    const int orientation = metadata.Orientation;
    metadata = TImageMetadata{};
    metadata.Orientation = orientation;
    // libtiff has checked the counts against the file; the blocks are bounded besides.
    uint32_t count = 0;
    void* data = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &count, &data) && data && count <= MaxMetadataBlock)
        metadata.Icc.assign(static_cast<const char*>(data), count);
    count = 0;
    data = nullptr;
    if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &count, &data) && data && count <= MaxMetadataBlock)
        metadata.Xmp.assign(static_cast<const char*>(data), count);
    ClearError(); // a damaged metadata tag is no reason to fail the picture
    // The camera tags of the first directory (and its EXIF and GPS directories)
    // as an EXIF block of their own.
    if (imageIndex == 0) metadata.Exif = ExifFromTIFF(memory, size);
}

void TTIFFGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    ClearRaster();
    if (!ReadProperties(memory, imageIndex, size))
        throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
    const TImageProperties& p = FImageProperties;
    // Checked before libtiff is asked to decode anything.
    CheckRasterSize(p.Width, p.Height);
    // The pixels are delivered as stored; the orientation goes with them, so
    // that the conversion turns the picture upright once (or not at all when
    // the user wants the stored pixels).
    const uint16_t rowOrder = p.RowOrder >= 1 && p.RowOrder <= 8 ? p.RowOrder : 1;
    Metadata().Orientation = rowOrder;
    const int width = p.Width, height = p.Height;

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
    CheckStripData(tif, size, width, height);
    ReadMetadata(tif, memory, size, imageIndex);

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

        const size_t fileRowBytes = (static_cast<size_t>(bits) * width + 7) / 8;
        auto rowOut = [&](int64_t y) -> uint8_t* { return ScanLine(static_cast<int>(y)); };

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
        EndProgressSection(false);
    } else if (auto ink = InkProfile(tif); ink && height > 0 && width > 0) {
        SetupRaster(p.Width, p.Height, pf32bit);
        StartProgressSection(0, gesLoadingData);
        ReadInk(tif, *ink);
        EndProgressSection(false);
    } else if (height > 0 && width > 0) {
        SetupRaster(p.Width, p.Height, pf32bit);
        StartProgressSection(70, gesLoadingData);
        // The raster's rows are contiguous and top-down, so libtiff fills it
        // in place; asked for the file's own orientation it keeps the stored order.
        uint32_t* pixels = reinterpret_cast<uint32_t*>(ScanLine(0));
        const int ok = TIFFReadRGBAImageOriented(
            tif, static_cast<uint32_t>(width), static_cast<uint32_t>(height), pixels, rowOrder, 1);
        CheckError();
        // A read that fails silently would leave a blank picture; report it instead.
        if (!ok) throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
        EndProgressSection(false);
        StartProgressSection(30, gesTransfering);
        // libtiff packs red first; the raster wants blue first. With an alpha
        // sample libtiff gives premultiplied colours (associated or not): the
        // raster keeps straight colours and the alpha goes to the alpha plane.
        std::vector<uint8_t> alpha;
        if (p.AlphaPresent) alpha = AllocateBuffer(static_cast<uint64_t>(width) * height);
        bool translucent = false;
        for (int y = 0; y < p.Height; ++y) {
            uint8_t* row = ScanLine(y);
            uint8_t* a = alpha.empty() ? nullptr : alpha.data() + static_cast<size_t>(y) * width;
            for (int x = 0; x < p.Width; ++x, row += 4) {
                std::swap(row[0], row[2]);
                if (!a) continue;
                const int v = row[3];
                a[x] = static_cast<uint8_t>(v);
                if (v == 255) continue;
                translucent = true;
                for (int c = 0; c < 3; ++c)
                    row[c] = v == 0
                                 ? 0
                                 : static_cast<uint8_t>(std::min(255, (row[c] * 255 + v / 2) / v));
            }
            StepProgress(100.0f / static_cast<float>(p.Height), 0, 1, false);
        }
        if (translucent) SetAlphaChannel(std::move(alpha));
        EndProgressSection(true);
    } else {
        throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));
    }
    EndProgressSection(false);
    FDecoder.reset();
}

std::unique_ptr<TProfileTransform> TTIFFGraphic::InkProfile(TIFF* tif) const {
    // libtiff's RGBA reader turns ink into colour by formula and hides the ink
    // values; 8-bit CMYK with a profile of its own is read here instead.
    uint16_t samples = 1, bits = 1, sampleFormat = SAMPLEFORMAT_UINT, photometric = 0;
    uint16_t inkSet = INKSET_CMYK;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0;
    ClearError();
    // Extra samples (alpha) stay with libtiff's reader, which knows their meaning.
    if (photometric != PHOTOMETRIC_SEPARATED || samples != 4 || bits != 8 ||
        sampleFormat != SAMPLEFORMAT_UINT || inkSet != INKSET_CMYK)
        return nullptr;
    return TProfileTransform::ToSRGB(Metadata().Icc, ppCMYK, ppBGRX);
}

void TTIFFGraphic::ReadInk(TIFF* tif, const TProfileTransform& profile) {
    const int width = FImageProperties.Width, height = FImageProperties.Height;
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    const bool separate = planar == PLANARCONFIG_SEPARATE;
    const int planes = separate ? 4 : 1;
    const size_t sampleBytes = separate ? 1 : 4; // bytes a pixel takes in one plane
    const bool tiled = TIFFIsTiled(tif);

    // A block is a strip, or a tile: blockWidth x blockRows pixels whose rows
    // are rowBytes apart; every plane of a block has the same shape.
    uint32_t blockWidth = static_cast<uint32_t>(width), blockRows = 0;
    tmsize_t rowBytes = 0, blockBytes = 0;
    if (tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &blockWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &blockRows);
        rowBytes = TIFFTileRowSize(tif);
        blockBytes = TIFFTileSize(tif);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &blockRows);
        if (blockRows == 0 || blockRows > static_cast<uint32_t>(height))
            blockRows = static_cast<uint32_t>(height);
        rowBytes = TIFFScanlineSize(tif);
        const uint64_t bytes = static_cast<uint64_t>(std::max<tmsize_t>(rowBytes, 0)) * blockRows;
        blockBytes = bytes > static_cast<uint64_t>(MaxLibraryAllocation)
                         ? MaxLibraryAllocation + 1
                         : static_cast<tmsize_t>(bytes);
    }
    CheckError();
    if (blockWidth == 0 || blockRows == 0 || rowBytes <= 0 || blockBytes <= 0 ||
        static_cast<uint64_t>(rowBytes) < static_cast<uint64_t>(blockWidth) * sampleBytes ||
        static_cast<uint64_t>(blockBytes) < static_cast<uint64_t>(rowBytes) * blockRows ||
        static_cast<uint64_t>(blockBytes) > static_cast<uint64_t>(MaxLibraryAllocation))
        throw EInvalidGraphic(Format(gesInvalidImage, "TIF/TIFF"));

    std::vector<std::vector<uint8_t>> block(static_cast<size_t>(planes));
    for (auto& b : block)
        b = AllocateBuffer(static_cast<uint64_t>(blockBytes));
    std::vector<uint8_t> ink(static_cast<size_t>(blockWidth) * 4);
    for (uint32_t y = 0; y < static_cast<uint32_t>(height); y += blockRows) {
        const uint32_t rows = std::min<uint32_t>(blockRows, static_cast<uint32_t>(height) - y);
        for (uint32_t x = 0; x < static_cast<uint32_t>(width); x += blockWidth) {
            const uint32_t columns =
                std::min<uint32_t>(blockWidth, static_cast<uint32_t>(width) - x);
            for (int k = 0; k < planes; ++k) {
                // Data that decodes short leaves no ink (white) where it ends.
                std::fill(block[k].begin(), block[k].end(), 0);
                if (tiled)
                    TIFFReadEncodedTile(tif,
                                        TIFFComputeTile(tif, x, y, 0, static_cast<uint16_t>(k)),
                                        block[k].data(), blockBytes);
                else
                    TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y, static_cast<uint16_t>(k)),
                                         block[k].data(), static_cast<tmsize_t>(rows) * rowBytes);
                CheckError();
            }
            for (uint32_t r = 0; r < rows; ++r) {
                const size_t at = static_cast<size_t>(r) * static_cast<size_t>(rowBytes);
                const uint8_t* src = block[0].data() + at;
                if (separate) {
                    for (uint32_t i = 0; i < columns; ++i)
                        for (int k = 0; k < 4; ++k)
                            ink[4 * i + k] = block[k][at + i];
                    src = ink.data();
                }
                uint8_t* out = ScanLine(static_cast<int>(y + r)) + static_cast<size_t>(x) * 4;
                profile.Convert(src, out, columns);
                // The same opaque fourth byte as the pictures libtiff reads.
                for (uint32_t i = 0; i < columns; ++i)
                    out[4 * i + 3] = 255;
            }
        }
        StepProgress(static_cast<float>(rows * 100.0 / height), 0, 0, false);
    }
}
