// SPDX-License-Identifier: GPL-3.0-or-later
// TPicture: holds one graphic and owns the class-level table of file formats
// that decides which graphic class reads a file by its extension.
#pragma once

#include "toolkit/Graphic.h"

#include <memory>
#include <string>
#include <vector>

struct TPictureFormat {
    std::string Extension; // lower case, no dot
    std::string Description;
    TGraphicClass GraphicClass;
};

class TPicture {
public:
    TPicture() = default;

    // Class-level format table: appended at the end, searched from the last
    // entry backwards, so the newest registration of an extension wins.
    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   TGraphicClass graphicClass);
    // Withdraws every entry whose class is graphicClass or derives from it.
    static void UnregisterGraphicClass(TGraphicClass graphicClass);
    // The class registered last for the extension (with or without the dot), or null.
    static TGraphicClass ClassForExtension(const std::string& extension);
    static std::vector<TPictureFormat> Formats();

    // Creates the class registered for the file's extension and lets it read
    // the file; the loaded graphic replaces the current one only on success.
    // No class: EInvalidGraphic "Unknown picture file extension (.%s)".
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);
    void SetGraphic(std::unique_ptr<TGraphic> graphic) { FGraphic = std::move(graphic); }
    TGraphic* Graphic() const { return FGraphic.get(); }
    int Width() const { return FGraphic ? FGraphic->Width() : 0; }
    int Height() const { return FGraphic ? FGraphic->Height() : 0; }

    // Passed on to every graphic this picture loads.
    TProgressEvent OnProgress;

private:
    std::unique_ptr<TGraphic> FGraphic;
};

// The file extension of a name (from the last dot on, dot included), or "".
std::string ExtractFileExt(const std::string& fileName);
