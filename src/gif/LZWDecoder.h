// SPDX-License-Identifier: GPL-3.0-or-later
// The LZW decoder of GIF image data, with the sub-block and bit readers.
#pragma once

#include "base/Streams.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// (severity, message)
using TGIFWarningFunc = std::function<void(int severity, const std::string& message)>;

// Serves the bytes of a chain of data sub-blocks, whole sub-blocks at a time
// into a 4096-byte buffer.
class TGIFReader {
public:
    TGIFReader(TStream& stream, const TGIFWarningFunc& warning)
        : FStream(stream), FWarning(warning) {}
    // Up to count bytes; 0 when the chain (or the stream) has ended.
    size_t Read(uint8_t* buffer, size_t count);
    // Moves past the remaining sub-blocks and the terminator.
    void SkipRest();
    bool Finished() const { return FFinished && FAvailable == 0; }
    // The stream ended inside the chain (a cut file), not at its terminator.
    bool StreamEnded() const { return FStreamEnded; }

private:
    void Refill();
    TStream& FStream;
    TGIFWarningFunc FWarning;
    std::array<uint8_t, 4096> FBuffer{};
    size_t FPos = 0, FAvailable = 0;
    bool FFinished = false;
    bool FStreamEnded = false;
};

// Codes of n bits, least significant bit first.
class TGIFBitReader {
public:
    TGIFBitReader(TStream& stream, const TGIFWarningFunc& warning)
        : FReader(stream, warning), FWarning(warning) {}
    // The next code, or -1 (with the warning "Decoder bit buffer under-run")
    // when the data run out.
    int ReadCode(int bits);
    TGIFReader& Reader() { return FReader; }

private:
    TGIFReader FReader;
    TGIFWarningFunc FWarning;
    uint64_t FAccumulator = 0;
    int FBitCount = 0;
    std::array<uint8_t, 254> FBytes{};
    size_t FBytePos = 0, FByteCount = 0;
};

class TLZWDecoder {
public:
    // Reads the code size byte and the image data into pixels (width x
    // height bytes, already filled with the background value). Returns false
    // when the frame keeps no pixels (a code size above 11). A file that ends
    // before the pixels do raises GIFException with the cut-file message;
    // data whose chain ends early but properly leaves the rest as it was.
    // progress, when set, is called about every 10000 pixels.
    bool Decode(TStream& stream, uint8_t* pixels, int width, int height, bool interlaced,
                const TGIFWarningFunc& warning, const std::function<void()>& progress);

private:
    std::array<uint16_t, 4096> FPrefix{};
    std::array<uint8_t, 4096> FSuffix{};
    std::array<uint8_t, 8192> FStack{};
};
