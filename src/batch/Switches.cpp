// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/Switches.h"

#include "base/StrUtils.h"

#include <cstring>

const std::vector<TSwitchInfo>& SwitchTable() {
    static const std::vector<TSwitchInfo> table = {
        {"/SRC", true, "<folder>", "source folder (default: the current folder)"},
        {"/SUBDIR", false, "", "search the sub-folders too"},
        {"/MASK", true, "<masks>", "file masks, e.g. *.jpg or *.jpg;*.png (default *.*)"},
        {"/SRCFORMAT", true, "<exts>",
         "take only these source formats: extensions with or without\n"
         "the dot, separated by ; , or . (jpg,png or *.jpg;*.png)"},
        {"/DST", true, "<folder>", "destination folder (default: the current folder)"},
        {"/DSTFORMAT", true, "<format>",
         "destination format: bmp, jpg (jpeg, jpe, jfif), gif, wmf, emf,\n"
         "png, webp, avif or jxl, in any case, with or without the dot"},
        {"/OVERRIDE", false, "", "overwrite existing destination files (the default)"},
        {"/NOOVERRIDE", false, "", "skip files whose destination exists"},
        {"/RENAME", false, "",
         "keep both: write name (2).ext, name (3).ext, ... when the\n"
         "destination exists or another file of the run takes it"},
        {"/KEEPFOLDERS", false, "",
         "keep the sub-folder structure: each file goes to the same\n"
         "folder below the destination as below the source"},
        {"/NAME", true, "<pattern>",
         "destination name: {name} (the source's), {ext} (its extension),\n"
         "{n} (the row's number), {w} and {h} (the written size); default {name}"},
        {"/LOGFILE", true, "<file>", "append the converted files to <file>"},
        {"/SETTINGS", true, "<file>",
         "read a settings file (a preset saved with File, Save\n"
         "settings as...); later switches override it"},
        {"/RESIZE", true, "<size>",
         "WIDTHxHEIGHT in pixels (800x600; 800x or x600 keep\n"
         "the proportions), percent (50%, 50x25%) or\n"
         "fit:WIDTHxHEIGHT (largest size inside, proportions\n"
         "kept); a trailing > only shrinks (800x600>); off"},
        {"/RESAMPLE", true, "<mode>",
         "smooth (default; Lanczos-3 down, bicubic up) or\n"
         "nearest (one source pixel a pixel, for pixel art)"},
        {"/AUTOROTATE", false, "",
         "turn pictures upright by their camera orientation\n"
         "before resizing (the default)"},
        {"/NOAUTOROTATE", false, "", "keep the pixels as stored, whatever the orientation"},
        {"/BACKGROUND", true, "<#RRGGBB>",
         "colour behind transparent pixels for formats without\n"
         "transparency (JPEG, BMP, WMF; default #FFFFFF)"},
        {"/PIXELFORMAT", true, "<format>",
         "bitmap pixel format: Device, 1bit, pf4bit, pf8bit,\n"
         "pf15bit, pf16bit, pf24bit, pf32bit, or 0 to 7"},
        {"/QUALITY", true, "<1..100>", "JPEG quality, also of WebP, AVIF and JPEG XL"},
        {"/LOSSLESS", false, "",
         "WebP, AVIF and JPEG XL keep every pixel exactly\n"
         "(AVIF within one level: it stores YCbCr)"},
        {"/WEBPEFFORT", true, "<0..6>", "WebP encoder effort (default 4)"},
        {"/AVIFSPEED", true, "<0..10>", "AVIF encoder speed, higher is faster (default 6)"},
        {"/JXLEFFORT", true, "<1..9>", "JPEG XL encoder effort (default 7)"},
        {"/COLORREDUCTION", true, "<name>",
         "GIF colours: none, system20, halftone, gray4, mono,\n"
         "gray256, web216, optimal, optimal56, best (the\n"
         "default), or 0 to 9"},
        {"/METADATA", true, "<choice>",
         "EXIF, XMP and colour profile: keep (the default),\n"
         "strip, or nolocation (all but GPS and place names)"},
        {"/WATERMARK", true, "<text>",
         "draw the text over every picture (a text record on top of\n"
         "WMF and EMF); the font's size is in points of 96 per inch"},
        {"/NOWATERMARK", false, "", "draw no watermark (overrides a settings file)"},
        {"/WATERMARKFONT", true, "<font>",
         "FACE,SIZE[,STYLE]: SIZE in points, STYLE bold, italic,\n"
         "underline, strikeout joined with + (\"DejaVu Sans,24,bold\")"},
        {"/WATERMARKCOLOR", true, "<#RRGGBB>", "colour of the watermark's text (default black)"},
        {"/WATERMARKPOS", true, "<place>",
         "top-left (the default), top, top-right, left, center,\n"
         "right, bottom-left, bottom, bottom-right, or 1 to 9"},
        {"/WATERMARKANGLE", true, "<degrees>",
         "turn the text counter-clockwise, -359 to 359 (default 0)"},
        {"/THREADS", true, "<n>", "convert n files at once (0: one per core, the default)"},
        {"/LIST", false, "",
         "with /EXECUTE: print what the run would do (source -> destination,\n"
         "skipped, error) and write nothing"},
        {"/SHARD", true, "<k/n>",
         "convert only shard k of n (a stable split by the path below the\n"
         "source folder): n machines running 1/n ... n/n convert each file once"},
        {"/QUIET", false, "", "no progress line on a terminal"},
        {"/EXECUTE", false, "", "run the job without a window, then end"},
    };
    return table;
}

