// SPDX-License-Identifier: GPL-3.0-or-later
#include "png/PNGMetadata.h"

#include "png/PNGChunks.h"

#include <cstring>
#include <zlib.h>

namespace {

constexpr char XmpKeyword[] = "XML:com.adobe.xmp";
constexpr char ProfileName[] = "ICC Profile";

bool IsType(const TChunk& chunk, const char* type) {
    return std::memcmp(chunk.ChunkType.data(), type, 4) == 0;
}

// Inflates a zlib stream, refusing output beyond limit. False for damaged data.
bool InflateBounded(const uint8_t* data, size_t size, size_t limit, std::string& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    out.clear();
    char buffer[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        const size_t produced = sizeof buffer - z.avail_out;
        if (out.size() + produced > limit) {
            status = Z_MEM_ERROR;
            break;
        }
        out.append(buffer, produced);
        if (status == Z_BUF_ERROR && z.avail_in == 0) break; // the stream stops early
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

std::string Deflate(const std::string& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        RaisePNGError("The ICC profile could not be compressed.");
    out.resize(size);
    return out;
}

// The length of a zero-terminated field starting at from, or npos when it never ends.
size_t FieldEnd(const std::vector<uint8_t>& d, size_t from) {
    for (size_t i = from; i < d.size(); ++i)
        if (d[i] == 0) return i;
    return std::string::npos;
}

void ReadICCP(const TChunk& chunk, TImageMetadata& metadata) {
    const auto& d = chunk.Data();
    const size_t nameEnd = FieldEnd(d, 0);
    // Name of 1 to 79 bytes, then compression method 0.
    if (nameEnd == std::string::npos || nameEnd == 0 || nameEnd > 79 || nameEnd + 2 > d.size() ||
        d[nameEnd + 1] != 0)
        return;
    std::string profile;
    if (InflateBounded(d.data() + nameEnd + 2, d.size() - nameEnd - 2, MaxMetadataBlock, profile))
        metadata.Icc = std::move(profile);
}

void ReadITXt(const TChunk& chunk, TImageMetadata& metadata) {
    const auto& d = chunk.Data();
    const size_t keywordEnd = FieldEnd(d, 0);
    if (keywordEnd != sizeof XmpKeyword - 1 || std::memcmp(d.data(), XmpKeyword, keywordEnd) != 0)
        return;
    if (keywordEnd + 3 > d.size()) return;
    const uint8_t compressed = d[keywordEnd + 1], method = d[keywordEnd + 2];
    const size_t languageEnd = FieldEnd(d, keywordEnd + 3);
    if (languageEnd == std::string::npos) return;
    const size_t translatedEnd = FieldEnd(d, languageEnd + 1);
    if (translatedEnd == std::string::npos) return;
    const uint8_t* text = d.data() + translatedEnd + 1;
    const size_t size = d.size() - translatedEnd - 1;
    if (compressed == 0) {
        metadata.Xmp.assign(reinterpret_cast<const char*>(text), size);
    } else if (compressed == 1 && method == 0) {
        std::string xmp;
        if (InflateBounded(text, size, MaxMetadataBlock, xmp)) metadata.Xmp = std::move(xmp);
    }
}

constexpr char CommentKeyword[] = "Comment";

// Latin-1 (tEXt, zTXt) to UTF-8.
std::string Latin1ToUtf8(const uint8_t* text, size_t size) {
    std::string out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        if (text[i] < 0x80) {
            out += static_cast<char>(text[i]);
        } else {
            out += static_cast<char>(0xC0 | (text[i] >> 6));
            out += static_cast<char>(0x80 | (text[i] & 0x3F));
        }
    }
    return out;
}

// The text as Latin-1 when it is UTF-8 of code points up to U+00FF; false
// when it needs more (then it goes into iTXt). A comment that is not UTF-8
// at all (a JPEG comment of another 8-bit encoding) is taken byte for byte.
bool Utf8ToLatin1(const std::string& text, std::string& latin1) {
    latin1.clear();
    bool valid = true, wide = false;
    for (size_t i = 0; i < text.size() && valid;) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        if (c < 0x80) {
            latin1 += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t n = c >= 0xC2 && c < 0xE0   ? 2
                         : c >= 0xE0 && c < 0xF0 ? 3
                         : c >= 0xF0 && c < 0xF5 ? 4
                                                 : 0;
        if (n == 0 || i + n > text.size()) {
            valid = false;
            break;
        }
        uint32_t cp = c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            const uint8_t t = static_cast<uint8_t>(text[i + k]);
            if ((t & 0xC0) != 0x80) valid = false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp < 0xE000))
            valid = false;
        if (cp > 0xFF) wide = true;
        latin1 += static_cast<char>(cp & 0xFF);
        i += n;
    }
    if (!valid) latin1 = text;
    return valid ? !wide : true;
}

// The keyword of a text chunk (tEXt, zTXt, iTXt), or empty.
std::string TextKeyword(const TChunk& chunk) {
    if (!IsType(chunk, "tEXt") && !IsType(chunk, "zTXt") && !IsType(chunk, "iTXt")) return "";
    const size_t end = FieldEnd(chunk.Data(), 0);
    if (end == std::string::npos || end == 0 || end > 79) return "";
    return std::string(chunk.Data().begin(), chunk.Data().begin() + static_cast<ptrdiff_t>(end));
}

