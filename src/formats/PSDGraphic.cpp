// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/PSDGraphic.h"

#include "base/StrUtils.h"
#include "toolkit/ColorProfile.h"
#include "util/Utf8.h"

#include <algorithm>
#include <cstring>

TREVASCO_GRAPHIC_CLASS(TPSDGraphic, TReaderGraphic)

namespace {
constexpr size_t HeaderSize = 26;

// Thrown inside the layer section and turned into the layer-corrupt message.
struct ELayerCorrupt {};

// A big-endian cursor that never reads outside [start, end).
class TCursor {
public:
    TCursor(const uint8_t* data, size_t begin, size_t end) : FData(data), FPos(begin), FEnd(end) {}
    size_t Pos() const { return FPos; }
    size_t End() const { return FEnd; }
    size_t Left() const { return FEnd - FPos; }
    void Need(size_t n) const {
        if (n > FEnd - FPos) throw ELayerCorrupt();
    }
    void Skip(size_t n) {
        Need(n);
        FPos += n;
    }
    void Seek(size_t pos) {
        if (pos > FEnd) throw ELayerCorrupt();
        FPos = pos;
    }
    const uint8_t* Here() const { return FData + FPos; }
    uint8_t U8() {
        Need(1);
        return FData[FPos++];
    }
    uint16_t U16() {
        Need(2);
        uint16_t v = static_cast<uint16_t>((FData[FPos] << 8) | FData[FPos + 1]);
        FPos += 2;
        return v;
    }
    uint32_t U32() {
        Need(4);
        const uint8_t* p = FData + FPos;
        FPos += 4;
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    double F64() {
        uint64_t v = (uint64_t(U32()) << 32) | U32();
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    }
    bool Is(const char* four) const { return Left() >= 4 && std::memcmp(Here(), four, 4) == 0; }
    std::string Key() {
        Need(4);
        std::string k(reinterpret_cast<const char*>(Here()), 4);
        FPos += 4;
        return k;
    }
    // Length-prefixed string whose total length is padded to a multiple of pad.
    std::string Pascal(size_t pad) {
        uint8_t n = U8();
        Need(n);
        std::string s(reinterpret_cast<const char*>(Here()), n);
        size_t total = (static_cast<size_t>(n) + 1 + pad - 1) / pad * pad;
        Skip(total - 1);
        return s;
    }
    // 32-bit count of big-endian UTF-16 units, as UTF-8.
    std::string Unicode() {
        uint32_t n = U32();
        if (n > Left() / 2) throw ELayerCorrupt();
        std::string out;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t c = U16();
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && Left() >= 2) {
                uint32_t lo = (uint32_t(Here()[0]) << 8) | Here()[1];
                if (lo >= 0xDC00 && lo < 0xE000) {
                    U16();
                    ++i;
                    c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                }
            }
            if (c == 0) continue; // names are stored with a terminating zero
            AppendUtf8(out, c);
        }
        return out;
    }
    // Class and key identifiers of descriptors: a length, or 0 and four characters.
    std::string Identifier() {
        uint32_t n = U32();
        if (n == 0) n = 4;
        Need(n);
        std::string s(reinterpret_cast<const char*>(Here()), n);
        FPos += n;
        return s;
    }

private:
    const uint8_t* FData;
    size_t FPos, FEnd;
};

const char* const BlendModes[] = {"norm", "dark", "lite", "hue ", "sat ", "colr",
                                  "lum ", "mul ", "scrn", "diss", "over", "hLit",
                                  "sLit", "diff", "smud", "div ", "idiv"};

constexpr int MaxDescriptorDepth = 32;

void ReadDescriptor(TCursor& c, int depth);

// A reference item ("obj " list entries and the reference forms used as item types).
void ReadReferenceForm(TCursor& c, const std::string& type) {
    if (type == "prop") {
        c.Unicode();
        c.Identifier();
        c.Identifier();
    } else if (type == "Clss") {
        c.Unicode();
        c.Identifier();
    } else if (type == "Enmr") {
        c.Unicode();
        c.Identifier();
        c.Identifier();
        c.Identifier();
    } else if (type == "rele") {
        c.Unicode();
        c.Identifier();
        c.U32();
    } else if (type == "Idnt" || type == "indx") {
        c.U32();
    } else if (type == "name") {
        c.Unicode();
        c.Identifier();
        c.Unicode();
    } else {
        throw ELayerCorrupt();
    }
}

