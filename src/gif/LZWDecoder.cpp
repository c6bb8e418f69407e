// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/LZWDecoder.h"

#include "gif/GIFException.h"
#include "toolkit/Graphic.h"

#include <cstring>

void TGIFReader::Refill() {
    if (FAvailable > 0 && FPos > 0) std::memmove(FBuffer.data(), FBuffer.data() + FPos, FAvailable);
    FPos = 0;
    while (!FFinished && FAvailable < FBuffer.size()) {
        uint8_t len = 0;
        if (FStream.Read(&len, 1) != 1) {
            FFinished = FStreamEnded = true;
            break;
        }
        if (len == 0) {
            FFinished = true;
            break;
        }
        if (FAvailable + len > FBuffer.size()) {
            FStream.Seek(-1, TSeekOrigin::soCurrent);
            break;
        }
        const size_t got = FStream.Read(FBuffer.data() + FAvailable, len);
        if (got < len) {
            if (FWarning) FWarning(1, "Premature end of data");
            FFinished = FStreamEnded = true;
        }
        FAvailable += got;
    }
}

size_t TGIFReader::Read(uint8_t* buffer, size_t count) {
    if (FAvailable == 0 && !FFinished) Refill();
    const size_t n = count < FAvailable ? count : FAvailable;
    std::memcpy(buffer, FBuffer.data() + FPos, n);
    FPos += n;
    FAvailable -= n;
    return n;
}

void TGIFReader::SkipRest() {
    FAvailable = 0;
    FPos = 0;
    while (!FFinished) {
        uint8_t len = 0;
        if (FStream.Read(&len, 1) != 1 || len == 0) break;
        const int64_t pos = FStream.Position();
        const int64_t size = FStream.Size();
        if (pos + len > size) {
            FStream.Seek(0, TSeekOrigin::soEnd);
            break;
        }
        FStream.Seek(len, TSeekOrigin::soCurrent);
    }
    FFinished = true;
}

int TGIFBitReader::ReadCode(int bits) {
    while (FBitCount < bits) {
        if (FBytePos == FByteCount) {
            FByteCount = FReader.Read(FBytes.data(), FBytes.size());
            FBytePos = 0;
            if (FByteCount == 0) {
                if (FWarning) FWarning(1, "Decoder bit buffer under-run");
                return -1;
            }
        }
        FAccumulator |= static_cast<uint64_t>(FBytes[FBytePos++]) << FBitCount;
        FBitCount += 8;
    }
    const int code = static_cast<int>(FAccumulator & ((1u << bits) - 1));
    FAccumulator >>= bits;
    FBitCount -= bits;
    return code;
}

bool TLZWDecoder::Decode(TStream& stream, uint8_t* pixels, int width, int height, bool interlaced,
                         const TGIFWarningFunc& warning, const std::function<void()>& progress) {
    uint8_t codeSize = 0;
    if (stream.Read(&codeSize, 1) != 1) throw GIFException(CutShortMessage(0, height));
    // A code size of 12 would make the clear code 4096, outside every table.
    if (codeSize >= 12) {
        if (warning) warning(1, "Invalid GIF data");
        TGIFReader(stream, warning).SkipRest();
        return false;
    }
    TGIFBitReader bits(stream, warning);
    const int clearCode = 1 << codeSize, eoiCode = clearCode + 1;
    int width_ = codeSize + 1, growAt = 2 * clearCode, nextCode = clearCode + 2;
    int first = 0, prev = 0;
    size_t sp = 0;
    FPrefix.fill(0);
    for (int i = 0; i < 4096; ++i)
        FSuffix[i] = static_cast<uint8_t>(i);

    // Pixel order: rows plainly or in the four interlace passes.
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    int pass = 0, row = 0, x = 0;
    int64_t written = 0, sinceProgress = 0;
    const int64_t total = static_cast<int64_t>(width) * height;
    uint8_t* out = pixels;
    bool complete = total == 0;
    auto put = [&](uint8_t v) {
        out[x++] = v;
        ++written;
        if (x < width) return;
        x = 0;
        if (interlaced) {
            row += kStep[pass];
            while (row >= height && pass < 3)
                row = kStart[++pass];
        } else {
            ++row;
        }
        if (written >= total || row >= height) {
            complete = true;
            return;
        }
        out = pixels + static_cast<size_t>(row) * width;
    };

    bool clearNext = true;
    while (!complete) {
        if (sp > 0) {
            put(FStack[--sp]);
            continue;
        }
        int code = clearNext ? clearCode : bits.ReadCode(width_);
        clearNext = false;
        if (code < 0) break;
        if (code == clearCode) {
            width_ = codeSize + 1;
            growAt = 2 * clearCode;
            nextCode = clearCode + 2;
            do
                code = bits.ReadCode(width_);
            while (code == clearCode);
            if (code < 0 || code == eoiCode) break;
            if (code > clearCode) {
                // A string code straight after a clear has nothing to refer to.
                if (warning) warning(1, "Invalid GIF data");
                break;
            }
            first = prev = code;
            put(static_cast<uint8_t>(code));
        } else if (code == eoiCode) {
            break;
        } else {
            const int k = code;
            if (code >= nextCode) {
                FStack[sp++] = static_cast<uint8_t>(first);
                code = prev;
            }
            while (code > clearCode) {
                if (FPrefix[code] == code) throw GIFException("Circular decoder table entry");
                if (sp >= FStack.size()) throw GIFException("Invalid GIF data");
                FStack[sp++] = FSuffix[code];
                code = FPrefix[code];
            }
            if (sp >= FStack.size()) throw GIFException("Invalid GIF data");
            first = code;
            FStack[sp++] = static_cast<uint8_t>(code);
            if (nextCode <= 4095) {
                FPrefix[nextCode] = static_cast<uint16_t>(prev);
                FSuffix[nextCode] = static_cast<uint8_t>(first);
                ++nextCode;
                if (nextCode >= growAt && growAt <= 4095) {
                    growAt *= 2;
                    ++width_;
                }
            }
            prev = k;
        }
        if (progress && written - sinceProgress >= 10000) {
            sinceProgress = written;
            progress();
        }
    }
    if (!complete && bits.Reader().StreamEnded())
        throw GIFException(CutShortMessage(width > 0 ? written / width : 0, height));
    bits.Reader().SkipRest();
    return true;
}