// The text of a "Comment" chunk as UTF-8; false when the chunk is damaged.
bool ReadComment(const TChunk& chunk, std::string& comment) {
    const auto& d = chunk.Data();
    const size_t keywordEnd = sizeof CommentKeyword - 1;
    if (IsType(chunk, "tEXt")) {
        comment = Latin1ToUtf8(d.data() + keywordEnd + 1, d.size() - keywordEnd - 1);
        return true;
    }
    std::string text;
    if (IsType(chunk, "zTXt")) {
        if (keywordEnd + 2 > d.size() || d[keywordEnd + 1] != 0) return false;
        if (!InflateBounded(d.data() + keywordEnd + 2, d.size() - keywordEnd - 2, MaxMetadataBlock,
                            text))
            return false;
        comment = Latin1ToUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        return true;
    }
    // iTXt: compression flag and method, language, translated keyword, text.
    if (keywordEnd + 3 > d.size()) return false;
    const uint8_t compressed = d[keywordEnd + 1], method = d[keywordEnd + 2];
    const size_t languageEnd = FieldEnd(d, keywordEnd + 3);
    if (languageEnd == std::string::npos) return false;
    const size_t translatedEnd = FieldEnd(d, languageEnd + 1);
    if (translatedEnd == std::string::npos) return false;
    const uint8_t* body = d.data() + translatedEnd + 1;
    const size_t size = d.size() - translatedEnd - 1;
    if (compressed == 0) {
        comment.assign(reinterpret_cast<const char*>(body), size);
        return true;
    }
    if (compressed != 1 || method != 0 || !InflateBounded(body, size, MaxMetadataBlock, text))
        return false;
    comment = std::move(text);
    return true;
}

// tEXt when Latin-1 holds the comment, iTXt (UTF-8) otherwise. Text chunks
// cannot hold a zero byte: the comment ends at the first one.
std::unique_ptr<TChunk> CommentChunk(TChunkList& chunks, const std::string& comment) {
    const std::string text = comment.substr(0, comment.find('\0'));
    std::string latin1;
    const std::string keyword(CommentKeyword, sizeof CommentKeyword);
    auto chunk = NewChunk(TChunk::StaticClass(), chunks);
    std::string data;
    if (Utf8ToLatin1(text, latin1)) {
        chunk->ChunkType = ChunkTypeOf("tEXt");
        data = keyword + latin1;
    } else {
        chunk->ChunkType = ChunkTypeOf("iTXt");
        data = keyword + std::string(4, '\0') + text;
    }
    chunk->Data().assign(data.begin(), data.end());
    return chunk;
}

std::unique_ptr<TChunk> MakeChunk(TChunkList& chunks, const char (&type)[5],
                                  const std::string& data) {
    auto chunk = NewChunk(TChunk::StaticClass(), chunks);
    chunk->ChunkType = ChunkTypeOf(type);
    chunk->Data().assign(data.begin(), data.end());
    return chunk;
}

bool IsXmpITXt(const TChunk& chunk) {
    const auto& d = chunk.Data();
    return IsType(chunk, "iTXt") && d.size() >= sizeof XmpKeyword &&
           std::memcmp(d.data(), XmpKeyword, sizeof XmpKeyword) == 0;
}

} // namespace

void ReadPNGMetadata(const TChunkList& chunks, TImageMetadata& metadata) {
    bool exif = false, icc = false, xmp = false, comment = false;
    for (int i = 0; i < chunks.Count(); ++i) {
        const TChunk& chunk = *chunks[i];
        if (!comment && TextKeyword(chunk) == CommentKeyword) {
            std::string text;
            // A damaged one is passed over; a later one may still be read.
            if (ReadComment(chunk, text) && text.size() <= MaxMetadataBlock) {
                comment = true;
                metadata.Comment = std::move(text);
            }
            continue;
        }
        // The first chunk of each kind counts, as the PNG standard allows only one.
        if (!exif && IsType(chunk, "eXIf")) {
            exif = true;
            std::string block(chunk.Data().begin(), chunk.Data().end());
            // Some writers keep JPEG's "Exif\0\0" in front of the TIFF structure.
            if (block.compare(0, 6, std::string("Exif\0\0", 6)) == 0) block.erase(0, 6);
            if (block.size() >= 8) metadata.Exif = std::move(block);
        } else if (!icc && IsType(chunk, "iCCP")) {
            icc = true;
            ReadICCP(chunk, metadata);
        } else if (!xmp && IsXmpITXt(chunk)) {
            xmp = true;
            ReadITXt(chunk, metadata);
        }
    }
}

void WritePNGMetadata(TChunkList& chunks, const TImageMetadata& metadata) {
    for (int i = chunks.Count() - 1; i >= 0; --i) {
        const TChunk& chunk = *chunks[i];
        if (IsType(chunk, "eXIf") || IsType(chunk, "iCCP") || IsXmpITXt(chunk) ||
            TextKeyword(chunk) == CommentKeyword ||
            (!metadata.Icc.empty() && IsType(chunk, "sRGB")))
            chunks.Remove(chunks[i]);
    }
    int at = chunks.Count() > 0 ? 1 : 0;
    auto insert = [&](std::unique_ptr<TChunk> chunk) {
        chunks.Add(std::move(chunk));
        chunks.Move(chunks.Count() - 1, at++);
    };
    if (!metadata.Icc.empty())
        insert(
            MakeChunk(chunks, "iCCP",
                      std::string(ProfileName, sizeof ProfileName) + '\0' + Deflate(metadata.Icc)));
    // Chunk lengths are limited to 2^31 - 1; metadata blocks are far below.
    if (!metadata.Exif.empty()) insert(MakeChunk(chunks, "eXIf", metadata.Exif));
    if (!metadata.Xmp.empty())
        insert(MakeChunk(chunks, "iTXt",
                         std::string(XmpKeyword, sizeof XmpKeyword) + std::string(4, '\0') +
                             metadata.Xmp));
    if (!metadata.Comment.empty() && metadata.Comment.front() != '\0')
        insert(CommentChunk(chunks, metadata.Comment));
}
