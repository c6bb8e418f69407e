// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the bundled sample images: every source format the program reads and
// can make, each with its own base name so converting them all into one folder
// gives one file per sample. tools/make-samples runs it.
#include "base/Streams.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "formats/HEIFGraphic.h"
#include "formats/ImageEncoder.h"
#include "gif/GIFImage.h"
#include "jpeg/JPEGImage.h"
#include "metafile/Metafile.h"
#include "png/PNGImage.h"
#include "toolkit/Bitmap.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <libheif/heif.h>
#include <stdexcept>
#include <tiffio.h>

namespace fs = std::filesystem;

namespace {

constexpr int SampleW = 64, SampleH = 48;

// A small scene: sky gradient, a sun, a hill and a dark frame line.
TBitmap Scene() {
    TBitmap b(SampleW, SampleH, pf24bit);
    for (int y = 0; y < SampleH; ++y)
        for (int x = 0; x < SampleW; ++x) {
            int r = 60 + y * 2, g = 120 + y * 2, bl = 230;
            int dx = x - 46, dy = y - 12;
            if (dx * dx + dy * dy < 64) r = 255, g = 210, bl = 40;
            double hill = 34 - 8 * std::sin(x / 10.0);
            if (y > hill) r = 40, g = 140 - (y - 30), bl = 50;
            if (x == 0 || y == 0 || x == SampleW - 1 || y == SampleH - 1) r = g = bl = 20;
            b.SetPixel(x, y,
                       RGBColor(static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                                static_cast<uint8_t>(bl)));
        }
    return b;
}

void Put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

// An 8-bit run-length encoded bitmap of the scene, mapped to the 16-colour palette.
std::vector<uint8_t> RleBitmap(const TBitmap& scene) {
    TBitmap indexed(scene);
    indexed.SetPixelFormat(pf4bit);
    std::vector<uint8_t> pixels;
    for (int y = SampleH - 1; y >= 0; --y) {
        const uint8_t* row = indexed.ScanLine(y);
        int x = 0;
        while (x < SampleW) {
            uint8_t v = (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
            int run = 1;
            while (x + run < SampleW && run < 255 &&
                   ((row[(x + run) / 2] >> ((x + run) % 2 ? 0 : 4)) & 15) == v)
                ++run;
            pixels.push_back(static_cast<uint8_t>(run));
            pixels.push_back(v);
            x += run;
        }
        pixels.push_back(0);
        pixels.push_back(y == 0 ? 1 : 0);
    }
    std::vector<uint8_t> f{'B', 'M'};
    uint32_t offset = 14 + 40 + 16 * 4;
    Put32(f, offset + static_cast<uint32_t>(pixels.size()));
    Put32(f, 0);
    Put32(f, offset);
    Put32(f, 40);
    Put32(f, SampleW);
    Put32(f, SampleH);
    Put16(f, 1);
    Put16(f, 8);
    Put32(f, 1); // BI_RLE8
    Put32(f, static_cast<uint32_t>(pixels.size()));
    Put32(f, 0);
    Put32(f, 0);
    Put32(f, 16);
    Put32(f, 0);
    const TPalette& pal = SystemPalette16();
    for (int i = 0; i < 16; ++i) {
        f.push_back(pal[i].Blue);
        f.push_back(pal[i].Green);
        f.push_back(pal[i].Red);
        f.push_back(0);
    }
    f.insert(f.end(), pixels.begin(), pixels.end());
    return f;
}

// A version 5 PCX: one plane of 8 bits, run-length coded, with the 256-colour palette at the end.
std::vector<uint8_t> Pcx(const TBitmap& scene) {
    TBitmap indexed(scene);
    indexed.SetPixelFormat(pf8bit);
    std::vector<uint8_t> f(128, 0);
    f[0] = 10;
    f[1] = 5;
    f[2] = 1;
    f[3] = 8;
    auto set16 = [&](size_t o, unsigned v) {
        f[o] = static_cast<uint8_t>(v);
        f[o + 1] = static_cast<uint8_t>(v >> 8);
    };
    set16(8, SampleW - 1);
    set16(10, SampleH - 1);
    set16(12, 72);
    set16(14, 72);
    f[65] = 1;
    set16(66, SampleW);
    set16(68, 1);
    for (int y = 0; y < SampleH; ++y) {
        const uint8_t* row = indexed.ScanLine(y);
        int x = 0;
        while (x < SampleW) {
            int run = 1;
            while (x + run < SampleW && run < 63 && row[x + run] == row[x])
                ++run;
            if (run > 1 || row[x] >= 0xC0) f.push_back(static_cast<uint8_t>(0xC0 | run));
            f.push_back(row[x]);
            x += run;
        }
    }
    f.push_back(12);
    const TPalette& pal = indexed.Palette();
    for (int i = 0; i < 256; ++i) {
        f.push_back(pal[i].Red);
        f.push_back(pal[i].Green);
        f.push_back(pal[i].Blue);
    }
    return f;
}

void WriteTiff(const std::string& path, const TBitmap& scene) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) throw std::runtime_error("cannot write " + path);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, SampleW);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, SampleH);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_PREDICTOR, 2);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<uint8_t> row(SampleW * 3);
    for (int y = 0; y < SampleH; ++y) {
        for (int x = 0; x < SampleW; ++x) {
            TColor c = scene.Pixel(x, y);
            row[x * 3] = GetRValue(c);
            row[x * 3 + 1] = GetGValue(c);
            row[x * 3 + 2] = GetBValue(c);
        }
        TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(t);
}

