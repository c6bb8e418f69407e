// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ImageEncoder.h"

#include <algorithm>

int ClampQuality(int quality) {
    return std::clamp(quality, 1, 100);
}

void SaveEncodedFile(TImageEncoder& encoder, const TBitmap& bitmap, const TImageMetadata& metadata,
                     const std::string& fileName) {
    TAtomicFileStream out(fileName);
    encoder.Encode(bitmap, metadata, out);
    out.Commit();
}
