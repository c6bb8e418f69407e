// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/FileFormatList.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "formats/EPSGraphic.h"
#include "formats/PCXGraphic.h"
#include "formats/PSDGraphic.h"
#include "formats/ReaderGraphic.h"
#include "formats/TIFFGraphic.h"
#include "toolkit/Picture.h"

std::unique_ptr<TFileFormatList> FormatRegistry;

TFileFormatList::~TFileFormatList() {
    RemoveAll();
}

int TFileFormatList::IndexOfExtension(const std::string& extension) const {
    if (extension.empty()) return -1;
    for (size_t i = 0; i < FExtensions.size(); ++i)
        if (SameTextAscii(FExtensions[i]->Extension, extension)) return static_cast<int>(i);
    return -1;
}

int TFileFormatList::IndexOfClass(TGraphicClass graphicClass) const {
    for (size_t i = 0; i < FClasses.size(); ++i)
        if (FClasses[i]->GraphicClass == graphicClass) return static_cast<int>(i);
    return -1;
}

std::string TFileFormatList::ClassDescription(TGraphicClass graphicClass) const {
    int i = IndexOfClass(graphicClass);
    return i < 0 ? std::string() : FClasses[i]->Description;
}

void TFileFormatList::ListExtensions(std::vector<std::string>& list) const {
    list.clear();
    for (const auto& e : FExtensions)
        list.push_back(e->Extension);
}

TGraphicClass TFileFormatList::ClassForExtension(const std::string& name) const {
    std::string ext = name;
    size_t lastDot = ext.find_last_of('.');
    if (lastDot != std::string::npos) {
        ext.erase(0, lastDot);
        ext.erase(0, ext.find('.') + 1);
        if (ext.empty()) return nullptr;
    }
    int i = IndexOfExtension(ext);
    return i < 0 ? nullptr : FExtensions[i]->ClassEntry->GraphicClass;
}

TClassEntry* TFileFormatList::AttachClass(TGraphicClass graphicClass, const std::string& common) {
    int ci = IndexOfClass(graphicClass);
    TClassEntry* entry;
    if (ci >= 0) {
        entry = FClasses[ci].get();
    } else {
        FClasses.push_back(std::make_unique<TClassEntry>());
        entry = FClasses.back().get();
        entry->GraphicClass = graphicClass;
    }
    if (!common.empty()) entry->Description = common;
    ++entry->UseCount;
    return entry;
}

// Drops one use of a class entry; the last use removes it from the list.
void TFileFormatList::ReleaseClass(TClassEntry* entry) {
    if (--entry->UseCount > 0) return;
    for (auto it = FClasses.begin(); it != FClasses.end(); ++it)
        if (it->get() == entry) {
            FClasses.erase(it);
            return;
        }
}

void TFileFormatList::AddFormat(const std::string& extension, const std::string& common,
                                const std::string& individual, TFormatKinds kinds, bool replace,
                                TGraphicClass graphicClass) {
    if (extension.empty()) return;
    int ei = IndexOfExtension(extension);
    TExtensionEntry* entry;
    if (ei < 0) {
        auto e = std::make_unique<TExtensionEntry>();
        e->Extension = extension;
        e->Description = individual;
        e->FormatKinds = kinds;
        e->ClassEntry = AttachClass(graphicClass, common);
        FExtensions.push_back(std::move(e));
        entry = FExtensions.back().get();
    } else {
        if (!replace)
            throw EInvalidGraphic(Format("Attempt to register %s twice.", extension.c_str()));
        entry = FExtensions[ei].get();
        if (entry->ClassEntry->GraphicClass != graphicClass) {
            TClassEntry* old = entry->ClassEntry;
            entry->ClassEntry = AttachClass(graphicClass, common);
            ReleaseClass(old);
        }
    }
    TPicture::RegisterFileFormat(
        extension, individual.empty() ? entry->ClassEntry->Description : individual, graphicClass);
}

