// SPDX-License-Identifier: GPL-3.0-or-later
// Metadata through whole conversions: EXIF, XMP, ICC profile and comment
// carried to JPEG and PNG, the metadata choices, and colour management for
// destinations that cannot carry a profile. Destinations are read back with
// the test's own segment and chunk walkers, libjpeg and Exiv2, and the
// expected colours come from Little CMS itself.
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "jpeg/JPEGImage.h"

#include "png/PNGImage.h"
#include "toolkit/Canvas.h"
#include "toolkit/Picture.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <jpeglib.h>
#include <lcms2.h>
#include <zlib.h>

namespace {

// ---- blocks the sources carry

std::string SaveProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// Adobe RGB (1998): its primaries, D65 white and a 563/256 gamma.
std::string AdobeRGBProfile() {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    return SaveProfile(p);
}

// A CMYK printer profile with a perceptual table: ink removes its complement
// from white, black darkens everything (a plain ink model, in Lab).
cmsInt32Number SampleInk(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    auto linear = [](double v) { return std::pow(v, 2.2); };
    const double r = linear((1 - c) * (1 - k)), g = linear((1 - m) * (1 - k)),
                 b = linear((1 - y) * (1 - 0.9 * k));
    cmsCIEXYZ xyz{0.4360 * r + 0.3851 * g + 0.1431 * b, 0.2225 * r + 0.7169 * g + 0.0606 * b,
                  0.0139 * r + 0.0971 * g + 0.7142 * b};
    cmsCIELab lab;
    cmsXYZ2Lab(cmsD50_XYZ(), &lab, &xyz);
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
}

std::string CMYKProfile() {
    cmsHPROFILE p = cmsCreateProfilePlaceholder(nullptr);
    // Version 2: its 16-bit table type takes a bare colour table.
    cmsSetProfileVersion(p, 2.1);
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
    return SaveProfile(p);
}

Exiv2::ExifData ParseExif(const std::string& block) {
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block.data()),
                              static_cast<uint32_t>(block.size()));
    return exif;
}

std::string ExifValue(const Exiv2::ExifData& exif, const char* key) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? std::string("(absent)") : it->toString();
}

// A camera's EXIF: who, when, what, where, and a thumbnail.
std::string CameraExif(int width, int height) {
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Trevasco Optics";
    exif["Exif.Image.Model"] = "TX-7";
    exif["Exif.Image.Copyright"] = "(c) 2026 A. Photographer";
    exif["Exif.Image.Orientation"] = uint16_t(1);
    exif["Exif.Photo.DateTimeOriginal"] = "2026:05:06 07:08:09";
    exif["Exif.Photo.PixelXDimension"] = uint32_t(width);
    exif["Exif.Photo.PixelYDimension"] = uint32_t(height);
    exif["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = "48/1 51/1 24/1";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "E";
    exif["Exif.GPSInfo.GPSLongitude"] = "2/1 21/1 3/1";
    TJPEGImage thumb;
    thumb.TakeBitmap(std::make_unique<TBitmap>(MakeTestPicture(16, 12)));
    thumb.Compress();
    Exiv2::ExifThumb(exif).setJpegThumbnail(thumb.Data().data(),
                                            static_cast<long>(thumb.Data().size()));
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return std::string(blob.begin(), blob.end());
}

std::string CameraXmp() {
    Exiv2::XmpData xmp;
    xmp["Xmp.dc.creator"] = "A. Photographer";
    xmp["Xmp.xmp.Rating"] = "4";
    xmp["Xmp.photoshop.City"] = "Paris";
    xmp["Xmp.photoshop.Country"] = "France";
    xmp["Xmp.exif.GPSLatitude"] = "48,51.4N";
    std::string packet;
    Exiv2::XmpParser::encode(packet, xmp);
    return packet;
}

bool HasXmp(const std::string& packet, const char* key) {
    Exiv2::XmpData xmp;
    if (Exiv2::XmpParser::decode(xmp, packet) != 0) return false;
    return xmp.findKey(Exiv2::XmpKey(key)) != xmp.end();
}

// ---- reading destinations back, independently of the codecs

struct TBlocks {
    std::string Exif, Xmp, Icc, Comment;
    int Count = 0; // metadata segments or chunks of any kind
};

uint32_t BE(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

TBlocks JPEGBlocks(const std::vector<uint8_t>& f) {
    TBlocks b;
    std::vector<std::string> icc(256);
    size_t i = 2;
    while (i + 4 <= f.size() && f[i] == 0xFF) {
        const int marker = f[i + 1];
        if (marker == 0xDA) break;
        const size_t length = BE(&f[i + 2], 2);
        std::string payload(reinterpret_cast<const char*>(&f[i + 4]), length - 2);
        if (marker == 0xE1 && payload.compare(0, 6, std::string("Exif\0\0", 6)) == 0) {
            b.Exif = payload.substr(6);
            ++b.Count;
        } else if (marker == 0xE1 &&
                   payload.compare(0, 29, "http://ns.adobe.com/xap/1.0/\0", 29) == 0) {
            b.Xmp = payload.substr(29);
            ++b.Count;
        } else if (marker == 0xE2 && payload.compare(0, 12, "ICC_PROFILE\0", 12) == 0) {
            icc[static_cast<uint8_t>(payload[12])] = payload.substr(14);
            ++b.Count;
        } else if (marker == 0xFE) {
            b.Comment = payload;
            ++b.Count;
        }
        i += 2 + length;
    }
    for (const std::string& chunk : icc)
        b.Icc += chunk;
    return b;
}

std::string Inflate(const std::string& z) {
    std::string out(64 << 20, '\0');
    uLongf size = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                   reinterpret_cast<const Bytef*>(z.data()), z.size()) != Z_OK)
        return "(damaged)";
    out.resize(size);
    return out;
}

