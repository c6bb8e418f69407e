// SPDX-License-Identifier: GPL-3.0-or-later
// PNG metadata chunks: what the reader takes from eXIf, iCCP and iTXt, what
// it refuses, and where the writer puts them.
#include "PNGTestSupport.h"
#include "TestSupport.h"
#include "png/PNGImage.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

using namespace pngtest;

namespace {

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TImageMetadata LoadMetadata(const Bytes& file) {
    TPNGImage png;
    TMemoryStream m;
    m.WriteBuffer(file.data(), file.size());
    m.SetPosition(0);
    png.LoadFromStream(m);
    return png.Metadata();
}

const Bytes OnePixel = {0, 10, 20, 30};

} // namespace

TEST(PNGMetadata, ReadsProfileExifAndCompressedOrPlainXmp) {
    const Bytes profile = Text(std::string(3000, 'p'));
    const Bytes exif = Text(std::string("MM\0*\0\0\0\x08", 8) + "rest");
    const Bytes iccp = Join({Text(std::string("Photo profile\0\0", 15)), Deflate(profile)});
    const Bytes xmp = Join(
        {Text(std::string("XML:com.adobe.xmp\0\1\0en\0\0", 24)), Deflate(Text("<x:xmpmeta/>"))});
    const TImageMetadata m = LoadMetadata(
        MakePNG(IHDR(1, 1, 8, 2), OnePixel, {{"iCCP", iccp}, {"eXIf", exif}, {"iTXt", xmp}}));
    EXPECT_EQ(m.Icc, std::string(profile.begin(), profile.end()));
    EXPECT_EQ(m.Exif, std::string(exif.begin(), exif.end()));
    EXPECT_EQ(m.Xmp, "<x:xmpmeta/>");
    // JPEG's "Exif\0\0" in front of the TIFF structure is taken off.
    const TImageMetadata prefixed = LoadMetadata(MakePNG(
        IHDR(1, 1, 8, 2), OnePixel, {{"eXIf", Join({Text(std::string("Exif\0\0", 6)), exif})}}));
    EXPECT_EQ(prefixed.Exif, std::string(exif.begin(), exif.end()));
}

TEST(PNGMetadata, OversizedOrDamagedBlocksAreSkippedAndThePictureLoads) {
    // 20 MB of zeros deflate to a few kilobytes: the profile is refused while inflating.
    const Bytes bomb = Join({Text(std::string("bomb\0\0", 6)), Deflate(Bytes(20u << 20, 0))});
    const Bytes damaged = Join({Text(std::string("cut\0\0", 5)), Bytes{0x78, 0x9C, 1, 2, 3}});
    const Bytes badXmp = Text(std::string("XML:com.adobe.xmp\0\1\0", 20)); // fields never end
    for (const Bytes& iccp : {bomb, damaged}) {
        TPNGImage png;
        TMemoryStream m;
        const Bytes file = MakePNG(IHDR(1, 1, 8, 2), OnePixel, {{"iCCP", iccp}, {"iTXt", badXmp}});
        m.WriteBuffer(file.data(), file.size());
        m.SetPosition(0);
        ASSERT_NO_THROW(png.LoadFromStream(m));
        EXPECT_TRUE(png.Metadata().Icc.empty());
        EXPECT_TRUE(png.Metadata().Xmp.empty());
        EXPECT_EQ(png.ScanLine(0)[2], 10);
    }
}