void Check(heif_error e, const std::string& what) {
    if (e.code != heif_error_Ok) throw std::runtime_error(what + ": " + e.message);
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
    TFileStream out(path, TFileMode::fmCreate);
    out.WriteBuffer(data.data(), data.size());
}

// A HEIC file of the scene made by libheif's own HEVC encoder (we write no HEIC ourselves).
void WriteHeic(const std::string& path, const TBitmap& scene) {
    EnsureHeifInitialised();
    heif_context* ctx = heif_context_alloc();
    heif_encoder* enc = nullptr;
    Check(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc), "no HEVC encoder");
    heif_encoder_set_lossy_quality(enc, 80);
    heif_image* img = nullptr;
    heif_image_create(SampleW, SampleH, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &img);
    heif_image_add_plane(img, heif_channel_interleaved, SampleW, SampleH, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    for (int y = 0; y < SampleH; ++y)
        for (int x = 0; x < SampleW; ++x) {
            TColor c = scene.Pixel(x, y);
            uint8_t* p = plane + y * stride + x * 3;
            p[0] = GetRValue(c);
            p[1] = GetGValue(c);
            p[2] = GetBValue(c);
        }
    Check(heif_context_encode_image(ctx, img, enc, nullptr, nullptr), "HEVC encoding failed");
    Check(heif_context_write_to_file(ctx, path.c_str()), "cannot write " + path);
    heif_image_release(img);
    heif_encoder_release(enc);
    heif_context_free(ctx);
}

// Every sample has its own base name, so converting them all into one folder
// gives one file per sample.
void MakeSamples(const std::string& folder) {
    fs::create_directories(folder);
    TBitmap scene = Scene();
    scene.SaveToFile(folder + "/bmp-scene.bmp");
    scene.SaveToFile(folder + "/dib-scene.dib");
    TBitmap eight(scene);
    eight.SetPixelFormat(pf8bit);
    eight.SaveToFile(folder + "/bmp8-scene.bmp");
    TBitmap mono(scene);
    mono.SetPixelFormat(pf1bit);
    mono.SaveToFile(folder + "/bmp1-scene.bmp");
    WriteFileBytes(folder + "/rle-scene.rle", RleBitmap(scene));
    WriteFileBytes(folder + "/ico-logo.ico", MakeIconFile());
    WriteFileBytes(folder + "/pcx-scene.pcx", Pcx(scene));
    WriteTiff(folder + "/tif-scene.tif", scene);

    TJPEGImage jpeg;
    jpeg.Assign(scene);
    jpeg.CompressionQuality = 85;
    jpeg.SaveToFile(folder + "/jpg-scene.jpg");
    TJPEGImage grey;
    grey.Assign(scene);
    grey.Grayscale = true;
    grey.SaveToFile(folder + "/jpg-grey.jpg");

    TPNGImage png;
    png.Assign(scene);
    png.SaveToFile(folder + "/png-scene.png");
    TGIFImage gif;
    gif.Assign(scene);
    gif.SaveToFile(folder + "/gif-scene.gif");

    // Today's formats through our own writers (HEIC through libheif).
    TEncoderSettings settings;
    settings.Quality = 85;
    TWebPEncoder webp(settings);
    SaveEncodedFile(webp, scene, TImageMetadata(), folder + "/webp-scene.webp");
    TAVIFEncoder avif(settings);
    SaveEncodedFile(avif, scene, TImageMetadata(), folder + "/avif-scene.avif");
    TJXLEncoder jxl(settings);
    SaveEncodedFile(jxl, scene, TImageMetadata(), folder + "/jxl-scene.jxl");
    WriteHeic(folder + "/heic-scene.heic", scene);

    // A vector drawing: a few filled boxes, in both metafile forms.
    TMetafile drawing;
    {
        TMetafileCanvas canvas(drawing, "Trevasco", "samples");
        const std::pair<TRect, TColor> boxes[] = {
            {Rect(0, 0, 320, 240), RGBColor(240, 240, 220)},
            {Rect(20, 20, 150, 120), RGBColor(200, 30, 30)},
            {Rect(120, 80, 300, 220), RGBColor(30, 90, 200)},
            {Rect(60, 150, 110, 230), RGBColor(20, 160, 60)},
        };
        for (const auto& [r, c] : boxes) {
            canvas.BrushColor = c;
            canvas.FillRect(r);
        }
    }
    drawing.SetEnhanced(true);
    drawing.SaveToFile(folder + "/emf-drawing.emf");
    drawing.SaveToFile(folder + "/wmf-drawing.wmf");
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples <folder>\n");
        return 2;
    }
    try {
        RegisterImageFormats();
        MakeSamples(argv[1]);
        UnregisterImageFormats();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_samples: %s\n", e.what());
        return 1;
    }
    return 0;
}
