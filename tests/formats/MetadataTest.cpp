// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata building blocks alone: JPEG segment collection and splitting,
// the Exiv2 editor, the Little CMS transforms, and the TIFF and PSD readers'
// metadata.
#include "TestSupport.h"
#include "toolkit/ColorProfile.h"
#include "jpeg/JPEGMetadata.h"
#include "formats/MetadataEditor.h"
#include "formats/PSDGraphic.h"
#include "formats/TIFFGraphic.h"

#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <lcms2.h>
#include <tiffio.h>

namespace {

std::string SRGBProfile() {
    cmsHPROFILE p = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    return bytes;
}

// A profile-sized block of recognisable bytes (the collector never looks inside).
std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

void AddSegment(TJPEGMetadataCollector& c, const TJPEGSegment& s) {
    c.Add(s.Marker, reinterpret_cast<const uint8_t*>(s.Payload.data()), s.Payload.size());
}

std::string Exif(const std::function<void(Exiv2::ExifData&)>& fill) {
    Exiv2::ExifData exif;
    fill(exif);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::bigEndian, exif);
    return std::string(blob.begin(), blob.end());
}

Exiv2::ExifData Parse(const std::string& block) {
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block.data()),
                              static_cast<uint32_t>(block.size()));
    return exif;
}

std::string Value(const Exiv2::ExifData& exif, const char* key) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? "(absent)" : it->toString();
}

} // namespace

// ---- JPEG segments

TEST(JPEGMetadata, LargeProfileIsSplitInNumberedChunksAndReassembledInAnyOrder) {
    TImageMetadata m;
    m.Icc = Pattern(150000);
    const std::vector<TJPEGSegment> segments = JPEGMetadataSegments(m);
    ASSERT_EQ(segments.size(), 3u);
    for (size_t i = 0; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i].Marker, JPEGMarkerAPP2);
        EXPECT_LE(segments[i].Payload.size(), 65533u);
        EXPECT_EQ(segments[i].Payload[12], static_cast<char>(i + 1));
        EXPECT_EQ(segments[i].Payload[13], 3);
    }
    EXPECT_EQ(segments[0].Payload.size(), 14u + 65519u);
    TJPEGMetadataCollector c;
    for (int i : {2, 0, 1})
        AddSegment(c, segments[i]);
    TImageMetadata read;
    c.Finish(read);
    EXPECT_EQ(read.Icc, m.Icc);
}

TEST(JPEGMetadata, ProfileWithAMissingRepeatedOrDisagreeingChunkIsDropped) {
    TImageMetadata m;
    m.Icc = Pattern(140000);
    const std::vector<TJPEGSegment> s = JPEGMetadataSegments(m);
    auto collect = [](const std::vector<TJPEGSegment>& list) {
        TJPEGMetadataCollector c;
        for (const auto& segment : list)
            AddSegment(c, segment);
        TImageMetadata read;
        c.Finish(read);
        return read.Icc;
    };
    EXPECT_EQ(collect({s[0], s[2]}), "");
    EXPECT_EQ(collect({s[0], s[1], s[1], s[2]}), "");
    TJPEGSegment other = s[1];
    other.Payload[13] = 4; // says four chunks
    EXPECT_EQ(collect({s[0], other, s[2]}), "");
    TJPEGSegment zero = s[0];
    zero.Payload[12] = 0; // sequence numbers start at 1
    EXPECT_EQ(collect({zero, s[1], s[2]}), "");
    EXPECT_EQ(collect(s), m.Icc);
}

TEST(JPEGMetadata, ExifXmpAndCommentTravelThroughTheirSegments) {
    TImageMetadata m;
    m.Exif = "MM" + Pattern(100);
    m.Xmp = "<x:xmpmeta/>";
    m.Comment = "a comment";
    const std::vector<TJPEGSegment> segments = JPEGMetadataSegments(m);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].Payload.substr(0, 6), std::string("Exif\0\0", 6));
    EXPECT_EQ(segments[1].Payload.substr(0, 29), std::string("http://ns.adobe.com/xap/1.0/\0", 29));
    EXPECT_EQ(segments[2].Marker, JPEGMarkerCOM);
    TJPEGMetadataCollector c;
    for (const auto& s : segments)
        AddSegment(c, s);
    // A second EXIF block (a stale copy) does not replace the first.
    AddSegment(c, {JPEGMarkerAPP1, std::string("Exif\0\0", 6) + "II*\0later"});
    TImageMetadata read;
    c.Finish(read);
    EXPECT_EQ(read.Exif, m.Exif);
    EXPECT_EQ(read.Xmp, m.Xmp);
    EXPECT_EQ(read.Comment, m.Comment);
}

