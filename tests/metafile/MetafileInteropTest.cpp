// SPDX-License-Identifier: GPL-3.0-or-later
// The metafiles we write, checked by an independent parser (libUEMF): every
// EMF and WMF record must pass its own safety check (sizes, offsets and counts
// inside the record, bitmaps inside their records), and the headers must
// agree with the records that follow. Sources are a raster picture and every
// readable corpus metafile, converted the way the conversion does it.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "convert/ImageConverter.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#if defined(TREVASCO_HAVE_UEMF)
#include <uemf.h>
#include <uemf_safe.h>
#include <uwmf.h>
#endif

namespace {

#if defined(TREVASCO_HAVE_UEMF)

uint16_t Word(const std::vector<uint8_t>& d, size_t at) {
    return uint16_t(d[at] | (d[at + 1] << 8));
}
uint32_t Dword(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(Word(d, at)) | (uint32_t(Word(d, at + 2)) << 16);
}

// The picture's size at 96 dpi in 0.01 mm, as the frame must give it.
int32_t HundredthsMm(int px) {
    return static_cast<int32_t>(std::lround(px * 2540.0 / 96));
}

// Empty when the EMF of a w x h picture is sound; otherwise what is wrong with it.
std::string CheckEmf(const std::vector<uint8_t>& d, int w, int h_) {
    if (d.size() < sizeof(U_EMRHEADER) - 12) return "shorter than a header";
    U_EMRHEADER h{};
    std::memcpy(&h, d.data(), std::min(sizeof h, d.size()));
    if (h.emr.iType != U_EMR_HEADER) return "first record is not the header";
    if (h.dSignature != U_ENHMETA_SIGNATURE) return "signature";
    if (h.nBytes != d.size()) return "nBytes " + std::to_string(h.nBytes);
    if (h.szlDevice.cx != 1920 || h.szlDevice.cy != 1080) return "reference device pixels";
    if (h.szlMillimeters.cx != 508 || h.szlMillimeters.cy != 286) return "reference device mm";
    if (h.rclFrame.left != 0 || h.rclFrame.top != 0 || h.rclFrame.right != HundredthsMm(w) ||
        h.rclFrame.bottom != HundredthsMm(h_))
        return "frame is not the picture's size";
    if (h.rclBounds.left < 0 || h.rclBounds.top < 0 || h.rclBounds.right >= 1920 ||
        h.rclBounds.bottom >= 1080 || h.rclBounds.left > h.rclBounds.right ||
        h.rclBounds.top > h.rclBounds.bottom)
        return "bounds outside the reference surface";
    if (h.nDescription &&
        (h.offDescription < 88 || uint64_t(h.offDescription) + 2 * h.nDescription > h.emr.nSize))
        return "description outside the header";
    size_t pos = 0;
    uint32_t records = 0, lastType = 0, maxHandle = 0;
    while (pos < d.size()) {
        if (d.size() - pos < 8) return "record header cut at " + std::to_string(pos);
        const uint32_t type = Dword(d, pos), size = Dword(d, pos + 4);
        if (size < 8 || size % 4 || size > d.size() - pos)
            return "record size " + std::to_string(size) + " at " + std::to_string(pos);
        if (!U_emf_record_safe(reinterpret_cast<const char*>(d.data() + pos)))
            return std::string("libUEMF refuses ") + U_emr_names(type) + " at " +
                   std::to_string(pos);
        // Object handles that records create, select or delete.
        if ((type == U_EMR_CREATEPEN || type == U_EMR_CREATEBRUSHINDIRECT ||
             type == U_EMR_EXTCREATEFONTINDIRECTW || type == U_EMR_EXTCREATEPEN ||
             type == U_EMR_CREATEDIBPATTERNBRUSHPT || type == U_EMR_CREATEMONOBRUSH ||
             type == U_EMR_SELECTOBJECT || type == U_EMR_DELETEOBJECT) &&
            !(Dword(d, pos + 8) & 0x80000000u))
            maxHandle = std::max(maxHandle, Dword(d, pos + 8));
        ++records;
        lastType = type;
        pos += size;
        if (type == U_EMR_EOF) break;
    }
    if (lastType != U_EMR_EOF) return "no EOF record";
    if (pos != d.size()) return "bytes after EOF";
    if (h.nRecords != records) return "nRecords " + std::to_string(h.nRecords);
    if (h.nHandles < maxHandle + 1) return "nHandles below the handles used";
    return {};
}

// Empty when the WMF of a w x h picture is sound; otherwise what is wrong with it.
std::string CheckWmf(const std::vector<uint8_t>& d, int w, int h_) {
    const char* start = reinterpret_cast<const char*>(d.data());
    const char* end = start + d.size();
    U_WMRPLACEABLE p{};
    U_WMRHEADER h{};
    const int headerSize = wmfheader_get(start, end, &p, &h);
    if (headerSize != 22 + 18) return "libUEMF reads no placeable header and header";
    if (p.Key != 0x9AC6CDD7u || p.HWmf != 0 || p.Reserved != 0) return "placeable fields";
    if (p.Dst.left != 0 || p.Dst.top != 0 || p.Dst.right != w || p.Dst.bottom != h_ || p.Inch != 96)
        return "placeable box is not the picture's size at 96 units per inch";
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum ^= Word(d, i);
    std::vector<int16_t> words(10);
    std::memcpy(words.data(), d.data(), 20);
    if (p.Checksum != sum || uint16_t(U_16_checksum(words.data(), 10)) != sum) return "checksum";
    if (h.iType != 1 || h.Size16w != 9 || h.version != 0x0300) return "header fields";
    const uint32_t fileWords = uint32_t(h.Sizew[0]) | (uint32_t(h.Sizew[1]) << 16);
    if (uint64_t(fileWords) * 2 != d.size() - 22) return "size in words";
    size_t pos = size_t(headerSize);
    uint32_t maxRecord = 0, lastFunction = 0xFFFF;
    std::set<uint16_t> live; // object slots in use
    size_t peak = 0;
    while (pos < d.size()) {
        const size_t size = U_WMRRECSAFE_get(start + pos, end);
        if (!size) return "libUEMF refuses the record at " + std::to_string(pos);
        const uint16_t fn = Word(d, pos + 4);
        maxRecord = std::max<uint32_t>(maxRecord, uint32_t(size / 2));
        const char* rec = start + pos;
        U_POINT16 a, b, c, e;
        uint16_t usage;
        uint32_t rop;
        const char* dib = nullptr;
        if (fn == 0x0F43 && !U_WMRSTRETCHDIB_get(rec, &a, &b, &c, &e, &usage, &rop, &dib))
            return "libUEMF refuses the StretchDIB at " + std::to_string(pos);
        if (fn == 0x0B41 && !U_WMRDIBSTRETCHBLT_get(rec, &a, &b, &c, &e, &rop, &dib))
            return "libUEMF refuses the DIBStretchBlt at " + std::to_string(pos);
        if (dib && (dib < rec || dib >= rec + size)) return "bitmap outside its record";
        // Objects take the lowest free slot; selections and deletions name live ones.
        if ((fn & 0xFF) >= 0xF7 || fn == 0x0142 /* DIBCREATEPATTERNBRUSH */) {
            uint16_t slot = 0;
            while (live.count(slot))
                ++slot;
            live.insert(slot);
            peak = std::max(peak, live.size());
        } else if (fn == 0x012D || fn == 0x01F0 || fn == 0x012C || fn == 0x0234) {
            const uint16_t slot = Word(d, pos + 6);
            if (!live.count(slot)) return "object slot not in use at " + std::to_string(pos);
            if (fn == 0x01F0) live.erase(slot);
        }
        lastFunction = fn;
        pos += size;
        if (fn == 0) break;
    }
    if (lastFunction != 0 || Dword(d, pos - 6) != 3) return "no EOF record";
    if (pos != d.size()) return "bytes after EOF";
    if (h.maxSize != maxRecord) return "maxSize " + std::to_string(h.maxSize);
    if (h.nObjects < peak) return "nObjects below the objects in use";
    return {};
}

TMetafile Recorded(TGraphic& source, int w, int h, bool enhanced) {
    TMetafile mf;
    mf.SetEnhanced(enhanced);
    {
        TMetafileCanvas canvas(mf, TImageConverter::MetafileCreator,
                               TImageConverter::MetafileDescription);
        mf.SetWidth(w);
        mf.SetHeight(h);
        source.Draw(canvas, Rect(0, 0, mf.PendingWidth(), mf.PendingHeight()));
        canvas.Close();
    }
    return mf;
}

std::vector<uint8_t> Saved(TMetafile& mf) {
    TMemoryStream s;
    mf.SaveToStream(s);
    return s.Data();
}

#endif

} // namespace

