// SPDX-License-Identifier: GPL-3.0-or-later
#include "GifTestSupport.h"

#include <gif_lib.h>

#include <cstring>

namespace {
struct TSource {
    const std::vector<uint8_t>* Data;
    size_t Pos;
};
int ReadFunc(GifFileType* gif, GifByteType* buf, int n) {
    auto* s = static_cast<TSource*>(gif->UserData);
    const size_t left = s->Data->size() - s->Pos;
    const size_t take = std::min(left, static_cast<size_t>(n));
    std::memcpy(buf, s->Data->data() + s->Pos, take);
    s->Pos += take;
    return static_cast<int>(take);
}
} // namespace

TRefImage GiflibDecode(const std::vector<uint8_t>& data) {
    TRefImage result;
    TSource src{&data, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&src, ReadFunc, &error);
    if (!gif) return result;
    if (DGifSlurp(gif) == GIF_OK) {
        result.Ok = true;
        result.Width = gif->SWidth;
        result.Height = gif->SHeight;
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& s = gif->SavedImages[i];
            TRefFrame f;
            f.Left = s.ImageDesc.Left;
            f.Top = s.ImageDesc.Top;
            f.Width = s.ImageDesc.Width;
            f.Height = s.ImageDesc.Height;
            f.Interlaced = s.ImageDesc.Interlace;
            if (s.RasterBits)
                f.Pixels.assign(s.RasterBits,
                                s.RasterBits + static_cast<size_t>(f.Width) * f.Height);
            const ColorMapObject* map =
                s.ImageDesc.ColorMap ? s.ImageDesc.ColorMap : gif->SColorMap;
            if (map)
                for (int c = 0; c < map->ColorCount; ++c)
                    f.Colors.push_back(
                        {map->Colors[c].Red, map->Colors[c].Green, map->Colors[c].Blue});
            result.Frames.push_back(std::move(f));
        }
    }
    DGifCloseFile(gif, &error);
    return result;
}

std::vector<uint8_t> PackCodes(const std::vector<std::pair<int, int>>& codes) {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (auto [code, width] : codes) {
        acc |= static_cast<uint32_t>(code) << bits;
        bits += width;
        while (bits >= 8) {
            out.push_back(static_cast<uint8_t>(acc));
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0) out.push_back(static_cast<uint8_t>(acc));
    return out;
}

std::vector<uint8_t> SubBlocks(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    for (size_t pos = 0; pos < data.size(); pos += 255) {
        const size_t n = std::min<size_t>(255, data.size() - pos);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<long>(pos),
                   data.begin() + static_cast<long>(pos + n));
    }
    out.push_back(0);
    return out;
}

std::vector<std::pair<int, int>> ListCodes(const std::vector<uint8_t>& stream) {
    std::vector<std::pair<int, int>> codes;
    const int s = stream.at(0);
    std::vector<uint8_t> data;
    size_t pos = 1;
    while (pos < stream.size() && stream[pos] != 0) {
        const int n = stream[pos];
        data.insert(data.end(), stream.begin() + static_cast<long>(pos + 1),
                    stream.begin() + static_cast<long>(pos + 1 + n));
        pos += 1 + n;
    }
    const int clear = 1 << s, eoi = clear + 1;
    int width = s + 1, next = clear + 2;
    bool first = true;
    size_t bit = 0;
    while (bit + width <= data.size() * 8) {
        int code = 0;
        for (int i = 0; i < width; ++i, ++bit)
            code |= ((data[bit >> 3] >> (bit & 7)) & 1) << i;
        codes.push_back({code, width});
        if (code == eoi) break;
        if (code == clear) {
            width = s + 1;
            next = clear + 2;
            first = true;
            continue;
        }
        if (!first && next < 4096) {
            ++next;
            if (next == (1 << width) && width < 12) ++width;
        }
        first = false;
    }
    return codes;
}

std::vector<uint8_t> SaveGIF(TGIFImage& image) {
    TMemoryStream out;
    image.SaveToStream(out);
    return out.Data();
}

void LoadGIF(TGIFImage& image, const std::vector<uint8_t>& data,
             std::vector<std::string>* warnings) {
    if (warnings)
        image.WarningHandler = [warnings](TGIFImage*, int, const std::string& m) {
            warnings->push_back(m);
        };
    TMemoryStream in(data);
    image.LoadFromStream(in);
}
