// The LZW encoder of GIF image data and the sub-block writer it feeds.
#pragma once

#include "toolkit/Streams.h"

#include <array>
#include <cstdint>
#include <vector>

// Cuts a byte stream into sub-blocks of at most 255 bytes.
class TGIFWriter {
public:
    explicit TGIFWriter(TStream& stream) : FStream(stream) {}
    void Write(uint8_t b) {
        FBuffer[FCount++] = b;
        if (FCount == 256) Flush();
    }
    // Writes the remaining bytes as one last sub-block (nothing when empty).
    void Close() {
        if (FCount > 1) Flush();
    }

private:
    void Flush();
    TStream& FStream;
    std::array<uint8_t, 256> FBuffer{};
    int FCount = 1; // byte 0 is the length
};

// Open-addressed table of (prefix, pixel) strings: 8009 slots of (key shl 12) or code.
class THashTable {
public:
    static constexpr int kSize = 8009;
    THashTable() { Clear(); }
    void Clear() { FSlots.fill(0xFFFFFFFFu); }
    void Insert(uint32_t key, int code);
    // The code of the key, or -1.
    int Lookup(uint32_t key) const;

private:
    // The probe path doubles the slot modulo the table size; 2 has order
    // 4004 modulo 8009, so after that many steps the path would repeat and
    // continues linearly instead.
    static int Hash(uint32_t key) { return static_cast<int>((key ^ (key >> 4)) % kSize); }
    static int Step(int slot, int step) {
        if (step < 4004) return slot == 0 ? kSize - 1 : static_cast<int>((2 * slot) % kSize);
        return slot + 1 == kSize ? 0 : slot + 1;
    }
    std::array<uint32_t, kSize> FSlots;
};

// Compresses one frame's pixels: the code size byte, the data sub-blocks and
// the block terminator.
class TLZWEncoder {
public:
    // bitsPerPixel: of the colour map in use; pixels at or above limit fail
    // with "Color not in color table".
    void Compress(TStream& stream, const uint8_t* pixels, int width, int height, bool interlaced,
                  int bitsPerPixel, int limit);

private:
    void Output(int code);
    void ClearTable();

    TGIFWriter* FWriter = nullptr;
    uint32_t FAccumulator = 0;
    int FBits = 0;
    bool FClearPending = false;
    int FInitialWidth = 0, FWidth = 0;
    int FMaxCode = 0, FClearCode = 0, FEOICode = 0, FFreeCode = 0;
    THashTable FTable;
};
