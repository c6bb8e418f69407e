// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/ConvertOptions.h"

#include "base/StrUtils.h"

#include <algorithm>
#include <cstdio>

std::string DestinationExtension(int destinationIndex) {
    switch (destinationIndex) {
    case dfBitmap:
        return ".bmp";
    case dfJPEG:
        return ".jpg";
    case dfGIF:
        return ".gif";
    case dfWMF:
        return ".wmf";
    case dfEMF:
        return ".emf";
    case dfPNG:
        return ".png";
    case dfWebP:
        return ".webp";
    case dfAVIF:
        return ".avif";
    case dfJXL:
        return ".jxl";
    default:
        return "";
    }
}

std::string DestinationExtension(std::optional<TDestinationFormat> destination) {
    return destination ? DestinationExtension(static_cast<int>(*destination)) : std::string();
}

uint8_t JPEGQualityFromText(const std::string& text) {
    // Only the low 8 bits are kept, as the quality setting is one byte wide.
    return static_cast<uint8_t>(static_cast<uint32_t>(StrToIntDef(text, 100)) & 0xFF);
}

int QualityFromText(const std::string& text) {
    return std::clamp<int>(JPEGQualityFromText(text), 1, 100);
}

std::optional<TDestinationFormat> DestinationFromIndex(int32_t index) {
    if (index < dfBitmap || index > dfJXL) return std::nullopt;
    return static_cast<TDestinationFormat>(index);
}

TPixelFormat PixelFormatFromIndex(int32_t index) {
    if (index < pfDevice || index >= pfCustom) return pfCustom;
    return static_cast<TPixelFormat>(index);
}

std::optional<TColorReduction> ColorReductionFromIndex(int32_t index) {
    if (index < ReduceNone || index > ReduceBest) return std::nullopt;
    return static_cast<TColorReduction>(index);
}

bool StretchModeFromIndex(int32_t index, TStretchMode& mode) {
    if (index < smPixels || index > smFitInside) return false;
    mode = static_cast<TStretchMode>(index);
    return true;
}

std::optional<int32_t> SideFromText(const std::string& text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value)) return std::nullopt;
    return value;
}

std::string SideText(std::optional<int32_t> side) {
    return side ? std::to_string(*side) : std::string();
}

bool ParseBackgroundColor(const std::string& text, uint32_t& rgb) {
    const std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (digits.size() != 6) return false;
    uint32_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    rgb = v;
    return true;
}

std::string BackgroundColorText(uint32_t rgb) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06X", rgb & 0xFFFFFF);
    return text;
}

const char* ResampleModeName(int mode) {
    return mode == rmNearest ? "nearest" : "smooth";
}

bool ParseResampleMode(const std::string& text, TResampleMode& mode) {
    const std::string name = AsciiLower(text);
    if (name == "smooth")
        mode = rmSmooth;
    else if (name == "nearest")
        mode = rmNearest;
    else
        return false;
    return true;
}
namespace {
// The highest destination index there is; the list has no gaps below it.
constexpr int LastDestinationIndex = dfJXL;

struct TDestinationAlias {
    const char* Alias;
    int Index;
};
const TDestinationAlias DestinationAliases[] = {
    {"jpeg", dfJPEG}, {"jpe", dfJPEG}, {"jfif", dfJPEG}, {"dib", dfBitmap}};
} // namespace

int DestinationIndexFromSwitch(const std::string& value) {
    std::string wanted = AsciiLower(value);
    if (!wanted.empty() && wanted[0] == '.') wanted.erase(0, 1);
    if (wanted.empty()) return -1;
    for (int i = 0; i <= LastDestinationIndex; ++i)
        if (DestinationExtension(i) == "." + wanted) return i;
    for (const TDestinationAlias& alias : DestinationAliases)
        if (wanted == alias.Alias) return alias.Index;
    return -1;
}

std::string AcceptedDestinationFormats() {
    std::string text;
    for (int i = 0; i <= LastDestinationIndex; ++i) {
        if (i > 0) text += i == LastDestinationIndex ? " or " : ", ";
        text += DestinationExtension(i).substr(1);
    }
    return text;
}
