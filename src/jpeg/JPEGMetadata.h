// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata segments of a JPEG file: EXIF and XMP in APP1, the ICC profile
// in numbered APP2 chunks, comments in COM. The collector takes segments as
// the decoder meets them; the writer side splits blocks into segments.
#pragma once

#include "toolkit/ImageMetadata.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Marker codes as they follow 0xFF.
constexpr int JPEGMarkerAPP1 = 0xE1;
constexpr int JPEGMarkerAPP2 = 0xE2;
constexpr int JPEGMarkerCOM = 0xFE;

class TJPEGMetadataCollector {
public:
    // One segment's payload (after the length field). Damaged or unknown segments are ignored.
    void Add(int marker, const uint8_t* data, size_t size);
    // The blocks found; the ICC profile only when every chunk arrived once and agrees.
    void Finish(TImageMetadata& metadata);

private:
    std::string FExif, FXmp, FComment;
    bool FHasExif = false, FHasXmp = false, FHasComment = false;
    std::map<int, std::string> FIccChunks; // by sequence number
    int FIccCount = 0;
    bool FIccBroken = false;
};

struct TJPEGSegment {
    int Marker;
    std::string Payload;
};
// The segments that carry the metadata, in the order they are written: APP1
// EXIF, APP1 XMP, APP2 ICC chunks (at most 65519 profile bytes each), COM.
// A block too large for its segment is left out (EXIF and XMP have one segment).
std::vector<TJPEGSegment> JPEGMetadataSegments(const TImageMetadata& metadata);
