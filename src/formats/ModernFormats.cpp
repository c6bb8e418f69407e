// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ModernFormats.h"

#include "formats/FileFormatList.h"
#include "formats/HEIFGraphic.h"
#include "formats/JXLGraphic.h"
#include "formats/WebPGraphic.h"

void RegisterModernFormats() {
    if (!FormatRegistry) return;
    struct TRow {
        const char* Extension;
        const char* Common;
        const char* Individual;
        TGraphicClass Class;
        TFormatKinds Kinds;
    };
    const TRow rows[] = {
        {"webp", "WebP images", "", TWebPGraphic::StaticClass(), fkRaster | fkAnimated},
        {"heic", "HEIF images", "HEIC images", THEIFGraphic::StaticClass(), fkRaster | fkMultiPage},
        {"heif", "", "HEIF images", THEIFGraphic::StaticClass(), fkRaster | fkMultiPage},
        {"hif", "", "HEIF images", THEIFGraphic::StaticClass(), fkRaster | fkMultiPage},
        {"avif", "", "AVIF images", THEIFGraphic::StaticClass(), fkRaster | fkAnimated},
        {"jxl", "JPEG XL images", "", TJXLGraphic::StaticClass(), fkRaster | fkAnimated},
    };
    for (const TRow& r : rows)
        FormatRegistry->AddFormat(r.Extension, r.Common, r.Individual, r.Kinds, true, r.Class);
}

void UnregisterModernFormats() {
    if (!FormatRegistry) return;
    for (TGraphicClass c :
         {TJXLGraphic::StaticClass(), THEIFGraphic::StaticClass(), TWebPGraphic::StaticClass()})
        FormatRegistry->RemoveFormat("", c);
}