void ReadItemValue(TCursor& c, const std::string& type, int depth) {
    if (depth > MaxDescriptorDepth) throw ELayerCorrupt();
    if (type == "Objc" || type == "GlbO") {
        ReadDescriptor(c, depth + 1);
    } else if (type == "obj ") {
        uint32_t n = c.U32();
        for (uint32_t i = 0; i < n; ++i)
            ReadReferenceForm(c, c.Key());
    } else if (type == "VlLs") {
        uint32_t n = c.U32();
        for (uint32_t i = 0; i < n; ++i)
            ReadItemValue(c, c.Key(), depth + 1);
    } else if (type == "doub") {
        c.Skip(8);
    } else if (type == "UntF") {
        c.Skip(12);
    } else if (type == "TEXT") {
        c.Unicode();
    } else if (type == "enum") {
        c.Identifier();
        c.Identifier();
    } else if (type == "long") {
        c.Skip(4);
    } else if (type == "bool") {
        c.Skip(1);
    } else if (type == "GlbC") {
        c.Unicode();
        c.Identifier();
    } else if (type == "alis" || type == "tdta") {
        c.Skip(c.U32());
    } else {
        ReadReferenceForm(c, type); // "Clss", "Enmr", "prop", "rele", "Idnt", "indx", "name"
    }
}

void ReadDescriptor(TCursor& c, int depth) {
    if (depth > MaxDescriptorDepth) throw ELayerCorrupt();
    c.Unicode();
    c.Identifier();
    uint32_t n = c.U32();
    for (uint32_t i = 0; i < n; ++i) {
        c.Identifier();
        ReadItemValue(c, c.Key(), depth);
    }
}

void ReadTypeTool(TCursor& c, TPSDTypeTool& tool) {
    c.U16();
    for (double& d : tool.Transform)
        d = c.F64();
    c.U16();
    c.U32();
    ReadDescriptor(c, 0);
    c.U16();
    c.U32();
    ReadDescriptor(c, 0);
    // Documented as four 64-bit floats; files in the wild store four 32-bit integers.
    if (c.Left() >= 32)
        for (double& d : tool.Bounds)
            d = c.F64();
    else if (c.Left() >= 16)
        for (double& d : tool.Bounds)
            d = c.I32();
    tool.Present = true;
}
// Whether the first channel past the colour channels is the merged image's
// transparency. Photoshop says so with a negative layer count (in the layer
// info, or in the 16- and 32-bit layer blocks), and with a "merged
// transparency" block among the global additional information. Without that
// the extra channels are saved selections, masks or spot colours: a flat
// document (no layer section) never has transparency. Damage here only
// means no transparency is known; the layer reader judges the layers.
bool HasMergedTransparency(const uint8_t* data, size_t size) {
    try {
        TCursor c(data, 4, size);
        const uint32_t infoLength = c.U32();
        if (infoLength >= 2) {
            TCursor info(data, c.Pos(), c.Pos() + std::min<size_t>(infoLength, c.Left()));
            if (static_cast<int16_t>(info.U16()) < 0) return true;
        }
        c.Skip(infoLength);
        c.Skip(c.U32()); // global layer mask
        int padding = 0;
        while (c.Left() >= 12) {
            if (!c.Is("8BIM") && !c.Is("8B64")) {
                // Blocks are padded to 2 or 4 bytes, whatever their length says.
                if (++padding > 3) break;
                c.Skip(1);
                continue;
            }
            padding = 0;
            c.Skip(4);
            const std::string key = c.Key();
            const uint32_t length = c.U32();
            c.Need(length);
            if (key == "Mtrn" || key == "Mt16" || key == "Mt32") return true;
            if ((key == "Lr16" || key == "Lr32") && length >= 2 &&
                static_cast<int16_t>((c.Here()[0] << 8) | c.Here()[1]) < 0)
                return true;
            c.Skip(length);
        }
    } catch (const ELayerCorrupt&) {
    }
    return false;
}
} // namespace

