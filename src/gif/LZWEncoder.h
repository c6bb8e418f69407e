// SPDX-License-Identifier: GPL-3.0-or-later
// The LZW encoder of GIF image data and the sub-block writer it feeds.
#pragma once

#include "base/Streams.h"

#include <array>
#include <cstdint>
#include <vector>

// Cuts a byte stream into sub-blocks of at most 255 bytes. Finished
// sub-blocks are gathered and handed to the stream some 64 KiB at a time: a
// file stream makes one system call per write.
class TGIFWriter {
public:
    explicit TGIFWriter(TStream& stream) : FStream(stream) {}
    void Write(uint8_t b) {
        FBuffer[FCount++] = b;
        if (FCount - FBlockStart == 256) EndBlock();
    }
    // Four bytes, lowest first.
    void Write4(uint32_t v) {
        if (FCount - FBlockStart <= 251) { // all four fit in the current sub-block
            uint8_t* p = &FBuffer[static_cast<size_t>(FCount)];
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v >> 16);
            p[3] = static_cast<uint8_t>(v >> 24);
            FCount += 4;
            if (FCount - FBlockStart == 256) EndBlock();
            return;
        }
        for (int i = 0; i < 4; ++i)
            Write(static_cast<uint8_t>(v >> (8 * i)));
    }
    // Writes the remaining bytes as one last sub-block (nothing when empty).
    void Close() {
        if (FCount - FBlockStart > 1) EndBlock();
        FStream.WriteBuffer(FBuffer.data(), static_cast<size_t>(FBlockStart));
        FCount = 1;
        FBlockStart = 0;
    }

private:
    static constexpr int kGather = 65536;
    // Fills in the current sub-block's length; passes the gathered blocks on
    // when there are enough of them.
    void EndBlock();
    TStream& FStream;
    std::array<uint8_t, kGather + 256> FBuffer{};
    int FBlockStart = 0; // where the current sub-block's length byte is
    int FCount = 1;
};

// Open-addressed table of (prefix, pixel) strings: slots of (key shl 12) or
// code, linear probing from a multiplicative hash. At most 4093 strings live
// in 32768 slots, so a probe run is nearly always one slot (each pixel waits
// for its probe), and the table (128 KiB) is still cheap to clear.
class THashTable {
public:
    static constexpr int kBits = 15;
    static constexpr int kSize = 1 << kBits;
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    THashTable() { Clear(); }
    void Clear() { FSlots.fill(kEmpty); }
    void Insert(uint32_t key, int code) {
        int slot = 0;
        if (Find(key, slot) < 0) Set(slot, key, code);
    }
    // The code of the key, or -1.
    int Lookup(uint32_t key) const {
        int slot = 0;
        return Find(key, slot);
    }
    // The code of the key; or -1 with slot set to where the key would go.
    int Find(uint32_t key, int& slot) const {
        uint32_t s = (key * 0x9E3779B1u) >> (32 - kBits);
        for (;;) {
            const uint32_t v = FSlots[s];
            if (v == kEmpty) {
                slot = static_cast<int>(s);
                return -1;
            }
            if ((v >> 12) == key) return static_cast<int>(v & 0xFFF);
            s = (s + 1) & (kSize - 1);
        }
    }
    void Set(int slot, uint32_t key, int code) {
        FSlots[static_cast<size_t>(slot)] = (key << 12) | static_cast<uint32_t>(code);
    }

private:
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
    uint64_t FAccumulator = 0; // pending bits, lowest first
    int FBits = 0;
    bool FClearPending = false;
    int FInitialWidth = 0, FWidth = 0;
    int FMaxCode = 0, FClearCode = 0, FEOICode = 0, FFreeCode = 0;
    THashTable FTable;
};
