// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/FormatStartup.h"

#include "formats/FileFormatList.h"
#include "formats/ModernFormats.h"
#include "formats/TIFFGraphic.h"
#include "gif/GIFImage.h"
#include "jpeg/JPEGImage.h"
#include "metafile/Metafile.h"
#include "png/PNGImage.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Icon.h"
#include "toolkit/Picture.h"

#include <cstdlib>

namespace {
bool GRegistered = false;
bool GCleanupInstalled = false;
} // namespace

void RegisterImageFormats() {
    if (GRegistered) return;
    GRegistered = true;
    // The toolkit's defaults come first, as the registry expects to withdraw them.
    TPicture::RegisterFileFormat("bmp", "Bitmaps", TBitmap::StaticClass());
    TPicture::RegisterFileFormat("ico", "Icons", TIcon::StaticClass());
    TPicture::RegisterFileFormat("wmf", "Metafiles", TMetafile::StaticClass());
    TPicture::RegisterFileFormat("emf", "Enhanced Metafiles", TMetafile::StaticClass());
    TPicture::RegisterFileFormat("jpg", "JPEG Image File", TJPEGImage::StaticClass());
    TPicture::RegisterFileFormat("jpeg", "JPEG Image File", TJPEGImage::StaticClass());

    TToolkitClasses classes;
    classes.Bitmap = TBitmap::StaticClass();
    classes.Icon = TIcon::StaticClass();
    classes.Metafile = TMetafile::StaticClass();
    classes.JPEG = TJPEGImage::StaticClass();
    CreateFormatRegistry(classes);
    RegisterModernFormats();

    RegisterPNGFormat();
    RegisterGIFFormat();
    InstallTIFFHandlers();
    // The registry must be emptied while the picture container's table still
    // exists; a handler installed now runs before that table is destroyed.
    if (!GCleanupInstalled) {
        GCleanupInstalled = true;
        std::atexit(UnregisterImageFormats);
    }
}

void UnregisterImageFormats() {
    if (!GRegistered) return;
    GRegistered = false;
    UnregisterModernFormats();
    DestroyFormatRegistry();
    UnregisterPNGFormat();
    TPicture::UnregisterGraphicClass(TGIFImage::StaticClass());
    TPicture::UnregisterGraphicClass(TJPEGImage::StaticClass());
    TPicture::UnregisterGraphicClass(TMetafile::StaticClass());
    TPicture::UnregisterGraphicClass(TIcon::StaticClass());
    TPicture::UnregisterGraphicClass(TBitmap::StaticClass());
}
