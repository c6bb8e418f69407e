// SPDX-License-Identifier: GPL-3.0-or-later
// Compression of the image data: the zlib stream the writer produces (at
// zlib's default level, through zlib or libdeflate) and the reader's inflate.
#pragma once

#include "base/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <vector>

TREVASCO_EXCEPTION(EZCompressionError, Exception)
TREVASCO_EXCEPTION(EZDecompressionError, Exception)

// Whether the writer compresses with libdeflate (same level, still a zlib
// stream). On by default when the build has it; switchable for measurements.
bool PNGLibdeflateAvailable();
bool PNGUseLibdeflate();
void SetPNGUseLibdeflate(bool value);

// Deflates everything written into out, as one zlib stream at level 6.
class TPNGDeflater {
public:
    // Above this much input libdeflate's whole-buffer path (the input and an
    // output as large, held at once) gives way to zlib's streaming deflate, so
    // a huge image costs its compressed size on top of its raster, not twice
    // its raw size. The batch's largest photos (10.65 MP, 32 MB) stay below it.
    static constexpr size_t DefaultWholeLimit = size_t(48) << 20;
    // expectedSize is the total input (the whole-buffer path reserves it).
    TPNGDeflater(std::vector<uint8_t>& out, size_t expectedSize,
                 size_t wholeLimit = DefaultWholeLimit);
    ~TPNGDeflater();
    TPNGDeflater(const TPNGDeflater&) = delete;
    TPNGDeflater& operator=(const TPNGDeflater&) = delete;
    void Write(const uint8_t* data, size_t size);
    void Finish();

private:
    void Drain(int flush);
    std::vector<uint8_t>& FOut;
    bool FWhole;
    bool FFinished = false;
    std::vector<uint8_t> FInput;  // whole-buffer path: everything, compressed at Finish
    std::vector<uint8_t> FBuffer; // zlib path: the 64 KiB output buffer
    void* FStream = nullptr;      // z_stream
};

// Inflates a zlib stream held in memory, a requested number of bytes at a time.
// When the caller knows how much the image needs (expectedSize) and that fits
// wholeLimit, the stream is inflated in one call by libdeflate first; a stream
// that call refuses (damaged, cut, or longer than the image) is read again
// through zlib's streaming inflate, so either way the result and the errors
// are those of zlib.
class TPNGInflater {
public:
    static constexpr size_t DefaultWholeLimit = size_t(48) << 20;
    TPNGInflater(const uint8_t* data, size_t size, size_t expectedSize = 0,
                 size_t wholeLimit = DefaultWholeLimit);
    ~TPNGInflater();
    TPNGInflater(const TPNGInflater&) = delete;
    TPNGInflater& operator=(const TPNGInflater&) = delete;
    // Exactly size bytes, or EZDecompressionError (damaged or too short data).
    void Read(uint8_t* dst, size_t size);
    // After the last row: runs the stream to its end so that a damaged tail
    // or checksum is noticed. Lenient: data that simply stops is accepted,
    // and extra data after the image is ignored.
    void Finish();

    // Whether the whole stream was inflated in one call (for tests).
    bool InflatedWhole() const { return FWhole; }

private:
    bool InflateWhole(size_t expectedSize);
    bool Fill();
    const uint8_t* FData;
    size_t FSize, FConsumed = 0;
    std::vector<uint8_t> FBuffer;
    size_t FPos = 0, FEnd = 0;
    bool FEnded = false;
    bool FWhole = false;
    void* FStream = nullptr;
};