bool TPSDGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadProperties(memory, imageIndex, size);
    if (!memory || size < HeaderSize || std::memcmp(memory, "8BPS", 4) != 0) return false;
    try {
        TCursor c(memory, 4, size);
        uint16_t version = c.U16();
        c.Skip(6);
        uint16_t channels = c.U16();
        uint32_t rows = c.U32(), columns = c.U32();
        uint16_t depth = c.U16(), mode = c.U16();
        // Version 2 (large documents) has other field widths: not ours.
        if (version != 1 || channels == 0 || rows == 0 || columns == 0 || rows > 0x7FFFFFFF ||
            columns > 0x7FFFFFFF)
            return false;
        TImageProperties& p = FImageProperties;
        p.FormatVersion = version;
        p.Width = static_cast<int32_t>(columns);
        p.Height = static_cast<int32_t>(rows);
        p.SampleCount = static_cast<uint8_t>(std::min<int>(channels, 4));
        p.SampleBits = static_cast<uint8_t>(std::min<int>(depth, 255));
        p.PixelBits = static_cast<uint8_t>(std::min(p.SampleCount * p.SampleBits, 255));
        p.Flags = ofBigEndian | (mode == 0 ? ofMinIsWhite : 0);
        p.PageCount = 1;
        switch (mode) {
        case 0:
            p.Scheme = clGray;
            break;
        case 1:
        case 8:
            p.Scheme = channels == 1 ? clGray : clGrayAlpha;
            break;
        case 2:
            p.Scheme = channels == 1 ? clIndexed : channels == 2 ? clIndexedAlpha : clUndefined;
            break;
        case 3:
            // Channels past the fourth are further alpha or spot channels, never drawn.
            p.Scheme = channels == 3 ? clRGB : channels >= 4 ? clRGBA : clUndefined;
            break;
        case 7:
            p.Scheme = channels == 3 ? clRGB : channels == 4 ? clRGBA : clUndefined;
            break;
        case 4:
            p.Scheme = channels >= 4 ? clCMYK : clUndefined;
            break;
        case 9:
            p.Scheme = channels == 3 ? clCIELab : clUndefined;
            break;
        default:
            p.Scheme = clUndefined;
        }
        FChannels = channels;
        FMode = mode;
        for (int section = 0; section < 3; ++section)
            c.Skip(c.U32());
        uint16_t compression = c.U16();
        p.CompressionKind = compression == 0   ? ckNone
                            : compression == 1 ? ckPackbits
                            : compression == 2 ? ckZipPlain
                            : compression == 4 ? ckZipPredicted
                                               : ckUndefined;
    } catch (const ELayerCorrupt&) {
        return false; // a section reaches past the end of the file
    }
    return true;
}

TPixelFormat TPSDGraphic::SetupColorManager(int channels) {
    TColorManager& cm = *FColorManager;
    const TImageProperties& p = FImageProperties;
    cm.SetSourceOptions(soSwapBytes);
    cm.SetSourceBits(p.SampleBits);
    cm.SetTargetBits(p.SampleBits == 16 ? 8 : p.SampleBits);
    cm.SetSourceSamples(static_cast<uint8_t>(channels));
    cm.SetTargetSamples(static_cast<uint8_t>(channels));
    switch (p.Scheme) {
    case clIndexed:
    case clIndexedAlpha:
    case clGray:
    case clGrayAlpha: {
        // With alpha only the first channel is drawn: grey as grey, indices as indices.
        TColorLayout l = (p.Scheme == clIndexed || p.Scheme == clIndexedAlpha) ? clIndexed : clGray;
        cm.SetSourceLayout(l);
        cm.SetTargetLayout(l);
        cm.SetSourceSamples(1);
        cm.SetTargetSamples(1);
        break;
    }
    case clRGB:
        cm.SetSourceLayout(clRGB);
        cm.SetTargetLayout(clBGR);
        break;
    case clRGBA:
        cm.SetSourceLayout(clRGBA);
        cm.SetTargetLayout(clBGRA);
        break;
    case clCMYK:
        cm.SetSourceLayout(clCMYK);
        cm.SetTargetLayout(clBGR);
        cm.SetTargetSamples(3);
        break;
    case clCIELab:
        cm.SetSourceOptions(soSwapBytes | soLabPercent | soLabOffset);
        cm.SetSourceLayout(clCIELab);
        cm.SetTargetLayout(channels == 4 ? clBGRA : clBGR);
        break;
    default:
        throw EInvalidGraphic(Format(gesInvalidImage, "PSD or PDD"));
    }
    return cm.PixelFormatFor(TColorSide::Target);
}

void TPSDGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    ClearRaster();
    FLayers.clear();
    FGuides.clear();
    FGreyAlpha.clear();
    FMergedTransparency = false;
    FGridHorizontal = FGridVertical = 0;
    if (!ReadProperties(memory, imageIndex, size) || FImageProperties.Scheme == clUndefined)
        throw EInvalidGraphic(Format(gesInvalidImage, "PSD or PDD"));
    const TImageProperties& p = FImageProperties;
    // 32-bit float documents and the like are refused before anything is allocated.
    if (p.SampleBits != 1 && p.SampleBits != 8 && p.SampleBits != 16)
        throw EColorConversionError(gesInvalidColorDepth);
    if (p.SampleBits == 1 && p.Scheme != clGray)
        throw EInvalidGraphic(Format(gesInvalidImage, "PSD or PDD"));

    TProgressGuard guard(*this);
    InitProgress(p.Width, 1);
    StartProgressSection(0, "");
    StartProgressSection(1, gesPreparing);

    TPixelFormat format = SetupColorManager(p.SampleCount);
    // The whole file cannot hold less than one plane of the composite at the
    // best run-length ratio (128 bytes from two): checked before the raster.
    CheckRasterSize(p.Width, p.Height);
    CheckDataCanHold(size,
                     (static_cast<uint64_t>(p.SampleBits) * p.Width + 7) / 8 *
                         static_cast<uint64_t>(p.Height),
                     p.CompressionKind == ckNone ? 1 : 64, p.Width, p.Height);
    SetupRaster(p.Width, p.Height, format);

    TCursor c(memory, HeaderSize, size);
    uint32_t modeLength = c.U32();
    const uint8_t* modeData = c.Here();
    c.Skip(modeLength);
    TColorManager& cm = *FColorManager;
    if (p.Scheme == clIndexed || p.Scheme == clIndexedAlpha) {
        // Three planes, each a third of the section; never more colours than a plane holds.
        uint32_t third = modeLength / 3;
        int count = static_cast<int>(std::min<uint32_t>(third, 256));
        SetPalette(cm.MakeColorPalette({modeData, modeData + third, modeData + 2 * third},
                                       pdPlanar8, count, false));
    } else if (p.Scheme == clGray || p.Scheme == clGrayAlpha) {
        SetPalette(cm.MakeGrayPalette(p.Flags & ofMinIsWhite));
    }
    EndProgressSection(false);

    uint32_t resourceLength = c.U32();
    size_t resourceEnd = c.Pos() + resourceLength;
    TImageMetadata& metadata = Metadata();
    const int orientation = metadata.Orientation;
    metadata = TImageMetadata{};
    metadata.Orientation = orientation;
    try {
        TCursor r(memory, c.Pos(), resourceEnd);
        while (r.Is("8BIM")) {
            r.Skip(4);
            uint16_t id = r.U16();
            r.Pascal(2);
            uint32_t length = r.U32();
            size_t dataEnd = r.Pos() + length;
            if (length > r.Left()) break;
            if (id == 1032 && length >= 16) {
                TCursor g(memory, r.Pos(), dataEnd);
                g.Skip(4);
                FGridHorizontal = g.U32() / 32.0;
                FGridVertical = g.U32() / 32.0;
                uint32_t count = g.U32();
                for (uint32_t i = 0; i < count && g.Left() >= 5; ++i) {
                    TPSDGuide guide;
                    guide.Position = g.I32() / 32.0;
                    guide.Direction = g.U8();
                    FGuides.push_back(guide);
                }
            }
            // ICC profile, EXIF (a TIFF structure) and XMP are carried to the destination.
            std::string* block = id == 1039   ? &metadata.Icc
                                 : id == 1058 ? &metadata.Exif
                                 : id == 1060 ? &metadata.Xmp
                                              : nullptr;
            if (block && length <= MaxMetadataBlock)
                block->assign(reinterpret_cast<const char*>(r.Here()), length);
            r.Seek(std::min(r.End(), dataEnd + (length & 1)));
        }
    } catch (const ELayerCorrupt&) {
        // Damaged resources hold nothing the picture needs.
    }
    c.Seek(resourceEnd);

    uint32_t layerLength = c.U32();
    size_t layerStart = c.Pos();
    if (layerLength > 0) {
        try {
            ReadLayerSection(memory + layerStart - 4, static_cast<size_t>(layerLength) + 4);
        } catch (const ELayerCorrupt&) {
            throw EInvalidGraphic(gesLayerDataCorrupt);
        }
        if (!FLayers.empty()) SetupColorManager(p.SampleCount);
    }
    FMergedTransparency =
        layerLength > 0 && (p.Scheme == clRGBA || p.Scheme == clGrayAlpha) &&
        HasMergedTransparency(memory + layerStart - 4, static_cast<size_t>(layerLength) + 4);
    FImageProperties.AlphaPresent = FMergedTransparency;
    // The composite always follows the layer section as its length says.
    c.Seek(layerStart + layerLength);
    uint16_t compression = c.U16();
    ReadComposite(memory + c.Pos(), c.Left(), compression);
    if (FMergedTransparency) KeepTransparency();
    EndProgressSection(false);
}