const TSwitchInfo* FindSwitch(const std::string& arg, std::string& value) {
    for (const TSwitchInfo& info : SwitchTable()) {
        const size_t n = std::strlen(info.Name);
        if (arg.size() < n || !SameTextAscii(std::string_view(arg).substr(0, n), info.Name))
            continue;
        if (info.TakesValue && arg.size() > n && arg[n] == '=') {
            value = arg.substr(n + 1);
            return &info;
        }
        if (!info.TakesValue && arg.size() == n) {
            value.clear();
            return &info;
        }
    }
    return nullptr;
}

std::vector<std::string> SourceExtensionsFromSwitch(const std::string& value) {
    std::vector<std::string> extensions;
    std::string current;
    auto flush = [&] {
        if (!current.empty()) extensions.push_back(AsciiLower(current));
        current.clear();
    };
    for (char c : value) {
        if (c == ';' || c == ',' || c == '.' || c == ' ')
            flush();
        else if (c != '*')
            current += c;
    }
    flush();
    return extensions;
}

std::string SwitchHelp() {
    std::string text =
        "Usage: trevasco [switch ...]\n"
        "\n"
        "Converts the images of a folder to one format. Without /EXECUTE the switches\n"
        "preset the window; the settings saved by the last session, read when the\n"
        "window opens, then override them (unless /SETTINGS= names a file).\n"
        "Switch names ignore case; values are taken as they are.\n"
        "\n";
    constexpr size_t column = 26;
    auto line = [&text](std::string head, const std::string& help) {
        head = "  " + head;
        if (head.size() + 1 > column) {
            text += head + "\n";
            head.clear();
        }
        head.resize(column, ' ');
        size_t start = 0;
        while (start <= help.size()) {
            const size_t end = help.find('\n', start);
            const std::string part =
                help.substr(start, end == std::string::npos ? std::string::npos : end - start);
            text += head + part + "\n";
            head.assign(column, ' ');
            if (end == std::string::npos) break;
            start = end + 1;
        }
    };
    for (const TSwitchInfo& info : SwitchTable())
        line(std::string(info.Name) + (info.TakesValue ? std::string("=") + info.Value : ""),
             info.Help);
    line("--help", "show this text");
    line("--version", "show the program's version");
    text += "\n"
            "Exit status of /EXECUTE: 0 when every file was converted or skipped, 1 when a\n"
            "file failed or a switch or settings file could not be used (then nothing is\n"
            "converted). Failures are printed on stderr; an unknown switch is named there\n"
            "and ignored.\n";
    return text;
}
