// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Picture.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "base/Streams.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

namespace {
// Filled at start-up and read afterwards; the lock keeps concurrent loads safe.
std::shared_mutex GFormatsLock;
std::vector<TPictureFormat>& FormatTable() {
    static std::vector<TPictureFormat> table;
    return table;
}
} // namespace

std::string ExtractFileExt(const std::string& fileName) {
    size_t dot = fileName.find_last_of('.');
    size_t slash = fileName.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return fileName.substr(dot);
}

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  TGraphicClass graphicClass) {
    std::unique_lock lock(GFormatsLock);
    FormatTable().push_back({AsciiLower(extension), description, graphicClass});
}

void TPicture::UnregisterGraphicClass(TGraphicClass graphicClass) {
    std::unique_lock lock(GFormatsLock);
    auto& t = FormatTable();
    t.erase(std::remove_if(t.begin(), t.end(),
                           [&](const TPictureFormat& f) {
                               return f.GraphicClass->InheritsFrom(graphicClass);
                           }),
            t.end());
}

TGraphicClass TPicture::ClassForExtension(const std::string& extension) {
    std::string ext = extension;
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    ext = AsciiLower(ext);
    if (ext.empty()) return nullptr;
    std::shared_lock lock(GFormatsLock);
    const auto& t = FormatTable();
    for (auto it = t.rbegin(); it != t.rend(); ++it)
        if (it->Extension == ext) return it->GraphicClass;
    return nullptr;
}

std::vector<TPictureFormat> TPicture::Formats() {
    std::shared_lock lock(GFormatsLock);
    return FormatTable();
}

namespace {
// The signatures of the formats the program reads, each with the extension
// whose registered class reads it. Only formats with a signature of their
// own are here; the class is found through the format table, so the toolkit
// stays free of the codecs.
const char* ExtensionForSignature(const uint8_t* h, size_t n) {
    auto starts = [&](std::initializer_list<uint8_t> sig) {
        return n >= sig.size() && std::equal(sig.begin(), sig.end(), h);
    };
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return "png";
    if (starts({'G', 'I', 'F', '8'})) return "gif";
    if (starts({0xFF, 0xD8, 0xFF})) return "jpg";
    if (starts({'I', 'I', 42, 0}) || starts({'M', 'M', 0, 42}) || starts({'I', 'I', 43, 0}) ||
        starts({'M', 'M', 0, 43}))
        return "tif";
    if (starts({'8', 'B', 'P', 'S'})) return "psd";
    if (starts({0xC5, 0xD0, 0xD3, 0xC6})) return "eps";
    if (starts({0xD7, 0xCD, 0xC6, 0x9A})) return "wmf";
    if (n >= 44 && h[0] == 1 && h[1] == 0 && h[2] == 0 && h[3] == 0 && h[40] == ' ' &&
        h[41] == 'E' && h[42] == 'M' && h[43] == 'F')
        return "emf";
    if (n >= 14 && h[0] == 'B' && h[1] == 'M') return "bmp";
    if (n >= 6 && h[0] == 0 && h[1] == 0 && (h[2] == 1 || h[2] == 2) && h[3] == 0 &&
        (h[4] | h[5]) != 0)
        return "ico";
    // PCX: manufacturer 10, a known version, plain or run-length data, a known depth.
    if (n >= 128 && h[0] == 10 && (h[1] <= 5 && h[1] != 1) && h[2] <= 1 &&
        (h[3] == 1 || h[3] == 2 || h[3] == 4 || h[3] == 8))
        return "pcx";
    return nullptr;
}

// The class registered for the format the file's first bytes name, or null.
TGraphicClass ClassForContent(const std::string& fileName) {
    uint8_t head[128] = {};
    size_t n = 0;
    try {
        TFileStream f(fileName, TFileMode::fmOpenRead);
        n = f.Read(head, sizeof head);
    } catch (const Exception&) {
        return nullptr;
    }
    const char* ext = ExtensionForSignature(head, n);
    return ext ? TPicture::ClassForExtension(ext) : nullptr;
}
} // namespace

void TPicture::LoadFromFile(const std::string& fileName) {
    std::string ext = ExtractFileExt(fileName);
    if (!ext.empty()) ext.erase(0, 1);
    TGraphicClass cls = ClassForExtension(ext);
    if (!cls || !cls->Create)
        throw EInvalidGraphic(Format("Unknown picture file extension (.%s)", ext.c_str()));
    std::unique_ptr<TGraphic> g = cls->Create();
    g->OnProgress = OnProgress;
    try {
        g->LoadFromFile(fileName);
    } catch (const Exception&) {
        // A misnamed file (a PNG called .jpg): when the class of the extension
        // refuses it and the first bytes are another registered format's,
        // that format's class reads it and its verdict stands.
        TGraphicClass other = ClassForContent(fileName);
        if (!other || other == cls || !other->Create) throw;
        std::unique_ptr<TGraphic> retry = other->Create();
        retry->OnProgress = OnProgress;
        retry->LoadFromFile(fileName);
        g = std::move(retry);
    }
    FGraphic = std::move(g);
}

void TPicture::SaveToFile(const std::string& fileName) {
    if (FGraphic) FGraphic->SaveToFile(fileName);
}
