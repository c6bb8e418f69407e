// SPDX-License-Identifier: GPL-3.0-or-later
// The table of readable file formats: extension, description and the graphic
// class that reads it. It feeds the picture container's own format table and
// the list of source formats the main window offers.
#pragma once

#include "toolkit/Graphic.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What kind of image a format holds; stored with each extension, never filtered on.
enum TFormatKind : uint8_t {
    fkAnimated = 1,
    fkLayered = 2,
    fkMultiPage = 4,
    fkRaster = 8,
    fkVector = 16,
};
using TFormatKinds = uint8_t;

struct TClassEntry {
    TGraphicClass GraphicClass = nullptr;
    std::string Description;
    int UseCount = 0;
};

struct TExtensionEntry {
    std::string Extension;
    std::string Description;
    TFormatKinds FormatKinds = 0;
    TClassEntry* ClassEntry = nullptr;
};

class TFileFormatList {
public:
    TFileFormatList() = default;
    ~TFileFormatList();
    TFileFormatList(const TFileFormatList&) = delete;
    TFileFormatList& operator=(const TFileFormatList&) = delete;

    int IndexOfExtension(const std::string& extension) const;
    int IndexOfClass(TGraphicClass graphicClass) const;
    std::string ClassDescription(TGraphicClass graphicClass) const;
    // Clears the list and appends every extension (no dot) in registration order.
    void ListExtensions(std::vector<std::string>& list) const;
    // Takes a bare extension, one with a leading dot or a whole file name.
    TGraphicClass ClassForExtension(const std::string& name) const;

    // Fails with "Attempt to register %s twice." when the extension is known and
    // replace is false; the list is unchanged then.
    void AddFormat(const std::string& extension, const std::string& common,
                   const std::string& individual, TFormatKinds kinds, bool replace,
                   TGraphicClass graphicClass);
    // A non-empty extension removes that one; an empty one removes every extension of the class.
    void RemoveFormat(const std::string& extension, TGraphicClass graphicClass);
    // Withdraws every registered class from the picture container and frees all entries.
    void RemoveAll();

    int ExtensionCount() const { return static_cast<int>(FExtensions.size()); }
    int ClassCount() const { return static_cast<int>(FClasses.size()); }
    const TExtensionEntry& Extension(int index) const { return *FExtensions.at(index); }
    const TClassEntry& Class(int index) const { return *FClasses.at(index); }

private:
    TClassEntry* AttachClass(TGraphicClass graphicClass, const std::string& common);
    void ReleaseClass(TClassEntry* entry);

    std::vector<std::unique_ptr<TExtensionEntry>> FExtensions;
    std::vector<std::unique_ptr<TClassEntry>> FClasses;
};

// The one registry of the program, alive from start-up to program end.
extern std::unique_ptr<TFileFormatList> FormatRegistry;

// The toolkit and JPEG classes the registry lists but does not own.
struct TToolkitClasses {
    TGraphicClass Bitmap = nullptr;
    TGraphicClass Icon = nullptr;
    TGraphicClass Metafile = nullptr;
    TGraphicClass JPEG = nullptr;
};

// Creates FormatRegistry, withdraws the four toolkit classes (and their
// descendants) from the picture container and registers the 21 readable
// extensions in order. Runs after the toolkit and JPEG registrations and
// before the PNG and GIF codecs register theirs.
void CreateFormatRegistry(const TToolkitClasses& classes);
// Removes the readers' extensions in the program-end order, then destroys the registry.
void DestroyFormatRegistry();
