// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/MetadataEditor.h"

#include <exiv2/exiv2.hpp>

#include <cstring>
#include <mutex>

namespace {

// Exiv2's XMP toolkit keeps global state, so every call into the library is
// made under one lock; the blocks are small and the edits take microseconds.
std::mutex& LibraryLock() {
    static std::mutex lock;
    return lock;
}

void InitializeLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Warnings about damaged blocks would go to stderr; the block is simply dropped.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// XMP properties that tell where the picture was taken.
bool IsXmpLocation(const std::string& key) {
    static const char* const prefixes[] = {
        "Xmp.exif.GPS",
        "Xmp.photoshop.City",
        "Xmp.photoshop.State",
        "Xmp.photoshop.Country",
        "Xmp.Iptc4xmpCore.Location",
        "Xmp.Iptc4xmpCore.CountryCode",
        "Xmp.Iptc4xmpExt.LocationCreated",
        "Xmp.Iptc4xmpExt.LocationShown",
    };
    for (const char* p : prefixes)
        if (StartsWith(key, p)) return true;
    return false;
}

bool SetExifNumber(Exiv2::ExifData& exif, const char* key, uint32_t value, bool asShort) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end()) return false;
    if (it->count() == 1 && it->toLong(0) == static_cast<long>(value)) return false;
    if (asShort && value <= 0xFFFF)
        exif[key] = static_cast<uint16_t>(value);
    else
        exif[key] = value;
    return true;
}

bool SetXmpText(Exiv2::XmpData& xmp, const char* key, long value) {
    auto it = xmp.findKey(Exiv2::XmpKey(key));
    if (it == xmp.end()) return false;
    if (it->toString() == std::to_string(value)) return false;
    it->setValue(std::to_string(value));
    return true;
}

std::string EditExifLocked(const std::string& block, const TMetadataEdit& edit) {
    Exiv2::ExifData exif;
    const Exiv2::ByteOrder order =
        Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte*>(block.data()),
                                  static_cast<uint32_t>(block.size()));
    if (order == Exiv2::invalidByteOrder || exif.empty()) return std::string();

    Exiv2::ExifThumb(exif).erase();
    if (edit.Mode == TMetadataMode::NoLocation) {
        for (auto it = exif.begin(); it != exif.end();)
            if (it->groupName() == "GPSInfo")
                it = exif.erase(it);
            else
                ++it;
        auto pointer = exif.findKey(Exiv2::ExifKey("Exif.Image.GPSTag"));
        if (pointer != exif.end()) exif.erase(pointer);
    }
    if (edit.Upright) SetExifNumber(exif, "Exif.Image.Orientation", 1, true);
    if (edit.Width > 0 && edit.Height > 0) {
        const auto w = static_cast<uint32_t>(edit.Width), h = static_cast<uint32_t>(edit.Height);
        SetExifNumber(exif, "Exif.Photo.PixelXDimension", w, false);
        SetExifNumber(exif, "Exif.Photo.PixelYDimension", h, false);
        SetExifNumber(exif, "Exif.Image.ImageWidth", w, false);
        SetExifNumber(exif, "Exif.Image.ImageLength", h, false);
    }
    if (exif.empty()) return std::string();
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, exif);
    return std::string(blob.begin(), blob.end());
}

std::string EditXmpLocked(const std::string& packet, const TMetadataEdit& edit) {
    Exiv2::XmpData xmp;
    if (Exiv2::XmpParser::decode(xmp, packet) != 0) return std::string();
    bool changed = false;
    if (edit.Mode == TMetadataMode::NoLocation) {
        for (auto it = xmp.begin(); it != xmp.end();)
            if (IsXmpLocation(it->key())) {
                it = xmp.erase(it);
                changed = true;
            } else {
                ++it;
            }
    }
    if (edit.Upright) changed |= SetXmpText(xmp, "Xmp.tiff.Orientation", 1);
    if (edit.Width > 0 && edit.Height > 0) {
        changed |= SetXmpText(xmp, "Xmp.exif.PixelXDimension", edit.Width);
        changed |= SetXmpText(xmp, "Xmp.exif.PixelYDimension", edit.Height);
        changed |= SetXmpText(xmp, "Xmp.tiff.ImageWidth", edit.Width);
        changed |= SetXmpText(xmp, "Xmp.tiff.ImageLength", edit.Height);
    }
    // An untouched packet keeps its bytes (and whatever Exiv2 would not rewrite alike).
    if (!changed) return packet;
    if (xmp.empty()) return std::string();
    std::string out;
    if (Exiv2::XmpParser::encode(out, xmp, Exiv2::XmpParser::useCompactFormat, 0) != 0)
        return std::string();
    return out;
}