// Metadata chunks of a PNG file, and where the first IDAT is.
TBlocks PNGBlocks(const std::vector<uint8_t>& f, bool* beforeData = nullptr) {
    TBlocks b;
    bool dataSeen = false, metadataAfterData = false;
    for (size_t i = 8; i + 12 <= f.size();) {
        const size_t length = BE(&f[i], 4);
        const std::string type(reinterpret_cast<const char*>(&f[i + 4]), 4);
        const std::string data(reinterpret_cast<const char*>(&f[i + 8]), length);
        bool meta = true;
        if (type == "eXIf") {
            b.Exif = data;
        } else if (type == "iCCP") {
            const size_t name = data.find('\0');
            b.Icc = Inflate(data.substr(name + 2));
        } else if (type == "iTXt" && data.compare(0, 18, "XML:com.adobe.xmp\0", 18) == 0) {
            b.Xmp = data.substr(22);
        } else if (type == "tEXt" && data.compare(0, 8, std::string("Comment\0", 8)) == 0) {
            b.Comment = data.substr(8); // Latin-1
        } else if (type == "iTXt" && data.compare(0, 8, std::string("Comment\0", 8)) == 0) {
            b.Comment = data.substr(12); // uncompressed, no language: UTF-8
        } else {
            meta = false;
        }
        if (meta) {
            ++b.Count;
            metadataAfterData |= dataSeen;
        }
        dataSeen |= type == "IDAT";
        i += 12 + length;
    }
    if (beforeData) *beforeData = !metadataAfterData;
    return b;
}

// The pixels of any picture file as 24-bit blue-green-red rows.
TBitmap LoadPixels(const std::string& path) {
    TPicture picture;
    picture.LoadFromFile(path);
    TGraphic& g = *picture.Graphic();
    TBitmap b(g.Width(), g.Height(), pf24bit);
    b.Canvas().StretchDraw(Rect(0, 0, g.Width(), g.Height()), g);
    return b;
}

