// SPDX-License-Identifier: GPL-3.0-or-later
// TIcon: a Windows icon (.ico) or cursor (.cur). Of the entries in the file
// it keeps the one a user converting the icon wants: the largest, then the
// deepest. PNG-compressed entries are decoded by whatever class TPicture has
// registered for "png".
#pragma once

#include "toolkit/Bitmap.h"
#include "toolkit/Graphic.h"

#include <cstdint>
#include <vector>

class TIcon : public TGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    TIcon();

    int Width() const override { return FImage.Width(); }
    int Height() const override { return FImage.Height(); }
    // An icon's size is that of its entry: "Cannot change the size of an icon".
    void SetWidth(int value) override;
    void SetHeight(int value) override;

    void LoadFromStream(TStream& stream) override;
    void LoadFromMemory(const uint8_t* data, size_t size);
    // Writes the kept entry, unchanged, as a one-entry .ico file.
    void SaveToStream(TStream& stream) override;
    void Assign(const TGraphic& source) override;
    // Blends by alpha (32-bit and PNG entries) or applies the AND mask and XOR image.
    void Draw(TCanvas& canvas, const TRect& rect) override;

    // The kept entry: its colours (32 bits with straight alpha in the fourth
    // byte when HasAlpha()), its AND mask (1 = leave the target) and its depth.
    const TBitmap& Image() const { return FImage; }
    const TBitmap& Mask() const { return FMask; }
    bool HasAlpha() const { return FHasAlpha; }
    int BitsPerPixel() const { return FBits; }

private:
    void LoadBmpEntry(const uint8_t* entry, size_t size);
    void LoadPngEntry(const uint8_t* entry, size_t size);

    TBitmap FImage;
    TBitmap FMask;
    bool FHasAlpha = false;
    int FBits = 0;
    std::vector<uint8_t> FEntryData; // the kept entry's bytes, for saving
};