void TPSDGraphic::KeepTransparency() {
    const int width = Width(), height = Height();
    const bool grey = IsIndexed();
    if (grey ? FGreyAlpha.size() != static_cast<size_t>(width) * height : BitsPerPixel() != 32)
        return;
    std::vector<uint8_t> alpha(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        uint8_t* a = alpha.data() + static_cast<size_t>(y) * width;
        if (grey)
            std::memcpy(a, FGreyAlpha.data() + static_cast<size_t>(y) * width, width);
        else
            for (int x = 0; x < width; ++x)
                a[x] = ScanLine(y)[4 * x + 3];
    }
    FGreyAlpha.clear();
    FGreyAlpha.shrink_to_fit();
    if (std::all_of(alpha.begin(), alpha.end(), [](uint8_t v) { return v == 255; })) return;

    // Photoshop stores the merged image of a transparent document matted with
    // white: each colour is a*c + (1-a)*255, so no colour lies below 255 - a.
    // Other writers store straight colours. Only when every pixel can be
    // matted (within a level of rounding) is the matting taken out again;
    // a straight picture almost always has a dark colour at partial or no
    // coverage that rules it out.
    const int samples = grey ? 1 : 3, step = grey ? 1 : 4;
    bool matted = true;
    for (int y = 0; y < height && matted; ++y) {
        const uint8_t* row = ScanLine(y);
        const uint8_t* a = alpha.data() + static_cast<size_t>(y) * width;
        for (int x = 0; x < width && matted; ++x)
            for (int k = 0; k < samples; ++k)
                if (row[step * x + k] + 1 < 255 - a[x]) matted = false;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = ScanLine(y);
        const uint8_t* a = alpha.data() + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const int v = a[x];
            for (int k = 0; k < samples; ++k) {
                uint8_t& c = row[step * x + k];
                if (v == 0)
                    c = 0; // nothing shows there: no hidden colour is kept
                else if (matted && v < 255)
                    c = static_cast<uint8_t>(
                        std::clamp((2 * (c - 255 + v) * 255 + v) / (2 * v), 0, 255));
            }
            if (!grey) row[4 * x + 3] = 0; // the alpha lives in the alpha plane
        }
    }
    SetAlphaChannel(std::move(alpha));
}

