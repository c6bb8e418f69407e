// SPDX-License-Identifier: GPL-3.0-or-later
// Colour management through ICC profiles (Little CMS 2): pixels described by
// an embedded profile are converted to sRGB when the destination cannot carry
// the profile, and CMYK samples are converted through their profile instead
// of by formula. A broken or unusable profile gives no transform, and the
// caller keeps its profile-less conversion.
#pragma once

#include "toolkit/Bitmap.h"

#include <memory>
#include <string>
#include <vector>

// The colour space a profile's header names.
enum TProfileSpace { psUnknown, psRGB, psGray, psCMYK };
TProfileSpace ProfileSpace(const std::string& icc);

// Pixel layouts of the transforms, as the rasters and decoders hold them.
enum TProfilePixels {
    ppBGR,          // 3 bytes: blue, green, red
    ppBGRX,         // 4 bytes: blue, green, red, a byte left as it is
    ppRGB,          // 3 bytes: red, green, blue
    ppGray,         // 1 byte
    ppGrayInBGR,    // 3 bytes of equal grey (the first one is read)
    ppGrayInBGRX,   // 4 bytes of equal grey
    ppCMYK,         // 4 bytes of ink, 255 = full ink
    ppInvertedCMYK, // 4 bytes of ink, 0 = full ink (Adobe's JPEG files)
};

class TProfileTransform {
public:
    // A transform from the profile to sRGB; null when the profile is damaged,
    // of a colour space other than the input's, or refused by the library.
    // Perceptual with black-point compensation when the profile has a
    // perceptual table, relative colorimetric otherwise. Made once per
    // picture; each has its own library context, so threads never share one.
    static std::unique_ptr<TProfileTransform> ToSRGB(const std::string& icc, TProfilePixels input,
                                                     TProfilePixels output);
    ~TProfileTransform();
    TProfileTransform(const TProfileTransform&) = delete;
    TProfileTransform& operator=(const TProfileTransform&) = delete;

    // Converts count pixels; in and out may be the same row when their layouts have the same size.
    void Convert(const void* in, void* out, unsigned count) const noexcept;
    bool Perceptual() const { return FPerceptual; }
    // True when the profile gives every colour its own value again (an sRGB
    // profile, as most cameras embed): converting would only cost time.
    bool Identity() const { return FIdentity; }

private:
    TProfileTransform() = default;
    bool PrepareMatrixShaper(void* source, void* target);
    bool PrepareGrey();
    void* FContext = nullptr;
    void* FTransform = nullptr;
    bool FPerceptual = false;
    bool FIdentity = false;
    // Byte positions of red, green and blue, and the pixel size, of each side.
    int FIn[4] = {}, FOut[4] = {};
    // Photos mostly carry matrix-shaper profiles (Adobe RGB, Display P3) or
    // grey ones: those are worked out here from tables, several times faster
    // than the library's general pipeline, within a level of its results.
    enum { fpNone, fpMatrixShaper, fpGrey } FFastPath = fpNone;
    // For each output channel and input channel, what each input level adds to the
    // output's linear value (in EncodeSteps): the curves and the matrix in one lookup.
    std::vector<int32_t> FContribution; // 3 x 3 x 256
    std::vector<uint8_t> FEncode;       // linear 0..1 (in EncodeSteps) to sRGB levels
    std::vector<uint8_t> FGreyRGB;      // 256 x 3: each grey level in sRGB
    static constexpr int EncodeSteps = 8192;
};

// Converts a raster's colours from the profile to sRGB in place: the palette
// of an indexed raster, the pixels of a 24- or 32-bit one. False, with the
// raster untouched, when the profile is not an RGB or grey profile that
// works, or the raster is of another format.
bool ConvertToSRGB(TBitmap& bitmap, const std::string& icc);