#if defined(TREVASCO_HAVE_UEMF)

TEST(MetafileInterop, TheCheckerCatchesDamage) {
    // The checks themselves must fail on broken output, or they prove nothing.
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(4, 3);
    for (bool enhanced : {true, false}) {
        TMetafile mf = Recorded(b, 40, 30, enhanced);
        const std::vector<uint8_t> good = Saved(mf);
        const auto check = enhanced ? CheckEmf : CheckWmf;
        ASSERT_EQ(check(good, 40, 30), "") << (enhanced ? "EMF" : "WMF");
        EXPECT_NE(check(good, 41, 30), "") << "declared size";
        std::vector<uint8_t> cut(good.begin(), good.end() - 4);
        EXPECT_NE(check(cut, 40, 30), "") << "cut short";
        std::vector<uint8_t> bad = good;
        if (enhanced) {
            bad[52] ^= 1; // nRecords
        } else {
            bad[20] ^= 1; // checksum
        }
        EXPECT_NE(check(bad, 40, 30), "") << "header field";
        bad = good;
        // The last record before EOF claims more than the file holds.
        const size_t eof = good.size() - (enhanced ? 20 : 6);
        bad[eof + (enhanced ? 4 : 0)] = 0xFF;
        EXPECT_NE(check(bad, 40, 30), "") << "record size";
    }
}