void TPSDGraphic::ReadLayerSection(const uint8_t* data, size_t size) {
    // data starts at the section's own length field; size covers it and the section.
    TCursor c(data, 4, size);
    uint32_t infoLength = c.U32();
    if (infoLength == 0) return;
    size_t infoEnd = c.Pos() + infoLength;
    if (infoEnd > size) throw ELayerCorrupt();
    TCursor info(data, c.Pos(), infoEnd);
    int count = std::abs(static_cast<int>(static_cast<int16_t>(info.U16())));
    if (count == 0) return;
    StartProgressSection(static_cast<float>(count * 100 / (count + 1) - 1), gesLoadingData);
    StartProgressSection(5, gesLoadingData);

    for (int i = 0; i < count; ++i) {
        FLayers.push_back(std::make_unique<TPhotoshopLayer>());
        TPhotoshopLayer& l = *FLayers.back();
        l.Top = info.I32();
        l.Left = info.I32();
        l.Bottom = info.I32();
        l.Right = info.I32();
        uint16_t channels = info.U16();
        info.Need(static_cast<size_t>(channels) * 6);
        l.Channels.resize(channels);
        for (TPSDChannel& ch : l.Channels) {
            ch.Identifier = static_cast<int16_t>(info.U16());
            ch.DataLength = info.U32();
        }
        if (!info.Is("8BIM")) throw ELayerCorrupt();
        info.Skip(4);
        std::string key = info.Key();
        for (size_t k = 0; k < std::size(BlendModes); ++k)
            if (key == BlendModes[k]) l.BlendMode = static_cast<int>(k);
        l.Opacity = info.U8();
        l.Clipping = info.U8() != 0;
        uint8_t flags = info.U8();
        l.Flags = static_cast<uint8_t>((flags & 3) | (((flags & 0x18) == 0x18) ? 4 : 0));
        info.U8();
        uint32_t extraLength = info.U32();
        info.Need(extraLength);
        size_t extraEnd = info.Pos() + extraLength;
        TCursor x(data, info.Pos(), extraEnd);

        uint32_t maskLength = x.U32();
        if (maskLength > 0) {
            x.Need(maskLength);
            size_t maskEnd = x.Pos() + maskLength;
            TCursor m(data, x.Pos(), maskEnd);
            if (m.Left() >= 18) {
                l.Mask.Top = m.I32();
                l.Mask.Left = m.I32();
                l.Mask.Bottom = m.I32();
                l.Mask.Right = m.I32();
                l.Mask.DefaultColor = m.U8();
                l.Mask.Flags = m.U8();
            }
            x.Seek(maskEnd);
        }
        uint32_t rangesLength = x.U32();
        if (rangesLength > 0) {
            x.Need(rangesLength);
            size_t rangesEnd = x.Pos() + rangesLength;
            TCursor r(data, x.Pos(), rangesEnd);
            for (int k = 0; k < 6 && r.Left() >= 8; ++k) {
                TPSDBlendingRange range;
                for (uint8_t& b : range.Source)
                    b = r.U8();
                for (uint8_t& b : range.Destination)
                    b = r.U8();
                l.BlendingRanges.push_back(range);
            }
            x.Seek(rangesEnd);
        }
        l.Name = x.Pascal(4);
        while (x.Is("8BIM") || x.Is("8B64")) {
            x.Skip(4);
            std::string blockKey = x.Key();
            uint32_t length = x.U32();
            x.Need(length);
            size_t blockEnd = x.Pos() + length;
            TCursor b(data, x.Pos(), blockEnd);
            if (blockKey == "luni") {
                l.Name = b.Unicode();
            } else if (blockKey == "TySh") {
                ReadTypeTool(b, l.TypeTool);
            }
            x.Seek(blockEnd);
        }
        info.Seek(extraEnd);
    }
    EndProgressSection(false);

    // Channel data: each channel's compression code is read and its data
    // stepped over. The pixels are not decoded: nothing in the program reads
    // layer pixels, and holding every layer's channels would multiply the
    // memory a load needs by the number of layers.
    StartProgressSection(0, gesLoadingData);
    for (auto& layer : FLayers) {
        StartProgressSection(100.0f / static_cast<float>(count), gesLoadingData);
        for (TPSDChannel& ch : layer->Channels) {
            info.Need(ch.DataLength);
            size_t channelEnd = info.Pos() + ch.DataLength;
            if (ch.DataLength >= 2) ch.Compression = info.U16();
            info.Seek(channelEnd);
        }
        EndProgressSection(true);
    }
    EndProgressSection(false);
    EndProgressSection(false);

    // Global layer mask information follows the layer info; nothing here uses it,
    // and the composite's place does not depend on it.
}