// Over b's area; a may be larger (a metafile's frame is the whole reference device).
int LargestDifference(const TBitmap& a, const TBitmap& b, bool sameSize = true) {
    if (sameSize) {
        EXPECT_EQ(a.Width(), b.Width());
        EXPECT_EQ(a.Height(), b.Height());
    }
    if (a.Width() < b.Width() || a.Height() < b.Height()) return 256;
    int worst = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width() * 3; ++x)
            worst = std::max(worst, std::abs(a.ScanLine(y)[x] - b.ScanLine(y)[x]));
    return worst;
}

// Little CMS's own conversion of a 24-bit picture from a profile to sRGB.
TBitmap LittleCMSToSRGB(const TBitmap& picture, const std::string& icc, cmsUInt32Number format,
                        cmsUInt32Number intent, cmsUInt32Number flags) {
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(from, format, to, TYPE_BGR_8, intent, flags);
    TBitmap out(picture.Width(), picture.Height(), pf24bit);
    for (int y = 0; y < picture.Height(); ++y)
        cmsDoTransform(t, picture.ScanLine(y), out.ScanLine(y),
                       static_cast<unsigned>(picture.Width()));
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    return out;
}

// 64 colours in 8 x 8 blocks: few enough for a GIF palette to hold all of them.
TBitmap BlockPicture() {
    TBitmap b(64, 64, pf24bit);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const int i = (y / 8) * 8 + x / 8;
            uint8_t* p = b.ScanLine(y) + x * 3;
            p[0] = static_cast<uint8_t>((i % 4) * 80);
            p[1] = static_cast<uint8_t>(((i / 4) % 4) * 80 + 10);
            p[2] = static_cast<uint8_t>((i / 16) * 75 + 20);
        }
    return b;
}

class MetadataConversionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    static void TearDownTestSuite() { UnregisterImageFormats(); }
    void SetUp() override { FConverter.BeforeRun(); }
    void TearDown() override { FConverter.AfterRun(); }

    // A camera JPEG: EXIF, XMP, an Adobe RGB profile and a comment.
    std::string CameraJPEG(int width = 96, int height = 64) {
        TJPEGImage jpeg;
        jpeg.TakeBitmap(std::make_unique<TBitmap>(MakeTestPicture(width, height)));
        jpeg.Metadata().Exif = FExif = CameraExif(width, height);
        jpeg.Metadata().Xmp = FXmp = CameraXmp();
        jpeg.Metadata().Icc = FIcc = AdobeRGBProfile();
        jpeg.Metadata().Comment = "taken on a sunny day";
        const std::string path = FFolder.File("camera.jpg");
        jpeg.SaveToFile(path);
        return path;
    }

    std::string Convert(const std::string& src, int destination, TMetadataMode mode,
                        int pixelFormat = 0, const char* name = "out") {
        TConvertOptions o;
        o.Destination = DestinationFromIndex(destination);
        o.PixelFormat = PixelFormatFromIndex(pixelFormat);
        o.Metadata = mode;
        const std::string dst = FFolder.File(name + DestinationExtension(destination));
        FConverter.ConvertFile(src, dst, o);
        return dst;
    }

    void ExpectCameraTags(const std::string& exifBlock) {
        const Exiv2::ExifData exif = ParseExif(exifBlock);
        EXPECT_EQ(ExifValue(exif, "Exif.Image.Make"), "Trevasco Optics");
        EXPECT_EQ(ExifValue(exif, "Exif.Image.Model"), "TX-7");
        EXPECT_EQ(ExifValue(exif, "Exif.Image.Copyright"), "(c) 2026 A. Photographer");
        EXPECT_EQ(ExifValue(exif, "Exif.Photo.DateTimeOriginal"), "2026:05:06 07:08:09");
    }

    TTempFolder FFolder;
    TImageConverter FConverter;
    std::string FExif, FXmp, FIcc;
};

TEST_F(MetadataConversionTest, JPEGToJPEGKeepsEXIFTagsXMPProfileAndComment) {
    const TBlocks b = JPEGBlocks(ReadFileBytes(Convert(CameraJPEG(), dfJPEG, TMetadataMode::Keep)));
    ExpectCameraTags(b.Exif);
    EXPECT_EQ(ExifValue(ParseExif(b.Exif), "Exif.GPSInfo.GPSLatitude"), "48/1 51/1 24/1");
    EXPECT_EQ(b.Xmp, FXmp);
    EXPECT_EQ(b.Icc, FIcc);
    EXPECT_EQ(b.Comment, "taken on a sunny day");
}