TEST(MetafileInterop, RasterSourceWrittenInBothFormsPassesLibUemf) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(17, 9);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 17; ++x)
            b.SetPixel(x, y, RGBColor(uint8_t(x * 15), uint8_t(y * 28), 99));
    for (bool enhanced : {true, false}) {
        TMetafile mf = Recorded(b, 640, 480, enhanced);
        const std::vector<uint8_t> d = Saved(mf);
        EXPECT_EQ(enhanced ? CheckEmf(d, 640, 480) : CheckWmf(d, 640, 480), "")
            << (enhanced ? "EMF" : "WMF");
    }
}

TEST(MetafileInterop, CorpusMetafilesWrittenInBothFormsPassLibUemf) {
    REQUIRE_CORPUS("wmf-emf");
    int converted = 0;
    for (const std::string& path : CorpusFiles("wmf-emf", {".wmf", ".emf"}, true)) {
        if (path.find("corrupted") != std::string::npos) continue;
        TMetafile source;
        try {
            source.LoadFromFile(path);
        } catch (const Exception&) {
            continue; // files we refuse are checked elsewhere
        }
        if (source.Width() <= 0 || source.Height() <= 0) continue;
        const int w = std::min(source.Width(), 1920), h = std::min(source.Height(), 1080);
        for (bool enhanced : {true, false}) {
            TMetafile mf = Recorded(source, w, h, enhanced);
            const std::vector<uint8_t> d = Saved(mf);
            EXPECT_EQ(enhanced ? CheckEmf(d, w, h) : CheckWmf(d, w, h), "")
                << path << (enhanced ? " as EMF" : " as WMF");
        }
        ++converted;
    }
    EXPECT_GT(converted, 60);
}

#else

TEST(MetafileInterop, NeedsLibUemf) {
    GTEST_SKIP() << "libUEMF (libuemf-dev) is not installed; tools/deps.sh installs it";
}

#endif
