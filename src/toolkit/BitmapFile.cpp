#include "toolkit/Bitmap.h"
#include "toolkit/Exceptions.h"

// Being replaced by the full BMP codec.
void LoadBitmapFile(TBitmap&, const uint8_t*, size_t) { throw EInvalidGraphic("Bitmap image is not valid"); }
void SaveBitmapFile(const TBitmap&, TStream&) { throw EInvalidGraphic("Bitmap image is not valid"); }