TEST(JPEGMetadata, BlocksTooLargeForOneSegmentAreLeftOut) {
    TImageMetadata m;
    m.Exif = Pattern(65528);
    m.Xmp = Pattern(65505);
    EXPECT_TRUE(JPEGMetadataSegments(m).empty());
    m.Exif.resize(65527);
    m.Xmp.resize(65504);
    EXPECT_EQ(JPEGMetadataSegments(m).size(), 2u);
}

// ---- the Exiv2 editor

TEST(MetadataEditor, DamagedBlocksAreDroppedNeverThrown) {
    TMetadataEdit edit;
    EXPECT_EQ(EditExif("MM\0*\0\0\0\x08garbage", edit), "");
    EXPECT_EQ(EditExif(Pattern(5000), edit), "");
    EXPECT_EQ(EditXmp("<x:xmpmeta><rdf:RDF", edit), "");
    EXPECT_EQ(ExifFromTIFF(reinterpret_cast<const uint8_t*>("II*\0\xff\xff\xff\x7f"), 8), "");
}

TEST(MetadataEditor, ExifLosesItsThumbnailAndStatesTheWrittenPicture) {
    const std::string block = Exif([](Exiv2::ExifData& e) {
        e["Exif.Image.Make"] = "Maker";
        e["Exif.Image.Orientation"] = uint16_t(6);
        e["Exif.Photo.PixelXDimension"] = uint16_t(4000);
        e["Exif.Photo.PixelYDimension"] = uint16_t(3000);
        const uint8_t thumb[] = {0xFF, 0xD8, 0xFF, 0xD9};
        Exiv2::ExifThumb(e).setJpegThumbnail(thumb, sizeof thumb);
    });
    TMetadataEdit edit;
    edit.Upright = true;
    edit.Width = 800;
    edit.Height = 70000; // beyond a SHORT
    const Exiv2::ExifData out = Parse(EditExif(block, edit));
    EXPECT_EQ(Value(out, "Exif.Image.Make"), "Maker");
    EXPECT_EQ(Value(out, "Exif.Image.Orientation"), "1");
    EXPECT_EQ(Value(out, "Exif.Photo.PixelXDimension"), "800");
    EXPECT_EQ(Value(out, "Exif.Photo.PixelYDimension"), "70000");
    for (const auto& d : out)
        EXPECT_NE(d.groupName(), "Thumbnail") << d.key();
    // Not turned: the orientation stays as the camera wrote it.
    edit.Upright = false;
    EXPECT_EQ(Value(Parse(EditExif(block, edit)), "Exif.Image.Orientation"), "6");
}

TEST(MetadataEditor, LocationGoesOnlyWhenAskedAndStripLeavesNothing) {
    const std::string block = Exif([](Exiv2::ExifData& e) {
        e["Exif.Image.Artist"] = "Ann";
        e["Exif.GPSInfo.GPSLatitudeRef"] = "S";
        e["Exif.GPSInfo.GPSLatitude"] = "33/1 51/1 0/1";
    });
    TMetadataEdit edit;
    EXPECT_EQ(Value(Parse(EditExif(block, edit)), "Exif.GPSInfo.GPSLatitudeRef"), "S");
    edit.Mode = TMetadataMode::NoLocation;
    const Exiv2::ExifData out = Parse(EditExif(block, edit));
    EXPECT_EQ(Value(out, "Exif.Image.Artist"), "Ann");
    EXPECT_EQ(Value(out, "Exif.GPSInfo.GPSLatitudeRef"), "(absent)");
    EXPECT_EQ(Value(out, "Exif.GPSInfo.GPSLatitude"), "(absent)");
    edit.Mode = TMetadataMode::Strip;
    TImageMetadata source;
    source.Exif = block;
    source.Xmp = "<x:xmpmeta/>";
    source.Icc = SRGBProfile();
    source.Comment = "c";
    EXPECT_TRUE(EditMetadata(source, edit).Empty());
}

