// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/LZWEncoder.h"

#include "gif/GIFException.h"

void TGIFWriter::EndBlock() {
    FBuffer[static_cast<size_t>(FBlockStart)] = static_cast<uint8_t>(FCount - FBlockStart - 1);
    if (FCount >= kGather) {
        FStream.WriteBuffer(FBuffer.data(), static_cast<size_t>(FCount));
        FCount = 0;
    }
    FBlockStart = FCount++;
}

void TLZWEncoder::Output(int code) {
    // Bits above FBits are always zero, so the code is simply added on top.
    FAccumulator |= static_cast<uint64_t>(code) << FBits;
    FBits += FWidth;
    if (FBits >= 32) {
        FWriter->Write4(static_cast<uint32_t>(FAccumulator));
        FAccumulator >>= 32;
        FBits -= 32;
    }
    if (code == FEOICode) {
        while (FBits > 0) {
            FWriter->Write(static_cast<uint8_t>(FAccumulator));
            FAccumulator >>= 8;
            FBits -= 8;
        }
        FAccumulator = 0;
        FBits = 0;
    }
    if (FFreeCode > FMaxCode || FClearPending) {
        if (FClearPending) {
            FWidth = FInitialWidth;
            FMaxCode = (1 << FWidth) - 1;
            FClearPending = false;
        } else {
            ++FWidth;
            FMaxCode = FWidth == 12 ? 4096 : (1 << FWidth) - 1;
        }
    }
}

void TLZWEncoder::ClearTable() {
    FClearPending = true;
    Output(FClearCode);
    FTable.Clear();
    FFreeCode = FClearCode + 2;
}

void TLZWEncoder::Compress(TStream& stream, const uint8_t* pixels, int width, int height,
                           bool interlaced, int bitsPerPixel, int limit) {
    const int codeSize = bitsPerPixel < 2 ? 2 : bitsPerPixel;
    const uint8_t sizeByte = static_cast<uint8_t>(codeSize);
    stream.WriteBuffer(&sizeByte, 1);
    TGIFWriter writer(stream);
    FWriter = &writer;
    FAccumulator = 0;
    FBits = 0;
    FClearPending = false;
    FInitialWidth = FWidth = codeSize + 1;
    FMaxCode = (1 << FWidth) - 1;
    FClearCode = 1 << codeSize;
    FEOICode = FClearCode + 1;
    FFreeCode = FClearCode + 2;

    if (pixels && width > 0 && height > 0) {
        ClearTable();
        // Rows in file order: plain, or the four interlace passes.
        static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        const int passes = interlaced ? 4 : 1;
        int prefix = -1;
        for (int pass = 0; pass < passes; ++pass) {
            const int start = interlaced ? kStart[pass] : 0, step = interlaced ? kStep[pass] : 1;
            for (int y = start; y < height; y += step) {
                const uint8_t* row = pixels + static_cast<size_t>(y) * width;
                for (int x = 0; x < width; ++x) {
                    const int k = row[x];
                    if (k >= limit) throw GIFException("Color not in color table");
                    if (prefix < 0) {
                        prefix = k;
                        continue;
                    }
                    const uint32_t key =
                        (static_cast<uint32_t>(prefix) << 8) | static_cast<uint32_t>(k);
                    int slot = 0;
                    const int code = FTable.Find(key, slot);
                    if (code >= 0) {
                        prefix = code;
                        continue;
                    }
                    Output(prefix);
                    prefix = k;
                    // Output only touches the bit buffer, so the free slot
                    // found above is still free.
                    if (FFreeCode < 4095)
                        FTable.Set(slot, key, FFreeCode++);
                    else
                        ClearTable();
                }
            }
        }
        Output(prefix);
    }
    Output(FEOICode);
    writer.Close();
    const uint8_t terminator = 0;
    stream.WriteBuffer(&terminator, 1);
    FWriter = nullptr;
}
