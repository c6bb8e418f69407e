#include "convert/ConvertOptions.h"

#include "util/StrUtils.h"

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

uint8_t JPEGQualityFromText(const std::string& text) {
    // Only the low 8 bits are kept, as the quality setting is one byte wide.
    return static_cast<uint8_t>(static_cast<uint32_t>(StrToIntDef(text, 100)) & 0xFF);
}
