// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: any bytes, under any registered extension, through the
// whole conversion to every destination format.
#include "base/Exceptions.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "toolkit/Picture.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct TFixture {
    std::string Folder;
    std::vector<std::string> Extensions;
    TImageConverter Converter;
    TFixture() {
        RegisterImageFormats();
        for (const auto& f : TPicture::Formats())
            Extensions.push_back(f.Extension);
        char tmpl[] = "/tmp/trevasco-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (!made) std::abort();
        Folder = made;
        SetPixelLimit(int64_t(1) << 20);
        Converter.BeforeRun();
    }
};

TFixture& Fixture() {
    static TFixture f;
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    TFixture& f = Fixture();
    const std::string& ext = f.Extensions[data[0] % f.Extensions.size()];
    std::string src = f.Folder + "/in." + ext;
    if (FILE* out = std::fopen(src.c_str(), "wb")) {
        std::fwrite(data + 3, 1, size - 3, out);
        std::fclose(out);
    }
    TConvertOptions o;
    o.Destination = DestinationFromIndex(data[1] % 6);
    o.PixelFormat = PixelFormatFromIndex(data[2] % 8);
    o.ColorReduction = ColorReductionFromIndex((data[2] >> 3) % 9);
    o.Quality = QualityFromText(std::to_string(data[2]));
    o.Metadata = static_cast<TMetadataMode>((data[1] >> 3) % 3);
    // Small destinations keep the writers fast; the proportional side may still be refused.
    o.Resize = true;
    o.UseWidth = true;
    o.Width = SideFromText("40");
    o.UseHeight = (data[1] & 0x80) != 0;
    o.Height = SideFromText("30");
    // The picture options: resampling, orientation, background, size modes.
    o.Resample = (data[1] & 0x40) ? rmNearest : rmSmooth;
    o.AutoRotate = (data[1] & 0x20) == 0;
    o.Background = (data[1] & 0x10) ? 0x204080 : 0xFFFFFF;
    o.StretchMode = (data[1] & 0x08) ? smFitInside : smPixels;
    o.ShrinkOnly = (data[2] & 0x80) != 0;
    // The watermark on every other extension index, at a place and turn of its own.
    o.Watermark.Enabled = (data[0] / f.Extensions.size()) % 2 == 1;
    o.Watermark.Text = "Fuzz \xC2\xA9 \xD0\x98";
    o.Watermark.Font.Name = "DejaVu Sans";
    o.Watermark.Font.Size = 6 + data[2] % 20;
    o.Watermark.Alignment = data[1] % 3;
    o.Watermark.Position = (data[1] / 3) % 3;
    o.Watermark.Rotate = true;
    o.Watermark.Angle = data[2] * 7;
    std::string dst = f.Folder + "/out" + DestinationExtension(o.Destination);
    try {
        f.Converter.ConvertFile(src, dst, o);
    } catch (const Exception&) {
    }
    std::remove(dst.c_str());
    return 0;
}
