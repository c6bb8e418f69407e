#include "formats/PSDGraphic.h"

TREVASCO_GRAPHIC_CLASS(TPSDGraphic, TReaderGraphic)

bool TPSDGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    return TReaderGraphic::ReadProperties(memory, imageIndex, size) && false;
}

void TPSDGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadFromMemory(memory, imageIndex, size);
    throw EInvalidGraphic("PSD files are not supported yet");
}
