// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of colour management against the decode it follows: for every JPEG of
// a folder, the time libjpeg takes to decode it and the time the profile
// conversion to sRGB takes on the decoded pixels (an Adobe RGB profile made
// with Little CMS, the common case of a camera set to Adobe RGB), best of RUNS.
//
//   profile_batch SRC_DIR [RUNS]
#include "base/StrUtils.h"
#include "jpeg/JPEGImage.h"
#include "toolkit/ColorProfile.h"

#include <lcms2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

static std::string AdobeRGB() {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    return bytes;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SRC_DIR [RUNS]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, StrToIntDef(argv[2], 3)) : 3;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(argv[1]))
        if (e.is_regular_file() && AsciiLower(e.path().extension().string()) == ".jpg")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    const std::string icc = AdobeRGB();
    double decodeTotal = 0, convertTotal = 0, pixels = 0;
    std::printf("%-20s %8s %10s %10s\n", "file", "MP", "decode ms", "profile ms");
    for (const fs::path& file : files) {
        double decode = 1e30, convert = 1e30;
        int w = 0, h = 0;
        for (int r = 0; r < runs; ++r) {
            TJPEGImage jpeg;
            jpeg.LoadFromFile(file.string());
            w = jpeg.Width();
            h = jpeg.Height();
            TBitmap target(w, h, pf24bit);
            auto t0 = Clock::now();
            if (!jpeg.DecodeInto(target)) target.Assign(jpeg.Bitmap());
            auto t1 = Clock::now();
            ConvertToSRGB(target, icc);
            auto t2 = Clock::now();
            decode = std::min(decode, std::chrono::duration<double, std::milli>(t1 - t0).count());
            convert = std::min(convert, std::chrono::duration<double, std::milli>(t2 - t1).count());
        }
        std::printf("%-20s %8.2f %10.1f %10.1f\n", file.filename().string().c_str(), w * h / 1e6,
                    decode, convert);
        decodeTotal += decode;
        convertTotal += convert;
        pixels += w * static_cast<double>(h);
    }
    std::printf("%-20s %8.2f %10.1f %10.1f  (profile/decode %.2f)\n", "total", pixels / 1e6,
                decodeTotal, convertTotal, decodeTotal > 0 ? convertTotal / decodeTotal : 0);
    return 0;
}