TEST(MetadataEditor, UntouchedXmpKeepsItsBytesAndEditedXmpChangesOnlyWhatItMust) {
    Exiv2::XmpData xmp;
    xmp["Xmp.dc.title"] = "lang=\"x-default\" Harbour";
    xmp["Xmp.tiff.Orientation"] = "8";
    xmp["Xmp.photoshop.City"] = "Brest";
    xmp["Xmp.Iptc4xmpCore.Location"] = "Quay";
    std::string packet;
    ASSERT_EQ(Exiv2::XmpParser::encode(packet, xmp), 0);
    packet += "  "; // bytes a rewrite would not keep
    TMetadataEdit edit;
    EXPECT_EQ(EditXmp(packet, edit), packet);

    edit.Upright = true;
    edit.Mode = TMetadataMode::NoLocation;
    Exiv2::XmpData out;
    ASSERT_EQ(Exiv2::XmpParser::decode(out, EditXmp(packet, edit)), 0);
    EXPECT_EQ(out["Xmp.tiff.Orientation"].toString(), "1");
    EXPECT_EQ(out["Xmp.dc.title"].toString(), "lang=\"x-default\" Harbour");
    EXPECT_TRUE(out.findKey(Exiv2::XmpKey("Xmp.photoshop.City")) == out.end());
    EXPECT_TRUE(out.findKey(Exiv2::XmpKey("Xmp.Iptc4xmpCore.Location")) == out.end());
}

// ---- Little CMS

TEST(ColorProfile, ProfilesThatCannotBeUsedGiveNoTransform) {
    const std::string srgb = SRGBProfile();
    EXPECT_EQ(ProfileSpace(srgb), psRGB);
    EXPECT_NE(TProfileTransform::ToSRGB(srgb, ppBGR, ppBGR), nullptr);
    // Wrong colour space for the pixels, cut short, garbage, a huge declared size.
    EXPECT_EQ(TProfileTransform::ToSRGB(srgb, ppCMYK, ppBGR), nullptr);
    EXPECT_EQ(TProfileTransform::ToSRGB(srgb.substr(0, 200), ppBGR, ppBGR), nullptr);
    EXPECT_EQ(TProfileTransform::ToSRGB(Pattern(4000), ppBGR, ppBGR), nullptr);
    std::string huge = srgb;
    huge[0] = 0x40; // declares a 1 GB profile
    EXPECT_EQ(TProfileTransform::ToSRGB(huge, ppBGR, ppBGR), nullptr);
    TBitmap b(4, 1, pf24bit);
    EXPECT_FALSE(ConvertToSRGB(b, Pattern(4000)));
}

TEST(ColorProfile, SRGBToSRGBKeepsColoursAndTheFourthByte) {
    TBitmap b(256, 1, pf32bit);
    for (int x = 0; x < 256; ++x) {
        uint8_t* p = b.ScanLine(0) + x * 4;
        p[0] = static_cast<uint8_t>(x);
        p[1] = static_cast<uint8_t>(255 - x);
        p[2] = static_cast<uint8_t>(x / 2);
        p[3] = 0x5A;
    }
    const TBitmap before = b;
    EXPECT_TRUE(TProfileTransform::ToSRGB(SRGBProfile(), ppBGRX, ppBGRX)->Identity());
    ASSERT_TRUE(ConvertToSRGB(b, SRGBProfile()));
    for (int x = 0; x < 256 * 4; ++x)
        EXPECT_NEAR(b.ScanLine(0)[x], before.ScanLine(0)[x], 1) << x;
}

TEST(ColorProfile, GreyProfileConvertsGreyRastersAndPalettes) {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 1.0); // linear grey: mid-grey gets lighter in sRGB
    cmsHPROFILE p = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsFreeToneCurve(gamma);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::string icc(size, '\0');
    cmsSaveProfileToMem(p, icc.data(), &size);
    cmsCloseProfile(p);
    ASSERT_EQ(ProfileSpace(icc), psGray);

    TBitmap rgb(1, 1, pf24bit);
    std::fill_n(rgb.ScanLine(0), 3, 50);
    ASSERT_TRUE(ConvertToSRGB(rgb, icc));
    const uint8_t* px = rgb.ScanLine(0);
    EXPECT_GT(px[0], 100);
    EXPECT_NEAR(px[0], px[1], 1);
    EXPECT_NEAR(px[1], px[2], 1);

    TBitmap indexed(1, 1, pf8bit);
    indexed.SetPalette(GreyPalette(256));
    ASSERT_TRUE(ConvertToSRGB(indexed, icc));
    EXPECT_EQ(indexed.Palette()[50].Red, px[2]);
    EXPECT_EQ(indexed.Palette()[0].Red, 0);
    EXPECT_EQ(indexed.Palette()[255].Red, 255);
}

