// SPDX-License-Identifier: GPL-3.0-or-later
// TMetafile: Windows metafiles (WMF, with or without the placeable header) and
// enhanced metafiles (EMF). The picture is always held as an EMF recording: a
// WMF is converted to EMF records when it is read and back when it is written,
// so one player and one recorder serve both forms.
#pragma once

#include "toolkit/Canvas.h"
#include "toolkit/Graphic.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TMetafileCanvas;

// A font for one line of text in a metafile.
struct TMetafileFont {
    std::string Face;  // as chosen; playback maps it to an installed family
    int EmHeight = 16; // the em, in logical units (pixels of the recording)
    int Weight = 400;  // 700 is bold
    bool Italic = false, Underline = false, StrikeOut = false;
    int Escapement = 0; // the baseline's turn, tenths of a degree counter-clockwise
};

// The advance of a line along its baseline and the font's ascent and descent,
// in logical units, as playback lays the line out (the same spacing that
// TMetafileCanvas::TextOut records).
struct TTextExtent {
    double Advance = 0, Ascent = 0, Descent = 0;
};
TTextExtent MeasureMetafileText(const TMetafileFont& font, const std::string& utf8);

class TMetafile : public TGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    TMetafile();
    ~TMetafile() override;

    // On: saving writes EMF (unless the file name ends in ".wmf"); off: WMF.
    bool Enhanced() const { return FEnhanced; }
    void SetEnhanced(bool value) { FEnhanced = value; }

    // EMF: round(|frame width| x 96 / 2540) from the frame (0.01 mm); a
    // placeable WMF: its box x 96 / units per inch; a plain WMF: the extent of
    // its first SetWindowExt. While a recording canvas is open, setting a size
    // only keeps it as the pending size of the drawing.
    int Width() const override;
    int Height() const override;
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    bool Empty() const override { return FEmf.empty() || Width() == 0 || Height() == 0; }

    // Reads WMF (placeable or plain) or EMF; bad data raises EInvalidGraphic
    // "Invalid metafile" (every record length and count is checked).
    void LoadFromStream(TStream& stream) override;
    // EMF bytes as recorded when Enhanced, otherwise the WMF form.
    void SaveToStream(TStream& stream) override;
    // As SaveToStream, but a ".wmf" extension (any case) always gives the WMF form.
    void SaveToFile(const std::string& fileName) override;
    void Assign(const TGraphic& source) override;
    // On a raster canvas the records are played (rasterised with cairo) into
    // rect; pixels the metafile does not paint keep their colour. On a
    // recording canvas the records are replayed into the recording, placed in rect.
    void Draw(TCanvas& canvas, const TRect& rect) override;

    void Clear();

    // The picture as EMF bytes (empty when nothing is loaded).
    const std::vector<uint8_t>& EmfData() const { return FEmf; }
    // Replaces the picture with EMF bytes, which are checked as on loading.
    void SetEmfData(std::vector<uint8_t> emf);
    // The WMF form: 22-byte placeable header and the records converted from EMF.
    std::vector<uint8_t> WmfData() const;
    // The frame in 0.01 mm, as the EMF header gives it (or as derived for a WMF).
    TRect Frame() const { return FFrame; }
    // The description block's two texts ("" when absent).
    std::string Creator() const;
    std::string Description() const;

    // Pending drawing size while a recording canvas is open (0 when none).
    int PendingWidth() const { return FPendingWidth; }
    int PendingHeight() const { return FPendingHeight; }

private:
    friend class TMetafileCanvas;
    void TakeRecording(std::vector<uint8_t> emf);
    void ComputeSize();

    std::vector<uint8_t> FEmf;
    bool FEnhanced = true;
    TRect FFrame;
    int FWidth = 0, FHeight = 0;
    // Size from the WMF placeable header or window extent, in pixels (0: use the frame).
    int FWmfWidth = 0, FWmfHeight = 0;
    int FPendingWidth = 0, FPendingHeight = 0;
    TMetafileCanvas* FCanvas = nullptr;
};

// Records drawing as EMF records against the reference device (1920 x 1080
// pixels, 508 x 286 mm). The frame is the size set on the metafile while the
// canvas is open (its pixels at 96 dpi), else the whole reference surface; the
// description block is "creator\0description\0\0" (left out when both are
// empty). Close() hands the recording to the metafile; the destructor closes
// a canvas that is still open.
class TMetafileCanvas : public TCanvas {
public:
    TMetafileCanvas(TMetafile& target, const std::string& creator, const std::string& description);
    ~TMetafileCanvas() override;
    TMetafileCanvas(const TMetafileCanvas&) = delete;
    TMetafileCanvas& operator=(const TMetafileCanvas&) = delete;

    void FillRect(const TRect& r) override;
    void StretchBitmap(const TRect& dst, const TBitmap& src) override;
    void StretchBitmapMasked(const TRect& dst, const TBitmap& src, const TBitmap& mask) override;
    void StretchBitmapAndXor(const TRect& dst, const TBitmap& xorImage,
                             const TBitmap& andMask) override;
    void StretchBitmapAlpha(const TRect& dst, const TBitmap& src) override;

    // One line of UTF-8 text whose baseline starts at origin, in color over
    // what is there (transparent background), antialiased, turned by the
    // font's escapement. The records save and restore the drawing state.
    void TextOut(const TMetafileFont& font, TColor color, TPoint origin, const std::string& utf8);

    // Replays the records of an EMF (the bytes of a TMetafile) so that its
    // frame lands on dst.
    void PlayEmf(const std::vector<uint8_t>& emf, const TRect& dst);

    void Close();
    bool Closed() const { return FClosed; }

    static constexpr int RefWidthPx = 1920, RefHeightPx = 1080;
    static constexpr int RefWidthMM = 508, RefHeightMM = 286;

private:
    friend class TMetafile;
    class TRecorder;
    TMetafile* FTarget;
    std::unique_ptr<TRecorder> FRec;
    bool FClosed = false;
};
