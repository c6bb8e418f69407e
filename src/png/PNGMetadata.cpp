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
    bool exif = false, icc = false, xmp = false;
    for (int i = 0; i < chunks.Count(); ++i) {
        const TChunk& chunk = *chunks[i];
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
}
