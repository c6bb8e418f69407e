// SPDX-License-Identifier: GPL-3.0-or-later
// Run-length decompressors of the PCX and Photoshop readers. They hold no
// state between calls and never read or write outside the sizes given.
#pragma once

#include <cstdint>

class TDecoder {
public:
    virtual ~TDecoder() = default;
    // Writes at most unpackedSize bytes at target, reading at most packedSize
    // bytes from source. The pointers are not moved: callers advance their own
    // by the counts they know.
    virtual void Unpack(const uint8_t*& source, uint8_t*& target, int32_t packedSize,
                        int32_t unpackedSize) = 0;
    virtual void UnpackBegin() {}
    virtual void UnpackEnd() {}
    virtual void Pack(const uint8_t*& /*source*/, uint8_t*& /*target*/, int32_t /*count*/,
                      int32_t& bytesStored) {
        bytesStored = 0;
    }
    virtual void PackBegin() {}
    virtual void PackEnd() {}
    // Bytes the last Unpack wrote: fewer than asked means the data ended first.
    int32_t Unpacked() const { return FUnpacked; }

protected:
    int32_t FUnpacked = 0;
};

// The Packbits scheme: stops when either count is used up, so truncated data
// leaves the rest of the output untouched.
class TPackbitsRLEDecoder : public TDecoder {
public:
    void Unpack(const uint8_t*& source, uint8_t*& target, int32_t packedSize,
                int32_t unpackedSize) override;
};

// The PCX scheme. It stops at the end of the data; what was not decoded then
// stays as it was in the target.
class TPCXRLEDecoder : public TDecoder {
public:
    void Unpack(const uint8_t*& source, uint8_t*& target, int32_t packedSize,
                int32_t unpackedSize) override;
};