// ---- readers

TEST(TTIFFGraphic, ReadsProfileXmpAndCameraTags) {
    TTempFolder dir;
    const std::string icc = SRGBProfile(), xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    const std::string path = dir.File("m.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 2);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_MAKE, "ScanCo");
    TIFFSetField(tif, TIFFTAG_COPYRIGHT, "(c) Scanner");
    TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(icc.size()), icc.data());
    TIFFSetField(tif, TIFFTAG_XMLPACKET, static_cast<uint32_t>(xmp.size()), xmp.data());
    uint8_t row[6] = {1, 2, 3, 4, 5, 6};
    TIFFWriteScanline(tif, row, 0, 0);
    TIFFClose(tif);
    const std::vector<uint8_t> f = ReadFileBytes(path);

    TTIFFGraphic g;
    g.ReadFromMemory(f.data(), 0, f.size());
    EXPECT_EQ(g.Metadata().Icc, icc);
    EXPECT_EQ(g.Metadata().Xmp, xmp);
    const Exiv2::ExifData exif = Parse(g.Metadata().Exif);
    EXPECT_EQ(Value(exif, "Exif.Image.Make"), "ScanCo");
    EXPECT_EQ(Value(exif, "Exif.Image.Copyright"), "(c) Scanner");
    // The TIFF's own layout is not camera data.
    EXPECT_EQ(Value(exif, "Exif.Image.StripOffsets"), "(absent)");
    EXPECT_EQ(Value(exif, "Exif.Image.BitsPerSample"), "(absent)");
}

namespace {
void Put(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        b.push_back(static_cast<uint8_t>(v >> (i * 8)));
}
void PutResource(std::vector<uint8_t>& b, uint16_t id, const std::string& data) {
    b.insert(b.end(), {'8', 'B', 'I', 'M'});
    Put(b, id, 2);
    Put(b, 0, 2); // empty name, padded to even
    Put(b, static_cast<uint32_t>(data.size()), 4);
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() & 1) b.push_back(0);
}
} // namespace

TEST(TPSDGraphic, ReadsProfileExifAndXmpResources) {
    const std::string icc = SRGBProfile(), xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
    const std::string exif = Exif([](Exiv2::ExifData& e) { e["Exif.Image.Make"] = "PSDCam"; });
    std::vector<uint8_t> resources;
    PutResource(resources, 1039, icc);
    PutResource(resources, 1058, exif);
    PutResource(resources, 1060, xmp + "x"); // odd length: padded
    std::vector<uint8_t> f = {'8', 'B', 'P', 'S'};
    Put(f, 1, 2);
    f.insert(f.end(), 6, 0);
    Put(f, 3, 2); // channels
    Put(f, 1, 4); // height
    Put(f, 1, 4); // width
    Put(f, 8, 2);
    Put(f, 3, 2); // RGB
    Put(f, 0, 4); // mode data
    Put(f, static_cast<uint32_t>(resources.size()), 4);
    f.insert(f.end(), resources.begin(), resources.end());
    Put(f, 0, 4); // layers
    Put(f, 0, 2); // raw
    f.insert(f.end(), {10, 20, 30});
    TPSDGraphic g;
    g.ReadFromMemory(f.data(), 0, f.size());
    EXPECT_EQ(g.Metadata().Icc, icc);
    EXPECT_EQ(g.Metadata().Exif, exif);
    EXPECT_EQ(g.Metadata().Xmp, xmp + "x");
    EXPECT_EQ(g.ScanLine(0)[2], 10);
}