TEST_F(MetadataConversionTest, JPEGToPNGKeepsEXIFTagsXMPAndProfileBeforeTheImageData) {
    const std::string src = CameraJPEG();
    const std::vector<uint8_t> png = ReadFileBytes(Convert(src, dfPNG, TMetadataMode::Keep));
    bool beforeData = false;
    const TBlocks b = PNGBlocks(png, &beforeData);
    ExpectCameraTags(b.Exif);
    EXPECT_EQ(b.Xmp, FXmp);
    EXPECT_EQ(b.Icc, FIcc);
    EXPECT_EQ(b.Comment, "taken on a sunny day");
    EXPECT_TRUE(beforeData);
    // The profile goes along, so the pixels stay as the JPEG decodes them.
    EXPECT_EQ(LargestDifference(LoadPixels(src), LoadPixels(FFolder.File("out.png"))), 0);
}

TEST_F(MetadataConversionTest, StripWritesNoMetadata) {
    const std::string src = CameraJPEG();
    EXPECT_EQ(JPEGBlocks(ReadFileBytes(Convert(src, dfJPEG, TMetadataMode::Strip))).Count, 0);
    EXPECT_EQ(PNGBlocks(ReadFileBytes(Convert(src, dfPNG, TMetadataMode::Strip))).Count, 0);
}

TEST_F(MetadataConversionTest, CommentsTravelBetweenJPEGAndPNGInTheirOwnEncodings) {
    // UTF-8 that Latin-1 holds goes into tEXt as Latin-1, and comes back as UTF-8.
    const std::string src = FFolder.File("comment.jpg");
    auto save = [&](const std::string& comment) {
        TJPEGImage jpeg;
        jpeg.TakeBitmap(std::make_unique<TBitmap>(MakeTestPicture(8, 8)));
        jpeg.Metadata().Comment = comment;
        jpeg.SaveToFile(src);
    };
    save("Caf\xC3\xA9 au lait");
    const std::string png = Convert(src, dfPNG, TMetadataMode::Keep, 0, "latin");
    EXPECT_EQ(PNGBlocks(ReadFileBytes(png)).Comment, "Caf\xE9 au lait");
    EXPECT_EQ(
        JPEGBlocks(ReadFileBytes(Convert(png, dfJPEG, TMetadataMode::Keep, 0, "back"))).Comment,
        "Caf\xC3\xA9 au lait");
    // Beyond Latin-1: iTXt in UTF-8.
    save("\xE5\xB1\xB1 (mountain)");
    EXPECT_EQ(PNGBlocks(ReadFileBytes(Convert(src, dfPNG, TMetadataMode::Keep, 0, "wide"))).Comment,
              "\xE5\xB1\xB1 (mountain)");
    // Locations are not in a comment's text: it stays; stripping takes it.
    EXPECT_EQ(PNGBlocks(ReadFileBytes(Convert(src, dfPNG, TMetadataMode::NoLocation))).Comment,
              "\xE5\xB1\xB1 (mountain)");
    EXPECT_EQ(PNGBlocks(ReadFileBytes(Convert(src, dfPNG, TMetadataMode::Strip))).Comment, "");
}

