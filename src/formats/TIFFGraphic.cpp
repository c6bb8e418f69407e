#include "formats/TIFFGraphic.h"

#include "util/StrUtils.h"

TREVASCO_GRAPHIC_CLASS(TTIFFGraphic, TReaderGraphic)

void InstallTIFFHandlers() {}

bool TTIFFGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    return TReaderGraphic::ReadProperties(memory, imageIndex, size) && false;
}

void TTIFFGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadFromMemory(memory, imageIndex, size);
    throw EInvalidGraphic("TIFF files are not supported yet");
}
