// SPDX-License-Identifier: GPL-3.0-or-later
#include "png/PNGDeflate.h"

#include "base/StrUtils.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#if TREVASCO_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {
constexpr size_t OutputBufferSize = 65536;
constexpr size_t InflateBufferSize = 262144;
// zlib counts in 32 bits; larger inputs are fed in pieces.
constexpr size_t MaxPiece = size_t(1) << 30;

#if TREVASCO_HAVE_LIBDEFLATE
std::atomic<bool> GUseLibdeflate{true};
#else
std::atomic<bool> GUseLibdeflate{false};
#endif

z_stream* Z(void* p) {
    return static_cast<z_stream*>(p);
}
} // namespace

bool PNGLibdeflateAvailable() {
    return TREVASCO_HAVE_LIBDEFLATE + 0 != 0;
}
bool PNGUseLibdeflate() {
    return GUseLibdeflate.load();
}
void SetPNGUseLibdeflate(bool value) {
    GUseLibdeflate.store(value && PNGLibdeflateAvailable());
}

TPNGDeflater::TPNGDeflater(std::vector<uint8_t>& out, size_t expectedSize, size_t wholeLimit)
    : FOut(out), FWhole(PNGUseLibdeflate() && expectedSize <= wholeLimit) {
    FOut.clear();
    if (FWhole) {
        try {
            FInput.reserve(expectedSize);
        } catch (const std::bad_alloc&) {
            throw EZCompressionError("Not enough memory to compress the image data");
        }
        return;
    }
    auto* z = new z_stream{};
    FStream = z;
    if (deflateInit(z, Z_DEFAULT_COMPRESSION) != Z_OK) {
        delete z;
        FStream = nullptr;
        throw EZCompressionError("Could not start compressing the image data");
    }
    FBuffer.resize(OutputBufferSize);
    z->next_out = FBuffer.data();
    z->avail_out = static_cast<uInt>(FBuffer.size());
}

TPNGDeflater::~TPNGDeflater() {
    if (FStream) {
        deflateEnd(Z(FStream));
        delete Z(FStream);
    }
}

void TPNGDeflater::Drain(int flush) {
    z_stream* z = Z(FStream);
    for (;;) {
        int rc = deflate(z, flush);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            throw EZCompressionError(Format("Error while compressing the image data (%s)",
                                            z->msg ? z->msg : "zlib error"));
        if (z->avail_out == 0 || rc == Z_STREAM_END) {
            FOut.insert(FOut.end(), FBuffer.data(),
                        FBuffer.data() + (FBuffer.size() - z->avail_out));
            z->next_out = FBuffer.data();
            z->avail_out = static_cast<uInt>(FBuffer.size());
        }
        if (rc == Z_STREAM_END) return;
        if (flush == Z_NO_FLUSH && z->avail_in == 0) return;
    }
}

void TPNGDeflater::Write(const uint8_t* data, size_t size) {
    if (FFinished) throw EZCompressionError("The compressed image data is already complete");
    if (FWhole) {
        FInput.insert(FInput.end(), data, data + size);
        return;
    }
    z_stream* z = Z(FStream);
    while (size > 0) {
        size_t piece = std::min(size, MaxPiece);
        z->next_in = const_cast<Bytef*>(data);
        z->avail_in = static_cast<uInt>(piece);
        Drain(Z_NO_FLUSH);
        data += piece;
        size -= piece;
    }
}

void TPNGDeflater::Finish() {
    if (FFinished) return;
    FFinished = true;
    if (!FWhole) {
        Z(FStream)->next_in = nullptr;
        Z(FStream)->avail_in = 0;
        Drain(Z_FINISH);
        return;
    }
#if TREVASCO_HAVE_LIBDEFLATE
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    if (!c) throw EZCompressionError("Could not start compressing the image data");
    try {
        FOut.resize(libdeflate_zlib_compress_bound(c, FInput.size()));
    } catch (const std::bad_alloc&) {
        libdeflate_free_compressor(c);
        throw EZCompressionError("Not enough memory to compress the image data");
    }
    size_t n = libdeflate_zlib_compress(c, FInput.data(), FInput.size(), FOut.data(), FOut.size());
    libdeflate_free_compressor(c);
    if (n == 0) throw EZCompressionError("Error while compressing the image data");
    FOut.resize(n);
    std::vector<uint8_t>().swap(FInput);
#endif
}

TPNGInflater::TPNGInflater(const uint8_t* data, size_t size, size_t expectedSize, size_t wholeLimit)
    : FData(data), FSize(size) {
    if (PNGUseLibdeflate() && expectedSize > 0 && expectedSize <= wholeLimit &&
        InflateWhole(expectedSize))
        return;
    auto* z = new z_stream{};
    if (inflateInit(z) != Z_OK) {
        delete z;
        throw EZDecompressionError("Could not start decompressing the image data");
    }
    FStream = z;
    FBuffer.resize(InflateBufferSize);
}

TPNGInflater::~TPNGInflater() {
    if (!FStream) return;
    inflateEnd(Z(FStream));
    delete Z(FStream);
}

bool TPNGInflater::InflateWhole(size_t expectedSize) {
#if TREVASCO_HAVE_LIBDEFLATE
    try {
        FBuffer.resize(expectedSize);
    } catch (const std::bad_alloc&) {
        return false;
    }
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!d) return false;
    size_t in = 0, out = 0;
    const libdeflate_result rc =
        libdeflate_zlib_decompress_ex(d, FData, FSize, FBuffer.data(), FBuffer.size(), &in, &out);
    libdeflate_free_decompressor(d);
    if (rc != LIBDEFLATE_SUCCESS) {
        std::vector<uint8_t>().swap(FBuffer);
        return false;
    }
    // A complete, checked stream: Read hands out what it holds and nothing more.
    FPos = 0;
    FEnd = out;
    FEnded = true;
    FWhole = true;
    return true;
#else
    (void)expectedSize;
    return false;
#endif
}

bool TPNGInflater::Fill() {
    if (FEnded) return false;
    z_stream* z = Z(FStream);
    FPos = FEnd = 0;
    z->next_out = FBuffer.data();
    z->avail_out = static_cast<uInt>(FBuffer.size());
    while (z->avail_out > 0) {
        if (z->avail_in == 0) {
            if (FConsumed >= FSize) break;
            size_t piece = std::min(FSize - FConsumed, MaxPiece);
            z->next_in = const_cast<Bytef*>(FData + FConsumed);
            z->avail_in = static_cast<uInt>(piece);
            FConsumed += piece;
        }
        int rc = inflate(z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            FEnded = true;
            break;
        }
        if (rc == Z_BUF_ERROR) break; // no progress possible: the data stops here
        if (rc != Z_OK)
            throw EZDecompressionError(
                Format("Invalid compressed image data (%s)", z->msg ? z->msg : zError(rc)));
    }
    FEnd = FBuffer.size() - z->avail_out;
    return FEnd > 0;
}

void TPNGInflater::Read(uint8_t* dst, size_t size) {
    while (size > 0) {
        if (FPos == FEnd && !Fill())
            throw EZDecompressionError(
                "The compressed image data ends before the image is complete");
        size_t n = std::min(size, FEnd - FPos);
        std::memcpy(dst, FBuffer.data() + FPos, n);
        FPos += n;
        dst += n;
        size -= n;
    }
}

void TPNGInflater::Finish() {
    // Extra output after the image is skipped, but only a few buffers of it:
    // a small file could otherwise inflate to gigabytes of ignored data.
    for (int extra = 0; extra < 16 && !FEnded && Fill(); ++extra) {
    }
}