TEST_F(MetadataConversionTest, NoLocationKeepsEverythingButWhereThePictureWasTaken) {
    const std::string src = CameraJPEG();
    for (int destination : {dfJPEG, dfPNG}) {
        const std::vector<uint8_t> f =
            ReadFileBytes(Convert(src, destination, TMetadataMode::NoLocation));
        const TBlocks b = destination == dfJPEG ? JPEGBlocks(f) : PNGBlocks(f);
        ExpectCameraTags(b.Exif);
        const Exiv2::ExifData exif = ParseExif(b.Exif);
        for (const auto& datum : exif)
            EXPECT_NE(datum.groupName(), "GPSInfo") << datum.key();
        EXPECT_EQ(ExifValue(exif, "Exif.Image.GPSTag"), "(absent)");
        EXPECT_TRUE(HasXmp(b.Xmp, "Xmp.dc.creator"));
        EXPECT_TRUE(HasXmp(b.Xmp, "Xmp.xmp.Rating"));
        EXPECT_FALSE(HasXmp(b.Xmp, "Xmp.photoshop.City"));
        EXPECT_FALSE(HasXmp(b.Xmp, "Xmp.photoshop.Country"));
        EXPECT_FALSE(HasXmp(b.Xmp, "Xmp.exif.GPSLatitude"));
        EXPECT_EQ(b.Icc, FIcc);
    }
}

TEST_F(MetadataConversionTest, ThumbnailIsDroppedAndPixelDimensionsFollowTheWrittenSize) {
    const std::string src = CameraJPEG(96, 64);
    ASSERT_NE(ExifValue(ParseExif(FExif), "Exif.Thumbnail.JPEGInterchangeFormat"), "(absent)");
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfJPEG);
    o.Resize = true;
    o.Width = SideFromText("48");
    o.Height = SideFromText("32");
    FConverter.ConvertFile(src, FFolder.File("small.jpg"), o);
    const Exiv2::ExifData exif =
        ParseExif(JPEGBlocks(ReadFileBytes(FFolder.File("small.jpg"))).Exif);
    EXPECT_EQ(ExifValue(exif, "Exif.Photo.PixelXDimension"), "48");
    EXPECT_EQ(ExifValue(exif, "Exif.Photo.PixelYDimension"), "32");
    for (const auto& datum : exif)
        EXPECT_NE(datum.groupName(), "Thumbnail") << datum.key();
    EXPECT_EQ(ExifValue(exif, "Exif.Image.Make"), "Trevasco Optics");
}

TEST_F(MetadataConversionTest, AdobeRGBPictureIsConvertedToSRGBWhereTheProfileIsNotCarried) {
    const TBitmap picture = BlockPicture();
    TPNGImage png;
    png.Assign(picture);
    png.Metadata().Icc = AdobeRGBProfile();
    const std::string src = FFolder.File("adobe.png");
    png.SaveToFile(src);
    // A matrix-shaper profile has no perceptual table: relative colorimetric.
    const TBitmap expected =
        LittleCMSToSRGB(picture, png.Metadata().Icc, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    ASSERT_GT(LargestDifference(picture, expected), 20) << "the profile must change colours";

    EXPECT_LE(LargestDifference(LoadPixels(Convert(src, dfGIF, TMetadataMode::Keep)), expected), 2);
    EXPECT_LE(LargestDifference(LoadPixels(Convert(src, dfBitmap, TMetadataMode::Keep, pf24bit)),
                                expected),
              2);
    EXPECT_LE(
        LargestDifference(LoadPixels(Convert(src, dfBitmap, TMetadataMode::Keep, pf32bit, "out32")),
                          expected),
        2);
    const std::string stripped = Convert(src, dfPNG, TMetadataMode::Strip);
    EXPECT_LE(LargestDifference(LoadPixels(stripped), expected), 2);
    EXPECT_TRUE(PNGBlocks(ReadFileBytes(stripped)).Icc.empty());
    // Kept, the profile goes along and the pixels stay as they are.
    const std::string kept = Convert(src, dfPNG, TMetadataMode::Keep, 0, "kept");
    EXPECT_EQ(LargestDifference(LoadPixels(kept), picture), 0);
    EXPECT_EQ(PNGBlocks(ReadFileBytes(kept)).Icc, png.Metadata().Icc);
}

TEST_F(MetadataConversionTest, MetafileAndSixteenBitDestinationsAreConvertedToSRGBToo) {
    const TBitmap picture = BlockPicture();
    TPNGImage png;
    png.Assign(picture);
    png.Metadata().Icc = AdobeRGBProfile();
    const std::string src = FFolder.File("adobe.png");
    png.SaveToFile(src);
    const TBitmap expected =
        LittleCMSToSRGB(picture, png.Metadata().Icc, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    EXPECT_LE(
        LargestDifference(LoadPixels(Convert(src, dfEMF, TMetadataMode::Keep)), expected, false),
        2);
    // 16-bit pixels keep 5 or 6 bits a channel: within what they can hold.
    EXPECT_LE(LargestDifference(LoadPixels(Convert(src, dfBitmap, TMetadataMode::Keep, pf16bit)),
                                expected),
              10);
}

TEST_F(MetadataConversionTest, BrokenProfileLeavesThePixelsAsTheyAre) {
    const TBitmap picture = BlockPicture();
    TPNGImage png;
    png.Assign(picture);
    std::string icc = AdobeRGBProfile();
    icc.resize(icc.size() / 2); // tags cut off
    png.Metadata().Icc = icc;
    const std::string src = FFolder.File("broken.png");
    png.SaveToFile(src);
    EXPECT_EQ(LargestDifference(LoadPixels(Convert(src, dfBitmap, TMetadataMode::Keep, pf24bit)),
                                picture),
              0);
}

// ---- CMYK through its profile

struct TJPEGError {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};
extern "C" void TestJPEGErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TJPEGError*>(cinfo->err)->Jump, 1);
}