TEST(PNGMetadata, WriterPutsTheChunksBeforeTheImageDataAndReplacesLoadedOnes) {
    TPNGImage png;
    png.SetPixelFormat(pf24bit);
    png.SetSize(2, 2);
    png.Metadata().Icc = std::string(500, 'i');
    png.Metadata().Exif = std::string("II*\0\x08\0\0\0", 8);
    png.Metadata().Xmp = "<x:xmpmeta/>";
    TMemoryStream first;
    png.SaveToStream(first);
    const Bytes file(first.Data().begin(), first.Data().end());
    std::vector<std::string> types;
    for (const TRawChunk& c : SplitChunks(file))
        types.push_back(c.Type);
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "iCCP", "eXIf", "iTXt", "IDAT", "IEND"}));
    // Loaded and saved again: one chunk of each, with the metadata as changed.
    TPNGImage again;
    first.SetPosition(0);
    again.LoadFromStream(first);
    EXPECT_EQ(again.Metadata().Icc, png.Metadata().Icc);
    again.Metadata().Xmp.clear();
    TMemoryStream second;
    again.SaveToStream(second);
    types.clear();
    for (const TRawChunk& c : SplitChunks(Bytes(second.Data().begin(), second.Data().end())))
        types.push_back(c.Type);
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "iCCP", "eXIf", "IDAT", "IEND"}));
}

TEST(PNGMetadata, CommentIsReadFromTextChunksAsUTF8) {
    const Bytes latin = Join({Text(std::string("Comment\0Caf\xE9", 12))});
    const Bytes compressed = Join({Text(std::string("Comment\0\0", 9)), Deflate(Text("z\xFC"))});
    const Bytes international =
        Join({Text(std::string("Comment\0\1\0ja\0\0", 14)), Deflate(Text("\xE5\xB1\xB1"))});
    const Bytes other = Join({Text(std::string("Title\0Not a comment", 19))});
    EXPECT_EQ(LoadMetadata(MakePNG(IHDR(1, 1, 8, 2), OnePixel, {{"tEXt", other}, {"tEXt", latin}}))
                  .Comment,
              "Caf\xC3\xA9");
    EXPECT_EQ(LoadMetadata(MakePNG(IHDR(1, 1, 8, 2), OnePixel, {{"zTXt", compressed}})).Comment,
              "z\xC3\xBC");
    // The first readable one counts; a damaged one before it is passed over.
    const Bytes damaged = Join({Text(std::string("Comment\0\1\0", 10))});
    EXPECT_EQ(LoadMetadata(MakePNG(IHDR(1, 1, 8, 2), OnePixel,
                                   {{"iTXt", damaged}, {"iTXt", international}, {"tEXt", latin}}))
                  .Comment,
              "\xE5\xB1\xB1");
}

TEST(PNGMetadata, CommentIsWrittenAsLatin1TextWhereItCanBeAndOnlyOnce) {
    struct TCase {
        std::string Comment, Type, Data;
    };
    const TCase cases[] = {
        {"plain words", "tEXt", std::string("Comment\0plain words", 19)},
        {"Caf\xC3\xA9", "tEXt", std::string("Comment\0Caf\xE9", 12)},
        // Not UTF-8: an 8-bit comment of its own, kept byte for byte.
        {"Caf\xE9", "tEXt", std::string("Comment\0Caf\xE9", 12)},
        {"\xE2\x82\xAC 5", "iTXt", std::string("Comment\0\0\0\0\0\xE2\x82\xAC 5", 17)},
        // Text chunks hold no zero byte: the comment ends at the first.
        {std::string("first\0second", 12), "tEXt", std::string("Comment\0first", 13)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Comment);
        TPNGImage png;
        png.SetPixelFormat(pf24bit);
        png.SetSize(1, 1);
        png.Metadata().Comment = c.Comment;
        TMemoryStream first;
        png.SaveToStream(first);
        // Loaded and saved again: still one comment chunk.
        TPNGImage again;
        first.SetPosition(0);
        again.LoadFromStream(first);
        TMemoryStream second;
        again.SaveToStream(second);
        int found = 0;
        for (const TRawChunk& chunk :
             SplitChunks(Bytes(second.Data().begin(), second.Data().end())))
            if (chunk.Type == c.Type) {
                ++found;
                EXPECT_EQ(std::string(chunk.Data.begin(), chunk.Data.end()), c.Data);
            }
        EXPECT_EQ(found, 1);
    }
}
