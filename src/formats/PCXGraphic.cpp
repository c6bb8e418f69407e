#include "formats/PCXGraphic.h"

TREVASCO_GRAPHIC_CLASS(TPCXGraphic, TReaderGraphic)

bool TPCXGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    return TReaderGraphic::ReadProperties(memory, imageIndex, size) && false;
}

void TPCXGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadFromMemory(memory, imageIndex, size);
    throw EInvalidGraphic("PCX files are not supported yet");
}
