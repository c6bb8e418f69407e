// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/FileFormatList.h"
#include "base/Exceptions.h"
#include "formats/EPSGraphic.h"
#include "formats/PCXGraphic.h"
#include "formats/PSDGraphic.h"
#include "formats/TIFFGraphic.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Picture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {
// Stand-ins for the icon, metafile and JPEG classes, which live in other folders.
class TFakeGraphic : public TGraphic {
public:
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    void SetWidth(int) override {}
    void SetHeight(int) override {}
    void LoadFromStream(TStream&) override {}
    void SaveToStream(TStream&) override {}
    void Draw(TCanvas&, const TRect&) override {}
};
class TFakeIcon : public TFakeGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
};
class TFakeMetafile : public TFakeGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
};
class TFakeJPEG : public TFakeGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
};
class TFakeGIFImage : public TBitmap {
    TREVASCO_DECLARE_GRAPHIC_CLASS
};
TREVASCO_GRAPHIC_CLASS(TFakeIcon, TGraphic)
TREVASCO_GRAPHIC_CLASS(TFakeMetafile, TGraphic)
TREVASCO_GRAPHIC_CLASS(TFakeJPEG, TGraphic)
TREVASCO_GRAPHIC_CLASS(TFakeGIFImage, TBitmap)

void ClearPictureTable() {
    for (const TPictureFormat& f : TPicture::Formats())
        TPicture::UnregisterGraphicClass(f.GraphicClass);
}

class FormatRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearPictureTable();
        // What the toolkit and the JPEG support register before the registry exists.
        TPicture::RegisterFileFormat("jpg", "JPEG Image File", TFakeJPEG::StaticClass());
        TPicture::RegisterFileFormat("jpeg", "JPEG Image File", TFakeJPEG::StaticClass());
        TPicture::RegisterFileFormat("bmp", "Bitmaps", TBitmap::StaticClass());
        TPicture::RegisterFileFormat("ico", "Icons", TFakeIcon::StaticClass());
        TPicture::RegisterFileFormat("wmf", "Metafiles", TFakeMetafile::StaticClass());
        TPicture::RegisterFileFormat("emf", "Enhanced Metafiles", TFakeMetafile::StaticClass());
        CreateFormatRegistry({TBitmap::StaticClass(), TFakeIcon::StaticClass(),
                              TFakeMetafile::StaticClass(), TFakeJPEG::StaticClass()});
    }
    void TearDown() override {
        DestroyFormatRegistry();
        ClearPictureTable();
    }
};
} // namespace

TEST_F(FormatRegistryTest, ListsTheTwentyOneExtensionsInRegistrationOrder) {
    std::vector<std::string> list{"stale"};
    FormatRegistry->ListExtensions(list);
    const std::vector<std::string> expected{"bmp",  "ico", "wmf", "emf", "jfif", "jpg",  "jpe",
                                            "jpeg", "msk", "rle", "dib", "tif",  "tiff", "eps",
                                            "pcx",  "pcc", "scr", "psd", "pdd",  "gif",  "png"};
    EXPECT_EQ(list, expected);
    EXPECT_EQ(FormatRegistry->ClassCount(), 10);
}

TEST_F(FormatRegistryTest, ClassForExtensionAcceptsBareDottedUpperCaseAndPaths) {
    TGraphicClass tiff = TTIFFGraphic::StaticClass();
    EXPECT_EQ(FormatRegistry->ClassForExtension("tif"), tiff);
    EXPECT_EQ(FormatRegistry->ClassForExtension(".tif"), tiff);
    EXPECT_EQ(FormatRegistry->ClassForExtension("TIF"), tiff);
    EXPECT_EQ(FormatRegistry->ClassForExtension("/home/user/scans/scan.tif"), tiff);
    EXPECT_EQ(FormatRegistry->ClassForExtension("archive.v2.PSD"), TPSDGraphic::StaticClass());
    EXPECT_EQ(FormatRegistry->ClassForExtension(""), nullptr);
    EXPECT_EQ(FormatRegistry->ClassForExtension("xyz"), nullptr);
    EXPECT_EQ(FormatRegistry->ClassForExtension("name."), nullptr);
    EXPECT_EQ(FormatRegistry->IndexOfExtension(""), -1);
}

TEST_F(FormatRegistryTest, DescriptionsComeFromTheClassEntry) {
    // The last JPEG row carried "JPEG images" only as its individual description.
    EXPECT_EQ(FormatRegistry->ClassDescription(TFakeJPEG::StaticClass()), "JPG images");
    EXPECT_EQ(FormatRegistry->ClassDescription(TGIFGraphic::StaticClass()), "CompuServe images");
    EXPECT_EQ(FormatRegistry->ClassDescription(TFakeMetafile::StaticClass()), "Windows metafiles");
    EXPECT_EQ(FormatRegistry->ClassDescription(TFakeGIFImage::StaticClass()), "");
    const TExtensionEntry& emf = FormatRegistry->Extension(FormatRegistry->IndexOfExtension("emf"));
    EXPECT_EQ(emf.Description, "Windows enhanced meta files");
    EXPECT_EQ(emf.FormatKinds, fkVector);
    const TExtensionEntry& gif = FormatRegistry->Extension(FormatRegistry->IndexOfExtension("gif"));
    EXPECT_EQ(gif.FormatKinds, fkRaster | fkMultiPage | fkAnimated);
    EXPECT_EQ(gif.ClassEntry->UseCount, 1);
    EXPECT_EQ(FormatRegistry->Class(FormatRegistry->IndexOfClass(TBitmap::StaticClass())).UseCount,
              4);
}

