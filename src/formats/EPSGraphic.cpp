#include "formats/EPSGraphic.h"

TREVASCO_GRAPHIC_CLASS(TEPSGraphic, TTIFFGraphic)

void TEPSGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadFromMemory(memory, imageIndex, size);
    throw EInvalidGraphic("EPS files are not supported yet");
}