void TPSDGraphic::ReadComposite(const uint8_t* data, size_t size, uint16_t compression) {
    const TImageProperties& p = FImageProperties;
    StartProgressSection(0, gesTransfering);
    if (compression != 0 && compression != 1)
        throw EInvalidGraphic(
            Format(gesUnsupportedFeature, "The compression scheme is", "PSD/PDD"));
    const int height = p.Height, width = p.Width;
    const size_t rowBytes = (static_cast<size_t>(p.SampleBits) * width + 7) / 8;
    const size_t planeRows = static_cast<size_t>(FChannels) * height;

    // Where row y of channel k starts and how many bytes it has.
    std::vector<uint64_t> rowStart;
    std::vector<uint16_t> rowCount;
    if (compression == 1) {
        if (planeRows > size / 2) throw EInvalidGraphic(Format(gesInvalidImage, "PSD or PDD"));
        rowStart.resize(planeRows);
        rowCount.resize(planeRows);
        uint64_t pos = planeRows * 2;
        for (size_t i = 0; i < planeRows; ++i) {
            rowCount[i] = static_cast<uint16_t>((data[2 * i] << 8) | data[2 * i + 1]);
            rowStart[i] = pos;
            pos += rowCount[i];
        }
    }
    TPackbitsRLEDecoder decoder;
    // Fills buf with row y of channel k. A row the file ends before is a cut
    // file; a packed row that decodes short stays 0 where it ends.
    auto readRow = [&](int k, int y, uint8_t* buf) {
        std::memset(buf, 0, rowBytes);
        size_t index = static_cast<size_t>(k) * height + y;
        if (compression == 0) {
            uint64_t at = static_cast<uint64_t>(index) * rowBytes;
            if (at >= size || rowBytes > size - at) throw ECutShort(CutShortMessage(y, height));
            std::memcpy(buf, data + at, rowBytes);
        } else {
            uint64_t at = rowStart[index];
            if (at >= size || rowCount[index] > size - at)
                throw ECutShort(CutShortMessage(y, height));
            {
                const uint8_t* s = data + at;
                uint8_t* t = buf;
                int32_t packed =
                    static_cast<int32_t>(std::min<uint64_t>(rowCount[index], size - at));
                decoder.Unpack(s, t, packed, static_cast<int32_t>(rowBytes));
            }
        }
    };

    TColorManager& cm = *FColorManager;
    const float step = 100.0f / static_cast<float>(height);
    switch (p.Scheme) {
    case clIndexed:
    case clIndexedAlpha:
    case clGray:
    case clGrayAlpha: {
        std::vector<uint8_t> row(rowBytes);
        // The merged transparency is channel 1, high byte first at 16 bits.
        const bool alpha = FMergedTransparency && p.Scheme == clGrayAlpha && FChannels >= 2;
        if (alpha) FGreyAlpha.assign(static_cast<size_t>(width) * height, 255);
        const int bytes = p.SampleBits == 16 ? 2 : 1;
        for (int y = 0; y < height; ++y) {
            readRow(0, y, row.data());
            cm.ConvertLine({row.data()}, ScanLine(y), static_cast<unsigned>(width));
            if (alpha) {
                readRow(1, y, row.data());
                uint8_t* a = FGreyAlpha.data() + static_cast<size_t>(y) * width;
                for (int x = 0; x < width; ++x)
                    a[x] = row[static_cast<size_t>(x) * bytes];
            }
            StepProgress(step, 0, 1, false);
        }
        break;
    }
    case clRGB:
    case clRGBA:
    case clCMYK:
    case clCIELab: {
        const int planes = (p.Scheme == clRGB || p.Scheme == clCIELab) ? 3 : 4;
        std::vector<uint8_t> rows(rowBytes * planes);
        // 8-bit ink converts through an embedded CMYK profile; without one, by formula.
        std::unique_ptr<TProfileTransform> profile;
        std::vector<uint8_t> ink;
        if (p.Scheme == clCMYK && p.SampleBits == 8 &&
            (BitsPerPixel() == 24 || BitsPerPixel() == 32))
            profile = TProfileTransform::ToSRGB(Metadata().Icc, ppCMYK,
                                                BitsPerPixel() == 24 ? ppBGR : ppBGRX);
        if (profile) ink.resize(static_cast<size_t>(width) * 4);
        const void* src[4];
        for (int k = 0; k < planes; ++k)
            src[k] = rows.data() + k * rowBytes;
        for (int y = 0; y < height; ++y) {
            for (int k = 0; k < planes; ++k)
                readRow(k, y, rows.data() + k * rowBytes);
            if (p.Scheme == clCMYK) // Photoshop stores ink amounts inverted
                for (uint8_t& b : rows)
                    b = static_cast<uint8_t>(~b);
            if (profile) {
                for (int x = 0; x < width; ++x)
                    for (int k = 0; k < 4; ++k)
                        ink[static_cast<size_t>(x) * 4 + k] = rows[k * rowBytes + x];
                profile->Convert(ink.data(), ScanLine(y), static_cast<unsigned>(width));
            } else {
                cm.ConvertLine(src, planes, ScanLine(y), static_cast<unsigned>(width));
            }
            StepProgress(step, 0, 1, false);
        }
        break;
    }
    default:
        break;
    }
    EndProgressSection(false);
}
