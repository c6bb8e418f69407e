// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target of the metadata path: EXIF blocks, XMP packets and TIFF
// files through the Exiv2 editor, JPEG metadata segments through the
// collector, and ICC profiles through Little CMS. The first byte picks the
// path and the edit; nothing may crash, leak or throw out.
#include "formats/MetadataEditor.h"
#include "jpeg/JPEGMetadata.h"
#include "toolkit/ColorProfile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    const std::string block(reinterpret_cast<const char*>(data) + 1, size - 1);
    TMetadataEdit edit;
    edit.Mode = static_cast<TMetadataMode>((selector >> 3) % 3);
    edit.Upright = selector & 0x20;
    edit.Width = selector & 0x40 ? 640 : 0;
    edit.Height = selector & 0x40 ? 70000 : 0;
    switch (selector & 7) {
    case 0:
        EditExif(block, edit);
        break;
    case 1:
        EditXmp(block, edit);
        break;
    case 2:
        ExifFromTIFF(data + 1, size - 1);
        break;
    case 3: {
        // Segments: marker byte, 16-bit length, payload.
        TJPEGMetadataCollector collector;
        size_t i = 1;
        while (i + 3 <= size) {
            const int marker = 0xE0 | (data[i] & 0x1F);
            const size_t length = static_cast<size_t>(data[i + 1]) << 8 | data[i + 2];
            i += 3;
            const size_t n = length < size - i ? length : size - i;
            collector.Add(marker == 0xFF ? JPEGMarkerCOM : marker, data + i, n);
            i += n;
        }
        TImageMetadata m;
        collector.Finish(m);
        EditMetadata(m, edit);
        JPEGMetadataSegments(m);
        break;
    }
    default: {
        static const TProfilePixels inputs[] = {ppBGR, ppBGRX, ppGrayInBGR, ppCMYK, ppInvertedCMYK};
        auto t = TProfileTransform::ToSRGB(block, inputs[(selector >> 3) % 5], ppBGRX);
        if (t) {
            uint8_t pixels[64 * 4];
            for (size_t i = 0; i < sizeof pixels; ++i)
                pixels[i] = static_cast<uint8_t>(i * 37);
            uint8_t out[64 * 4];
            t->Convert(pixels, out, 64);
        }
        break;
    }
    }
    return 0;
}