namespace {
// A CMYK printer profile with a perceptual table (plain ink model, in Lab).
cmsInt32Number SampleInk(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    cmsCIELab lab{100.0 * (1 - k) * (1 - 0.3 * c - 0.3 * m - 0.2 * y), 60.0 * (m - c) * (1 - k),
                  60.0 * (y - 0.5 * c - 0.5 * m) * (1 - k)};
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
}

std::string CMYKProfile() {
    cmsHPROFILE p = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(p, 2.1); // its 16-bit table type takes a bare colour table
    cmsSetDeviceClass(p, cmsSigOutputClass);
    cmsSetColorSpace(p, cmsSigCmykData);
    cmsSetPCS(p, cmsSigLabData);
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(clut, SampleInk, nullptr, 0);
    cmsPipelineInsertStage(lut, cmsAT_BEGIN, clut);
    cmsWriteTag(p, cmsSigAToB0Tag, lut);
    cmsWriteTag(p, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(lut);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    return bytes;
}
} // namespace

TEST(TPSDGraphic, CMYKWithAProfileConvertsThroughIt) {
    const std::string icc = CMYKProfile();
    ASSERT_EQ(ProfileSpace(icc), psCMYK);
    const uint8_t ink[3][4] = {{0, 0, 0, 0}, {200, 30, 90, 10}, {20, 180, 40, 120}};
    auto psd = [&](const std::string& profile) {
        std::vector<uint8_t> resources;
        if (!profile.empty()) PutResource(resources, 1039, profile);
        std::vector<uint8_t> f = {'8', 'B', 'P', 'S'};
        Put(f, 1, 2);
        f.insert(f.end(), 6, 0);
        Put(f, 4, 2); // channels
        Put(f, 1, 4); // height
        Put(f, 3, 4); // width
        Put(f, 8, 2);
        Put(f, 4, 2); // CMYK
        Put(f, 0, 4);
        Put(f, static_cast<uint32_t>(resources.size()), 4);
        f.insert(f.end(), resources.begin(), resources.end());
        Put(f, 0, 4);
        Put(f, 0, 2);
        for (int k = 0; k < 4; ++k)
            for (int x = 0; x < 3; ++x)
                f.push_back(static_cast<uint8_t>(255 - ink[x][k])); // stored inverted
        return f;
    };
    // Little CMS's own conversion of the ink, perceptual with black-point
    // compensation (the profile has a perceptual table).
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_CMYK_8, to, TYPE_BGR_8, INTENT_PERCEPTUAL,
                                         cmsFLAGS_BLACKPOINTCOMPENSATION);
    uint8_t expected[9];
    cmsDoTransform(t, ink, expected, 3);
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);

    const std::vector<uint8_t> withProfile = psd(icc), without = psd("");
    TPSDGraphic g, plain;
    g.ReadFromMemory(withProfile.data(), 0, withProfile.size());
    plain.ReadFromMemory(without.data(), 0, without.size());
    ASSERT_EQ(g.BitsPerPixel(), 24);
    int differsFromFormula = 0;
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(g.ScanLine(0)[i], expected[i], 1) << i;
        differsFromFormula =
            std::max(differsFromFormula, std::abs(g.ScanLine(0)[i] - plain.ScanLine(0)[i]));
    }
    EXPECT_GT(differsFromFormula, 10);
}

namespace {
// Little CMS's own conversion of ink (255 = full) to sRGB, blue first.
std::vector<uint8_t> ReferenceInk(const std::string& icc, const std::vector<uint8_t>& ink) {
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_CMYK_8, to, TYPE_BGR_8, INTENT_PERCEPTUAL,
                                         cmsFLAGS_BLACKPOINTCOMPENSATION);
    std::vector<uint8_t> out(ink.size() / 4 * 3);
    cmsDoTransform(t, ink.data(), out.data(), static_cast<cmsUInt32Number>(ink.size() / 4));
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    return out;
}

// A CMYK TIFF of the ink (width x height x 4, pixel-interleaved) laid out as asked.
std::vector<uint8_t> InkTIFF(const TTempFolder& dir, int width, int height,
                             const std::vector<uint8_t>& ink, const std::string& icc, bool planar,
                             bool tiled) {
    const std::string path = dir.File("ink.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
    TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (!icc.empty())
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(icc.size()), icc.data());
    const int planes = planar ? 4 : 1, perPixel = planar ? 1 : 4;
    // The sample of plane k (or of all four) at (x, y).
    auto sample = [&](int k, int x, int y, int i) {
        return ink[(static_cast<size_t>(y) * width + x) * 4 + (planar ? k : i)];
    };
    if (tiled) {
        const int tw = 16, th = 16; // narrower and shorter than the picture: edge tiles are cut
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, tw);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, th);
        std::vector<uint8_t> tile(static_cast<size_t>(tw) * th * perPixel);
        for (int k = 0; k < planes; ++k)
            for (int ty = 0; ty < height; ty += th)
                for (int tx = 0; tx < width; tx += tw) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int y = ty; y < std::min(height, ty + th); ++y)
                        for (int x = tx; x < std::min(width, tx + tw); ++x)
                            for (int i = 0; i < perPixel; ++i)
                                tile[((y - ty) * tw + (x - tx)) * perPixel + i] =
                                    sample(k, x, y, i);
                    TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(k));
                }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 3); // several strips, the last one short
        std::vector<uint8_t> row(static_cast<size_t>(width) * perPixel);
        for (int k = 0; k < planes; ++k)
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x)
                    for (int i = 0; i < perPixel; ++i)
                        row[static_cast<size_t>(x) * perPixel + i] = sample(k, x, y, i);
                TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y),
                                  static_cast<uint16_t>(k));
            }
    }
    TIFFClose(tif);
    return ReadFileBytes(path);
}
} // namespace

