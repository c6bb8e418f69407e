// SPDX-License-Identifier: GPL-3.0-or-later
#include "jpeg/JPEGMetadata.h"

#include <cstring>

namespace {

constexpr char ExifSignature[] = "Exif\0"; // followed by a second zero (or 0xFF in old files)
constexpr size_t ExifHeader = 6;
constexpr char XmpSignature[] = "http://ns.adobe.com/xap/1.0/";
constexpr size_t XmpHeader = sizeof XmpSignature; // with its terminating zero
constexpr char IccSignature[] = "ICC_PROFILE";
constexpr size_t IccHeader = sizeof IccSignature + 2; // zero, sequence number, count
constexpr size_t IccChunkData = 65519;                // 65533 - 14
constexpr size_t SegmentPayload = 65533;              // 65535 minus the length field

bool StartsWith(const uint8_t* data, size_t size, const char* text, size_t length) {
    return size >= length && std::memcmp(data, text, length) == 0;
}

} // namespace

void TJPEGMetadataCollector::Add(int marker, const uint8_t* data, size_t size) {
    if (!data) return;
    if (marker == JPEGMarkerAPP1) {
        // The first block of each kind wins: later copies are usually stale edits.
        if (StartsWith(data, size, ExifSignature, 5) && size > ExifHeader) {
            if (!FHasExif) {
                FExif.assign(reinterpret_cast<const char*>(data) + ExifHeader, size - ExifHeader);
                FHasExif = true;
            }
        } else if (StartsWith(data, size, XmpSignature, XmpHeader) && size > XmpHeader) {
            if (!FHasXmp) {
                FXmp.assign(reinterpret_cast<const char*>(data) + XmpHeader, size - XmpHeader);
                FHasXmp = true;
            }
        }
    } else if (marker == JPEGMarkerAPP2) {
        if (!StartsWith(data, size, IccSignature, sizeof IccSignature) || size <= IccHeader) return;
        const int sequence = data[sizeof IccSignature];
        const int count = data[sizeof IccSignature + 1];
        if (sequence < 1 || count < 1 || sequence > count ||
            (FIccCount != 0 && count != FIccCount) || FIccChunks.count(sequence)) {
            FIccBroken = true;
            return;
        }
        FIccCount = count;
        FIccChunks[sequence].assign(reinterpret_cast<const char*>(data) + IccHeader,
                                    size - IccHeader);
    } else if (marker == JPEGMarkerCOM) {
        if (!FHasComment) {
            FComment.assign(reinterpret_cast<const char*>(data), size);
            FHasComment = true;
        }
    }
}

void TJPEGMetadataCollector::Finish(TImageMetadata& metadata) {
    if (FHasExif) metadata.Exif = FExif;
    if (FHasXmp) {
        // Some writers end the packet with a zero byte; it is not part of the text.
        std::string xmp = FXmp;
        while (!xmp.empty() && xmp.back() == '\0')
            xmp.pop_back();
        metadata.Xmp = xmp;
    }
    if (FHasComment) metadata.Comment = FComment;
    // A profile with a missing, repeated or disagreeing chunk would be a
    // different profile: it is dropped and the pixels are taken as they are.
    if (!FIccBroken && FIccCount > 0 && static_cast<int>(FIccChunks.size()) == FIccCount) {
        std::string icc;
        for (const auto& [sequence, chunk] : FIccChunks)
            icc += chunk;
        if (icc.size() <= MaxMetadataBlock) metadata.Icc = std::move(icc);
    }
}

std::vector<TJPEGSegment> JPEGMetadataSegments(const TImageMetadata& metadata) {
    std::vector<TJPEGSegment> segments;
    if (!metadata.Exif.empty() && metadata.Exif.size() + ExifHeader <= SegmentPayload)
        segments.push_back({JPEGMarkerAPP1, std::string("Exif\0\0", ExifHeader) + metadata.Exif});
    if (!metadata.Xmp.empty() && metadata.Xmp.size() + XmpHeader <= SegmentPayload)
        segments.push_back({JPEGMarkerAPP1, std::string(XmpSignature, XmpHeader) + metadata.Xmp});
    const size_t iccSize = metadata.Icc.size();
    const size_t chunks = (iccSize + IccChunkData - 1) / IccChunkData;
    if (iccSize > 0 && chunks <= 255) {
        for (size_t i = 0; i < chunks; ++i) {
            std::string payload(IccSignature, sizeof IccSignature);
            payload += static_cast<char>(i + 1);
            payload += static_cast<char>(chunks);
            payload.append(metadata.Icc, i * IccChunkData, IccChunkData);
            segments.push_back({JPEGMarkerAPP2, std::move(payload)});
        }
    }
    if (!metadata.Comment.empty())
        segments.push_back({JPEGMarkerCOM, metadata.Comment.substr(0, SegmentPayload)});
    return segments;
}