// IFD0 tags of a TIFF that describe the picture rather than how its pixels are stored.
bool IsDescriptiveImageTag(const std::string& key) {
    static const char* const keys[] = {
        "Exif.Image.ImageDescription", "Exif.Image.Make",        "Exif.Image.Model",
        "Exif.Image.Orientation",      "Exif.Image.XResolution", "Exif.Image.YResolution",
        "Exif.Image.ResolutionUnit",   "Exif.Image.Software",    "Exif.Image.DateTime",
        "Exif.Image.Artist",           "Exif.Image.Copyright",
    };
    for (const char* k : keys)
        if (key == k) return true;
    return false;
}

std::string ExifFromTIFFLocked(const uint8_t* data, size_t size) {
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
    const Exiv2::ByteOrder order =
        Exiv2::TiffParser::decode(exif, iptc, xmp, data, static_cast<uint32_t>(size));
    if (order == Exiv2::invalidByteOrder) return std::string();
    bool camera = false;
    for (auto it = exif.begin(); it != exif.end();) {
        const std::string group = it->groupName();
        if (group == "Photo" || group == "GPSInfo" ||
            (group == "Image" && IsDescriptiveImageTag(it->key()))) {
            camera |= group != "Image" || it->key() == "Exif.Image.Make";
            ++it;
        } else {
            it = exif.erase(it);
        }
    }
    // Resolution and orientation alone are the TIFF's own fields, not camera data.
    if (!camera) return std::string();
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, exif);
    return std::string(blob.begin(), blob.end());
}

} // namespace

std::string ExifFromTIFF(const uint8_t* data, size_t size) {
    if (!data || size < 8 || size > 0xFFFFFFFFu) return std::string();
    InitializeLibrary();
    std::lock_guard<std::mutex> hold(LibraryLock());
    try {
        return ExifFromTIFFLocked(data, size);
    } catch (...) {
        return std::string();
    }
}

std::string EditExif(const std::string& exif, const TMetadataEdit& edit) {
    if (edit.Mode == TMetadataMode::Strip || exif.size() < 8 || exif.size() > MaxMetadataBlock)
        return std::string();
    InitializeLibrary();
    std::lock_guard<std::mutex> hold(LibraryLock());
    try {
        return EditExifLocked(exif, edit);
    } catch (...) {
        // Exiv2 throws on damaged directories; the block is dropped.
        return std::string();
    }
}

std::string EditXmp(const std::string& xmp, const TMetadataEdit& edit) {
    if (edit.Mode == TMetadataMode::Strip || xmp.empty() || xmp.size() > MaxMetadataBlock)
        return std::string();
    InitializeLibrary();
    std::lock_guard<std::mutex> hold(LibraryLock());
    try {
        return EditXmpLocked(xmp, edit);
    } catch (...) {
        return std::string();
    }
}

TImageMetadata EditMetadata(const TImageMetadata& source, const TMetadataEdit& edit) {
    TImageMetadata result;
    if (edit.Mode == TMetadataMode::Strip) return result;
    result.Exif = EditExif(source.Exif, edit);
    result.Xmp = EditXmp(source.Xmp, edit);
    result.Icc = source.Icc.size() <= MaxMetadataBlock ? source.Icc : std::string();
    result.Comment = source.Comment;
    result.Orientation = edit.Upright ? 1 : source.Orientation;
    return result;
}
