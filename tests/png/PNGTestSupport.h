// SPDX-License-Identifier: GPL-3.0-or-later
// Independent helpers of the PNG tests: a chunk assembler for hand-made
// files (zlib's own CRC and compress) and libpng as the reference decoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pngtest {

using Bytes = std::vector<uint8_t>;

struct TRawChunk {
    std::string Type;
    Bytes Data;
};

Bytes BE32(uint32_t v);
// Signature and chunks with lengths and CRCs.
Bytes Assemble(const std::vector<TRawChunk>& chunks);
Bytes IHDR(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType, uint8_t interlace = 0);
Bytes Deflate(const Bytes& raw);
Bytes Inflate(const Bytes& compressed);
// A whole file: IHDR, the extra chunks, one IDAT of the given filtered rows, IEND.
Bytes MakePNG(const Bytes& ihdr, const Bytes& filteredRows,
              const std::vector<TRawChunk>& beforeIDAT = {});

// The chunks of a file (type and data), after checking signature, framing and every CRC.
std::vector<TRawChunk> SplitChunks(const Bytes& file, bool* crcOk = nullptr);
// Inflated data of all IDAT chunks together.
Bytes InflatedIDAT(const Bytes& file);

struct TRefImage {
    int Width = 0, Height = 0;
    Bytes RGB;   // 3 bytes a pixel, top-down
    Bytes Alpha; // 1 byte a pixel (only when asked for)
    std::string Error;
};
// libpng: strip 16 (high byte), expand palette and grey to RGB, no gamma;
// alpha stripped, or kept separately when withAlpha.
bool DecodeWithLibpng(const Bytes& file, TRefImage& out, bool withAlpha);

// Our gamma table for a stored gAMA value, computed here independently.
void GammaTable(uint32_t g, uint8_t table[256]);

} // namespace pngtest
