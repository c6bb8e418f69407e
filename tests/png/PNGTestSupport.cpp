// SPDX-License-Identifier: GPL-3.0-or-later
#include "PNGTestSupport.h"

#include <png.h>
#include <zlib.h>

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <stdexcept>

namespace pngtest {

Bytes BE32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes Assemble(const std::vector<TRawChunk>& chunks) {
    Bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    for (const TRawChunk& c : chunks) {
        Bytes len = BE32(static_cast<uint32_t>(c.Data.size()));
        out.insert(out.end(), len.begin(), len.end());
        out.insert(out.end(), c.Type.begin(), c.Type.end());
        out.insert(out.end(), c.Data.begin(), c.Data.end());
        uLong crc = crc32(0, reinterpret_cast<const Bytef*>(c.Type.data()), 4);
        // zlib answers a null buffer with its start value, so empty data is skipped.
        if (!c.Data.empty()) crc = crc32(crc, c.Data.data(), static_cast<uInt>(c.Data.size()));
        Bytes tail = BE32(static_cast<uint32_t>(crc));
        out.insert(out.end(), tail.begin(), tail.end());
    }
    return out;
}

Bytes IHDR(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType, uint8_t interlace) {
    Bytes d = BE32(w);
    Bytes hh = BE32(h);
    d.insert(d.end(), hh.begin(), hh.end());
    d.insert(d.end(), {depth, colorType, 0, 0, interlace});
    return d;
}

Bytes Deflate(const Bytes& raw) {
    uLongf size = compressBound(raw.size());
    Bytes out(size);
    if (compress2(out.data(), &size, raw.data(), raw.size(), 6) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

Bytes Inflate(const Bytes& compressed) {
    z_stream z{};
    inflateInit(&z);
    Bytes out;
    uint8_t buf[65536];
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    int rc;
    do {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (rc == Z_OK);
    inflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("inflate failed");
    return out;
}

Bytes MakePNG(const Bytes& ihdr, const Bytes& filteredRows,
              const std::vector<TRawChunk>& beforeIDAT) {
    std::vector<TRawChunk> chunks = {{"IHDR", ihdr}};
    chunks.insert(chunks.end(), beforeIDAT.begin(), beforeIDAT.end());
    chunks.push_back({"IDAT", Deflate(filteredRows)});
    chunks.push_back({"IEND", {}});
    return Assemble(chunks);
}

static uint32_t GetBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

std::vector<TRawChunk> SplitChunks(const Bytes& file, bool* crcOk) {
    static const uint8_t sig[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (file.size() < 8 || std::memcmp(file.data(), sig, 8) != 0)
        throw std::runtime_error("no signature");
    std::vector<TRawChunk> chunks;
    bool ok = true;
    size_t pos = 8;
    while (pos < file.size()) {
        if (file.size() - pos < 12) throw std::runtime_error("truncated chunk");
        uint32_t len = GetBE32(&file[pos]);
        if (file.size() - pos - 12 < len) throw std::runtime_error("chunk past the end");
        TRawChunk c;
        c.Type.assign(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        c.Data.assign(file.begin() + pos + 8, file.begin() + pos + 8 + len);
        uLong crc = crc32(0, &file[pos + 4], 4 + len);
        if (crc != GetBE32(&file[pos + 8 + len])) ok = false;
        chunks.push_back(std::move(c));
        pos += 12 + len;
    }
    if (crcOk) *crcOk = ok;
    return chunks;
}

Bytes InflatedIDAT(const Bytes& file) {
    Bytes joined;
    for (const TRawChunk& c : SplitChunks(file))
        if (c.Type == "IDAT") joined.insert(joined.end(), c.Data.begin(), c.Data.end());
    return Inflate(joined);
}

namespace {
struct TReadState {
    const Bytes* File;
    size_t Pos;
    char Message[256];
};

void ReadData(png_structp png, png_bytep out, png_size_t count) {
    auto* s = static_cast<TReadState*>(png_get_io_ptr(png));
    if (s->File->size() - s->Pos < count) png_error(png, "read past the end");
    std::memcpy(out, s->File->data() + s->Pos, count);
    s->Pos += count;
}

void OnError(png_structp png, png_const_charp msg) {
    auto* s = static_cast<TReadState*>(png_get_io_ptr(png));
    std::snprintf(s->Message, sizeof s->Message, "%s", msg);
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

// Only plain data lives in this frame: longjmp skips no destructor.
bool Decode(TReadState* state, TRefImage* out, bool withAlpha, std::vector<png_bytep>* rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state, OnError, OnWarning);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, state, ReadData);
    png_read_info(png, info);
    png_set_strip_16(png);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    if (withAlpha)
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    else
        png_set_strip_alpha(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out->Width = static_cast<int>(png_get_image_width(png, info));
    out->Height = static_cast<int>(png_get_image_height(png, info));
    size_t rowBytes = png_get_rowbytes(png, info);
    size_t channels = withAlpha ? 4 : 3;
    if (rowBytes != channels * out->Width) png_error(png, "unexpected row size");
    out->RGB.assign(rowBytes * out->Height, 0);
    rows->resize(out->Height);
    for (int y = 0; y < out->Height; ++y)
        (*rows)[y] = out->RGB.data() + y * rowBytes;
    png_read_image(png, rows->data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}
} // namespace

bool DecodeWithLibpng(const Bytes& file, TRefImage& out, bool withAlpha) {
    TReadState state{&file, 0, {}};
    std::vector<png_bytep> rows;
    out = TRefImage{};
    if (!Decode(&state, &out, withAlpha, &rows)) {
        out.Error = state.Message;
        return false;
    }
    if (withAlpha) {
        Bytes rgba;
        rgba.swap(out.RGB);
        size_t n = static_cast<size_t>(out.Width) * out.Height;
        out.RGB.resize(3 * n);
        out.Alpha.resize(n);
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(&out.RGB[3 * i], &rgba[4 * i], 3);
            out.Alpha[i] = rgba[4 * i + 3];
        }
    }
    return true;
}

void GammaTable(uint32_t g, uint8_t table[256]) {
    for (int i = 0; i < 256; ++i) {
        if (g == 0) {
            table[i] = static_cast<uint8_t>(i);
            continue;
        }
        double v = 255.0 * std::pow(i / 255.0, 1.0 / (g / 100000.0 * 2.2));
        table[i] = static_cast<uint8_t>(std::nearbyint(v));
    }
}

} // namespace pngtest
