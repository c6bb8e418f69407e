// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/ConvertTestSupport.h"

#include "base/Streams.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

TBitmap MakeTestPicture(int width, int height, TPixelFormat format) {
    TBitmap b(width, height, pf24bit);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            uint8_t r = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
            uint8_t g = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
            uint8_t bl = static_cast<uint8_t>((x / 8 + y / 8) % 2 ? 200 : 40);
            row[x * 3 + 0] = bl;
            row[x * 3 + 1] = g;
            row[x * 3 + 2] = r;
        }
    }
    if (format != pf24bit) b.SetPixelFormat(format);
    return b;
}

void WriteBmp(const std::string& path, int width, int height) {
    TBitmap b = MakeTestPicture(width, height);
    b.SaveToFile(path);
}

namespace {
struct TRefError {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};
extern "C" void RefErrorExit(j_common_ptr c) {
    std::longjmp(reinterpret_cast<TRefError*>(c->err)->Jump, 1);
}
extern "C" void RefEmit(j_common_ptr, int) {}

struct TRefState {
    jpeg_decompress_struct Info;
    TRefError Err;
    std::vector<uint8_t>* Out;
    TReferenceJPEG* Result;
    const std::vector<uint8_t>* Data;
};

// Plain C-style body: the jump target frame owns nothing with a destructor.
bool RefDecode(TRefState& s) {
    if (setjmp(s.Err.Jump)) return false;
    jpeg_create_decompress(&s.Info);
    jpeg_mem_src(&s.Info, s.Data->data(), static_cast<unsigned long>(s.Data->size()));
    jpeg_read_header(&s.Info, TRUE);
    s.Result->Components = s.Info.num_components;
    s.Result->AdobeMarker = s.Info.saw_Adobe_marker;
    if (s.Info.quant_tbl_ptrs[0])
        for (int i = 0; i < 64; ++i)
            s.Result->LumaTable[i] = s.Info.quant_tbl_ptrs[0]->quantval[i];
    if (s.Info.jpeg_color_space == JCS_CMYK || s.Info.jpeg_color_space == JCS_YCCK)
        s.Info.out_color_space = JCS_CMYK;
    else if (s.Info.jpeg_color_space != JCS_GRAYSCALE)
        s.Info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&s.Info);
    s.Result->Width = static_cast<int>(s.Info.output_width);
    s.Result->Height = static_cast<int>(s.Info.output_height);
    s.Result->OutputComponents = s.Info.output_components;
    size_t stride = static_cast<size_t>(s.Info.output_width) * s.Info.output_components;
    s.Out->resize(stride * s.Info.output_height);
    while (s.Info.output_scanline < s.Info.output_height) {
        JSAMPROW row = s.Out->data() + stride * s.Info.output_scanline;
        jpeg_read_scanlines(&s.Info, &row, 1);
    }
    jpeg_finish_decompress(&s.Info);
    return true;
}
} // namespace

TReferenceJPEG DecodeWithLibjpeg(const std::vector<uint8_t>& data) {
    TReferenceJPEG r;
    TRefState s;
    std::memset(&s.Info, 0, sizeof s.Info);
    s.Info.err = jpeg_std_error(&s.Err.Pub);
    s.Err.Pub.error_exit = RefErrorExit;
    s.Err.Pub.emit_message = RefEmit;
    s.Out = &r.Pixels;
    s.Result = &r;
    s.Data = &data;
    r.Ok = RefDecode(s);
    if (!r.Ok) r.ErrorCode = s.Err.Pub.msg_code;
    jpeg_destroy_decompress(&s.Info);
    return r;
}

std::vector<uint16_t> LibjpegLumaTable(int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    c.in_color_space = JCS_RGB;
    c.input_components = 3;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    std::vector<uint16_t> t(c.quant_tbl_ptrs[0]->quantval, c.quant_tbl_ptrs[0]->quantval + 64);
    jpeg_destroy_compress(&c);
    return t;
}

static uint32_t Le32(const std::vector<uint8_t>& f, size_t o) {
    return f[o] | (f[o + 1] << 8) | (f[o + 2] << 16) | (static_cast<uint32_t>(f[o + 3]) << 24);
}

TBmpHeader ReadBmpHeader(const std::vector<uint8_t>& f) {
    TBmpHeader h;
    if (f.size() < 54 || f[0] != 'B' || f[1] != 'M') return h;
    h.FileSize = Le32(f, 2);
    h.DataOffset = Le32(f, 10);
    h.HeaderSize = Le32(f, 14);
    h.Width = static_cast<int32_t>(Le32(f, 18));
    h.Height = static_cast<int32_t>(Le32(f, 22));
    h.Bits = static_cast<uint16_t>(f[28] | (f[29] << 8));
    h.Compression = Le32(f, 30);
    h.ColorsUsed = Le32(f, 46);
    return h;
}

namespace {
void Put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}
} // namespace

std::vector<uint8_t> IconFileOfOneEntry(int size, int bitCount, const std::vector<uint8_t>& entry) {
    std::vector<uint8_t> f;
    Put16(f, 0);
    Put16(f, 1); // an icon
    Put16(f, 1); // one entry
    f.push_back(static_cast<uint8_t>(size));
    f.push_back(static_cast<uint8_t>(size));
    f.push_back(0);
    f.push_back(0);
    Put16(f, 1);
    Put16(f, static_cast<unsigned>(bitCount));
    Put32(f, static_cast<uint32_t>(entry.size()));
    Put32(f, 22); // the entry follows the directory
    f.insert(f.end(), entry.begin(), entry.end());
    return f;
}

// A 32 x 32 icon of 24-bit colour whose AND mask leaves the corners outside a circle.
std::vector<uint8_t> MakeIconFile() {
    const int n = 32;
    std::vector<uint8_t> image;
    Put32(image, 40);
    Put32(image, n);
    Put32(image, n * 2);
    Put16(image, 1);
    Put16(image, 24);
    for (int i = 0; i < 6; ++i)
        Put32(image, 0);
    // Outside the circle the colour image is black, as icon makers store it.
    auto outside = [](int x, int y) {
        int dx = 2 * x - 31, dy = 2 * y - 31;
        return dx * dx + dy * dy > 31 * 31;
    };
    for (int y = n - 1; y >= 0; --y)
        for (int x = 0; x < n; ++x) {
            bool o = outside(x, y);
            image.push_back(o ? 0 : static_cast<uint8_t>(40 + x * 6)); // blue
            image.push_back(o ? 0 : static_cast<uint8_t>(200 - y * 4));
            image.push_back(o ? 0 : 250);
        }
    for (int y = n - 1; y >= 0; --y) {
        uint8_t bits[4] = {};
        for (int x = 0; x < n; ++x)
            if (outside(x, y)) bits[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        image.insert(image.end(), bits, bits + 4);
    }
    return IconFileOfOneEntry(n, 24, image);
}
