// SPDX-License-Identifier: GPL-3.0-or-later
// A batch driver without the window: converts every file of a folder with one
// extension through the conversion engine, the way an unattended run does,
// with the options the command line cannot set (JPEG quality, pixel format).
//
//   engine_batch SRC_DIR EXT DST_DIR FORMAT [QUALITY] [PIXELFORMAT] [RESIZE] [RESAMPLE]
//                [COLORREDUCTION]
//   FORMAT: bmp jpg gif wmf emf png; QUALITY: the "Compression (%)" text;
//   PIXELFORMAT: 0 Device ... 6 pf24bit, 7 pf32bit;
//   RESIZE: "50%" (both sides) or "800" (width, proportional height), "-" for none;
//   RESAMPLE: smooth (default) or nearest; COLORREDUCTION: the GIF colour
//   reduction's index (7 the octree, 9 the best quality)
#include "base/FreedMemory.h"
#include "base/StrUtils.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    FreedMemory::KeepForReuse(); // as the program does
    if (argc < 5) {
        std::fprintf(
            stderr,
            "usage: %s SRC_DIR EXT DST_DIR FORMAT [QUALITY] [PIXELFORMAT] [COLORREDUCTION]\n",
            argv[0]);
        return 2;
    }
    const std::string ext = "." + AsciiLower(argv[2]);
    TConvertOptions options;
    options.Destination = DestinationFromIndex(-1);
    for (int d = dfBitmap; d <= dfPNG; ++d)
        if (DestinationExtension(d) == "." + AsciiLower(argv[4]))
            options.Destination = DestinationFromIndex(d);
    if (argc > 5) options.Quality = QualityFromText(argv[5]);
    if (argc > 6) options.PixelFormat = PixelFormatFromIndex(StrToIntDef(argv[6], 0));
    if (argc > 7 && std::string(argv[7]) != "-") {
        std::string size = argv[7];
        options.Resize = true;
        if (!size.empty() && size.back() == '%') {
            size.pop_back();
            options.StretchMode = smPercent;
            options.Height = SideFromText(size);
        } else {
            options.UseHeight = false;
        }
        options.Width = SideFromText(size);
    }
    if (argc > 8 && std::string(argv[8]) == "nearest") options.Resample = rmNearest;
    if (argc > 9)
        options.ColorReduction = ColorReductionFromIndex(StrToIntDef(argv[9], ReduceBest));

    RegisterImageFormats();
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(argv[1]))
        if (e.is_regular_file() && AsciiLower(e.path().extension().string()) == ext)
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    fs::create_directories(argv[3]);

    TImageConverter converter;
    converter.BeforeRun();
    int failed = 0;
    for (const auto& f : files) {
        fs::path dst = fs::path(argv[3]) / f.stem();
        dst += DestinationExtension(options.Destination);
        try {
            converter.ConvertFile(f.string(), dst.string(), options);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", f.c_str(), e.what());
            ++failed;
        }
    }
    converter.AfterRun();
    return failed ? 1 : 0;
}