void TFileFormatList::RemoveFormat(const std::string& extension, TGraphicClass graphicClass) {
    if (!extension.empty()) {
        int ei = IndexOfExtension(extension);
        if (ei < 0) return;
        TClassEntry* ce = FExtensions[ei]->ClassEntry;
        if (ce->UseCount == 1) TPicture::UnregisterGraphicClass(ce->GraphicClass);
        ReleaseClass(ce);
        FExtensions.erase(FExtensions.begin() + ei);
        return;
    }
    int ci = IndexOfClass(graphicClass);
    if (ci < 0) return;
    TClassEntry* ce = FClasses[ci].get();
    for (int i = static_cast<int>(FExtensions.size()) - 1; i >= 0 && ce->UseCount > 0; --i)
        if (FExtensions[i]->ClassEntry == ce) {
            FExtensions.erase(FExtensions.begin() + i);
            --ce->UseCount;
        }
    FClasses.erase(FClasses.begin() + ci);
    TPicture::UnregisterGraphicClass(graphicClass);
}

void TFileFormatList::RemoveAll() {
    for (const auto& c : FClasses)
        TPicture::UnregisterGraphicClass(c->GraphicClass);
    FExtensions.clear();
    FClasses.clear();
}

void CreateFormatRegistry(const TToolkitClasses& classes) {
    FormatRegistry = std::make_unique<TFileFormatList>();
    for (TGraphicClass c : {classes.JPEG, classes.Bitmap, classes.Icon, classes.Metafile})
        if (c) TPicture::UnregisterGraphicClass(c);

    struct TRow {
        const char* Extension;
        const char* Common;
        const char* Individual;
        TGraphicClass Class;
        TFormatKinds Kinds;
    };
    const TFormatKinds raster = fkRaster;
    const TRow rows[] = {
        {"bmp", "Windows bitmaps", "", classes.Bitmap, raster},
        {"ico", "Windows icons", "", classes.Icon, raster},
        {"wmf", "Windows metafiles", "", classes.Metafile, fkVector},
        {"emf", "Windows metafiles", "Windows enhanced meta files", classes.Metafile, fkVector},
        {"jfif", "JPG images", "JFIF images", classes.JPEG, raster},
        {"jpg", "", "JPG images", classes.JPEG, raster},
        {"jpe", "", "JPE images", classes.JPEG, raster},
        {"jpeg", "", "JPEG images", classes.JPEG, raster},
        {"msk", "", "", classes.Bitmap, raster},
        {"rle", "Windows bitmaps", "Run length encoded Windows bitmaps", classes.Bitmap, raster},
        {"dib", "", "Device independant Windows bitmaps", classes.Bitmap, raster},
        {"tif", "Tagged image file format images", "PC TIF images", TTIFFGraphic::StaticClass(),
         fkRaster | fkMultiPage},
        {"tiff", "", "Macintosh TIFF images", TTIFFGraphic::StaticClass(), fkRaster | fkMultiPage},
        {"eps", "Encapsulated Postscript images", "", TEPSGraphic::StaticClass(), raster},
        {"pcx", "ZSoft Paintbrush images", "", TPCXGraphic::StaticClass(), raster},
        {"pcc", "", "", TPCXGraphic::StaticClass(), raster},
        {"scr", "", "Word 5.x screen capture images", TPCXGraphic::StaticClass(), raster},
        {"psd", "Photoshop images", "", TPSDGraphic::StaticClass(), fkRaster | fkLayered},
        {"pdd", "", "", TPSDGraphic::StaticClass(), fkRaster | fkLayered},
        {"gif", "CompuServe images", "", TGIFGraphic::StaticClass(),
         fkRaster | fkMultiPage | fkAnimated},
        {"png", "Portable network graphic images", "", TPNGGraphic::StaticClass(), raster},
    };
    for (const TRow& r : rows) {
        if (!r.Class) throw EInvalidGraphicOperation("The graphic class of a format is missing");
        FormatRegistry->AddFormat(r.Extension, r.Common, r.Individual, r.Kinds, false, r.Class);
    }
}

void DestroyFormatRegistry() {
    if (!FormatRegistry) return;
    for (TGraphicClass c :
         {TPSDGraphic::StaticClass(), TTIFFGraphic::StaticClass(), TPCXGraphic::StaticClass(),
          TGIFGraphic::StaticClass(), TPNGGraphic::StaticClass()})
        FormatRegistry->RemoveFormat("", c);
    FormatRegistry.reset();
}