// A CMYK JPEG as Photoshop writes it: inverted ink, an Adobe marker, and the
// profile in APP2 chunks written by libjpeg's own routine.
std::vector<uint8_t> WriteCMYKJPEG(const std::vector<uint8_t>& ink, int width, int height,
                                   const std::string& icc) {
    jpeg_compress_struct c{};
    TJPEGError err;
    c.err = jpeg_std_error(&err.Pub);
    err.Pub.error_exit = TestJPEGErrorExit;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(err.Jump)) {
        jpeg_destroy_compress(&c);
        std::free(buffer);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    c.write_Adobe_marker = TRUE;
    jpeg_start_compress(&c, TRUE);
    if (!icc.empty())
        jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET*>(icc.data()),
                               static_cast<unsigned>(icc.size()));
    std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
    while (c.next_scanline < c.image_height) {
        std::copy_n(ink.begin() + static_cast<long>(c.next_scanline * row.size()), row.size(),
                    row.begin());
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

TEST_F(MetadataConversionTest, CMYKJPEGWithProfileEqualsLittleCMSConversion) {
    const int w = 40, h = 24;
    std::vector<uint8_t> ink(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &ink[(static_cast<size_t>(y) * w + x) * 4];
            p[0] = static_cast<uint8_t>(255 - x * 6);
            p[1] = static_cast<uint8_t>(255 - y * 10);
            p[2] = static_cast<uint8_t>(255 - (x + y) * 4);
            p[3] = static_cast<uint8_t>(x < 20 ? 255 : 180);
        }
    const std::string icc = CMYKProfile();
    const std::vector<uint8_t> file = WriteCMYKJPEG(ink, w, h, icc);
    ASSERT_FALSE(file.empty());
    WriteFileBytes(FFolder.File("cmyk.jpg"), file);

    // What libjpeg decodes, through the profile by Little CMS: inverted ink
    // because of the Adobe marker, perceptual with black-point compensation
    // because the profile has a perceptual table.
    const TReferenceJPEG ref = DecodeWithLibjpeg(file);
    ASSERT_TRUE(ref.Ok);
    ASSERT_EQ(ref.OutputComponents, 4);
    ASSERT_TRUE(ref.AdobeMarker);
    TBitmap samples(w, h, pf32bit);
    for (int y = 0; y < h; ++y)
        std::copy_n(&ref.Pixels[static_cast<size_t>(y) * w * 4], w * 4, samples.ScanLine(y));
    const TBitmap expected = LittleCMSToSRGB(samples, icc, TYPE_CMYK_8_REV, INTENT_PERCEPTUAL,
                                             cmsFLAGS_BLACKPOINTCOMPENSATION);

    const TBitmap converted =
        LoadPixels(Convert(FFolder.File("cmyk.jpg"), dfBitmap, TMetadataMode::Keep, pf24bit));
    EXPECT_LE(LargestDifference(converted, expected), 1);
    // A CMYK profile does not describe the RGB pixels written: not carried.
    EXPECT_TRUE(
        JPEGBlocks(ReadFileBytes(Convert(FFolder.File("cmyk.jpg"), dfJPEG, TMetadataMode::Keep)))
            .Icc.empty());
}

TEST_F(MetadataConversionTest, CMYKJPEGWithoutProfileKeepsTheFormula) {
    const int w = 8, h = 8;
    std::vector<uint8_t> ink(static_cast<size_t>(w) * h * 4, 200);
    WriteFileBytes(FFolder.File("plain.jpg"), WriteCMYKJPEG(ink, w, h, std::string()));
    WriteFileBytes(FFolder.File("broken.jpg"), WriteCMYKJPEG(ink, w, h, "not a profile at all"));
    // A profile that cannot be used changes nothing.
    EXPECT_EQ(LargestDifference(LoadPixels(Convert(FFolder.File("plain.jpg"), dfBitmap,
                                                   TMetadataMode::Keep, pf24bit, "plain")),
                                LoadPixels(Convert(FFolder.File("broken.jpg"), dfBitmap,
                                                   TMetadataMode::Keep, pf24bit, "broken"))),
              0);
}

TEST_F(MetadataConversionTest, CameraFilesOfTheCorpusKeepTheirProfileAndTags) {
    REQUIRE_CORPUS("jpeg/pillow/pil_sample_rgb.jpg");
    const std::string src = CorpusPath("jpeg/pillow/pil_sample_rgb.jpg");
    const TBlocks source = JPEGBlocks(ReadFileBytes(src));
    ASSERT_FALSE(source.Icc.empty());
    const TBlocks out = PNGBlocks(ReadFileBytes(Convert(src, dfPNG, TMetadataMode::Keep)));
    EXPECT_EQ(out.Icc, source.Icc);
    EXPECT_EQ(out.Xmp.empty(), source.Xmp.empty());
    const Exiv2::ExifData before = ParseExif(source.Exif), after = ParseExif(out.Exif);
    EXPECT_EQ(ExifValue(after, "Exif.Image.Make"), ExifValue(before, "Exif.Image.Make"));
    EXPECT_EQ(ExifValue(after, "Exif.Image.Model"), ExifValue(before, "Exif.Image.Model"));
    EXPECT_EQ(ExifValue(after, "Exif.Photo.DateTimeOriginal"),
              ExifValue(before, "Exif.Photo.DateTimeOriginal"));
}

TEST_F(MetadataConversionTest, CorpusGPSPhotoLosesItsLocationOnly) {
    REQUIRE_CORPUS("jpeg/pillow/exif_gps.jpg");
    const std::string src = CorpusPath("jpeg/pillow/exif_gps.jpg");
    const Exiv2::ExifData before = ParseExif(JPEGBlocks(ReadFileBytes(src)).Exif);
    bool hadGPS = false;
    for (const auto& d : before)
        hadGPS |= d.groupName() == "GPSInfo";
    ASSERT_TRUE(hadGPS);
    const Exiv2::ExifData after =
        ParseExif(JPEGBlocks(ReadFileBytes(Convert(src, dfJPEG, TMetadataMode::NoLocation))).Exif);
    for (const auto& d : after)
        EXPECT_NE(d.groupName(), "GPSInfo") << d.key();
    size_t kept = 0;
    for (const auto& d : before)
        if (d.groupName() != "GPSInfo" && d.groupName() != "Thumbnail" &&
            d.key() != "Exif.Image.GPSTag")
            kept += after.findKey(Exiv2::ExifKey(d.key())) != after.end();
    EXPECT_GT(kept, 0u);
}

} // namespace