TEST(TTIFFGraphic, CMYKWithAProfileConvertsThroughItInEveryLayout) {
    const std::string icc = CMYKProfile();
    const int width = 37, height = 20;
    std::vector<uint8_t> ink(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < ink.size(); ++i)
        ink[i] = static_cast<uint8_t>((i * 89 + i / 7 * 13) & 0xFF);
    const std::vector<uint8_t> expected = ReferenceInk(icc, ink);
    TTempFolder dir;
    for (bool planar : {false, true})
        for (bool tiled : {false, true}) {
            SCOPED_TRACE(std::string(planar ? "planar" : "contiguous") +
                         (tiled ? " tiles" : " strips"));
            const std::vector<uint8_t> f = InkTIFF(dir, width, height, ink, icc, planar, tiled);
            TTIFFGraphic g;
            g.ReadFromMemory(f.data(), 0, f.size());
            ASSERT_EQ(g.Width(), width);
            ASSERT_EQ(g.Height(), height);
            ASSERT_EQ(g.BitsPerPixel(), 32);
            int worst = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    for (int c = 0; c < 3; ++c)
                        worst = std::max(worst, std::abs(g.ScanLine(y)[4 * x + c] -
                                                         expected[(y * width + x) * 3 + c]));
            EXPECT_LE(worst, 1);
            EXPECT_EQ(g.ScanLine(height - 1)[4 * (width - 1) + 3], 255);
        }
}

TEST(TTIFFGraphic, CMYKWithoutAUsableProfileKeepsTheFormula) {
    const int width = 5, height = 4;
    std::vector<uint8_t> ink(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < ink.size(); ++i)
        ink[i] = static_cast<uint8_t>(i * 53);
    TTempFolder dir;
    const std::vector<uint8_t> plain = InkTIFF(dir, width, height, ink, "", false, false);
    TTIFFGraphic reference;
    reference.ReadFromMemory(plain.data(), 0, plain.size());
    // An RGB profile cannot describe ink, and a damaged one describes nothing.
    for (const std::string& icc : {SRGBProfile(), CMYKProfile().substr(0, 300)}) {
        const std::vector<uint8_t> f = InkTIFF(dir, width, height, ink, icc, false, false);
        TTIFFGraphic g;
        g.ReadFromMemory(f.data(), 0, f.size());
        ASSERT_EQ(g.BitsPerPixel(), 32);
        for (int y = 0; y < height; ++y)
            EXPECT_EQ(0, std::memcmp(g.ScanLine(y), reference.ScanLine(y), width * 4)) << y;
    }
}

TEST(FuzzRegressions, MetadataPathSurvivesEveryKeptInput) {
    const std::vector<std::string> inputs = KeptFuzzInputs("metadata");
    ASSERT_FALSE(inputs.empty());
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> data = ReadFileBytes(path);
        ASSERT_FALSE(data.empty());
        // Every path, whatever the first byte chose under the fuzzer.
        const std::string block(data.begin() + 1, data.end());
        for (TMetadataMode mode :
             {TMetadataMode::Keep, TMetadataMode::Strip, TMetadataMode::NoLocation}) {
            TMetadataEdit edit;
            edit.Mode = mode;
            edit.Upright = true;
            edit.Width = 640;
            edit.Height = 70000;
            TImageMetadata m;
            m.Exif = EditExif(block, edit);
            m.Xmp = EditXmp(block, edit);
            m.Exif += ExifFromTIFF(data.data() + 1, data.size() - 1);
            TJPEGMetadataCollector collector;
            collector.Add(JPEGMarkerAPP2, data.data() + 1, data.size() - 1);
            collector.Finish(m);
            JPEGMetadataSegments(EditMetadata(m, edit));
        }
        for (TProfilePixels input : {ppBGR, ppBGRX, ppGrayInBGR, ppCMYK, ppInvertedCMYK})
            if (auto t = TProfileTransform::ToSRGB(block, input, ppBGRX)) {
                uint8_t pixels[16 * 4] = {1, 2, 3, 4}, out[16 * 4];
                t->Convert(pixels, out, 16);
            }
    }
}