TEST_F(FormatRegistryTest, PictureContainerGetsTheRowsAndNewerCodecsWin) {
    // The toolkit's own entries were withdrawn: only registry rows remain.
    std::vector<TPictureFormat> formats = TPicture::Formats();
    ASSERT_EQ(formats.size(), 21u);
    EXPECT_EQ(formats[3].Extension, "emf");
    EXPECT_EQ(formats[3].Description, "Windows enhanced meta files");
    EXPECT_EQ(formats[8].Description, "Windows bitmaps");          // msk: the class description
    EXPECT_EQ(formats[15].Description, "ZSoft Paintbrush images"); // pcc
    EXPECT_EQ(formats[10].Description, "Device independant Windows bitmaps");
    EXPECT_EQ(TPicture::ClassForExtension("scan.tif" + 4), TTIFFGraphic::StaticClass());
    EXPECT_EQ(TPicture::ClassForExtension("gif"), TGIFGraphic::StaticClass());
    TPicture::RegisterFileFormat("GIF", "GIF Image", TFakeGIFImage::StaticClass());
    EXPECT_EQ(TPicture::ClassForExtension("gif"), TFakeGIFImage::StaticClass());
    EXPECT_EQ(FormatRegistry->ClassForExtension("gif"), TGIFGraphic::StaticClass());
}

TEST_F(FormatRegistryTest, RegisteringTwiceFailsAndLeavesTheRegistryUnchanged) {
    try {
        FormatRegistry->AddFormat("bmp", "Other", "", fkRaster, false, TPCXGraphic::StaticClass());
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Attempt to register bmp twice.");
    }
    EXPECT_THROW(FormatRegistry->AddFormat("BMP", "", "", fkRaster, false, TBitmap::StaticClass()),
                 EInvalidGraphic);
    EXPECT_EQ(FormatRegistry->ExtensionCount(), 21);
    EXPECT_EQ(FormatRegistry->ClassDescription(TBitmap::StaticClass()), "Windows bitmaps");
    EXPECT_EQ(TPicture::Formats().size(), 21u);
}

TEST_F(FormatRegistryTest, ReplaceMovesAnExtensionAndDropsAnUnusedClass) {
    FormatRegistry->AddFormat("png", "Replacement", "", fkRaster, true,
                              TFakeGIFImage::StaticClass());
    EXPECT_EQ(FormatRegistry->ClassForExtension("png"), TFakeGIFImage::StaticClass());
    EXPECT_EQ(FormatRegistry->IndexOfClass(TPNGGraphic::StaticClass()), -1);
    EXPECT_EQ(FormatRegistry->ClassDescription(TFakeGIFImage::StaticClass()), "Replacement");
    // Same class again: nothing changes in the registry.
    FormatRegistry->AddFormat("png", "", "", fkRaster, true, TFakeGIFImage::StaticClass());
    EXPECT_EQ(
        FormatRegistry->Class(FormatRegistry->IndexOfClass(TFakeGIFImage::StaticClass())).UseCount,
        1);
    FormatRegistry->AddFormat("", "x", "", fkRaster, false, TBitmap::StaticClass());
    EXPECT_EQ(FormatRegistry->ExtensionCount(), 21);
}

TEST_F(FormatRegistryTest, RemovingAClassSpreadThroughTheListRemovesAllOfIt) {
    FormatRegistry->RemoveFormat("", TBitmap::StaticClass());
    std::vector<std::string> list;
    FormatRegistry->ListExtensions(list);
    for (const char* gone : {"bmp", "msk", "rle", "dib"})
        EXPECT_EQ(std::count(list.begin(), list.end(), gone), 0) << gone;
    EXPECT_EQ(list.size(), 17u);
    EXPECT_EQ(FormatRegistry->IndexOfClass(TBitmap::StaticClass()), -1);
    // Withdrawing TBitmap from the container withdraws every reader derived from it.
    EXPECT_EQ(TPicture::ClassForExtension("bmp"), nullptr);
    EXPECT_EQ(TPicture::ClassForExtension("pcx"), nullptr);
    EXPECT_EQ(TPicture::ClassForExtension("ico"), TFakeIcon::StaticClass());
}

TEST_F(FormatRegistryTest, RemovingOneExtensionKeepsTheClassUntilItsLastUse) {
    FormatRegistry->RemoveFormat("tiff", nullptr);
    EXPECT_EQ(
        FormatRegistry->Class(FormatRegistry->IndexOfClass(TTIFFGraphic::StaticClass())).UseCount,
        1);
    FormatRegistry->RemoveFormat("nope", nullptr);
    FormatRegistry->RemoveFormat("tif", nullptr);
    EXPECT_EQ(FormatRegistry->IndexOfClass(TTIFFGraphic::StaticClass()), -1);
    EXPECT_EQ(FormatRegistry->ExtensionCount(), 19);
    // The TIFF class and its EPS descendant left the container together.
    EXPECT_EQ(TPicture::ClassForExtension("eps"), nullptr);
}

TEST_F(FormatRegistryTest, DestroyingTheRegistryEmptiesThePictureTable) {
    DestroyFormatRegistry();
    EXPECT_EQ(FormatRegistry, nullptr);
    EXPECT_TRUE(TPicture::Formats().empty());
}
