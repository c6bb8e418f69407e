#include "toolkit/Picture.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"

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

void TPicture::LoadFromFile(const std::string& fileName) {
    std::string ext = ExtractFileExt(fileName);
    if (!ext.empty()) ext.erase(0, 1);
    TGraphicClass cls = ClassForExtension(ext);
    if (!cls || !cls->Create)
        throw EInvalidGraphic(Format("Unknown picture file extension (.%s)", ext.c_str()));
    std::unique_ptr<TGraphic> g = cls->Create();
    g->OnProgress = OnProgress;
    g->LoadFromFile(fileName);
    FGraphic = std::move(g);
}

void TPicture::SaveToFile(const std::string& fileName) {
    if (FGraphic) FGraphic->SaveToFile(fileName);
}
