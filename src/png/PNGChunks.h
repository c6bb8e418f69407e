// SPDX-License-Identifier: GPL-3.0-or-later
// The chunk model of TPNGImage: one object per PNG chunk, the table that
// maps chunk types to classes, and the ordered list an image owns.
#pragma once

#include "base/Exceptions.h"
#include "base/Streams.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TPNGImage;
class TChunk;
class TChunkList;

TREVASCO_EXCEPTION(EPNGImageException, Exception)

// Raises EPNGImageException with the codec's message frame around message.
[[noreturn]] void RaisePNGError(const std::string& message);

// Message texts of the codec; the user sees them as they stand.
namespace PNGMessages {
inline constexpr const char* ChunkClassIndex = "The chunk class index specified is out of range.";
inline constexpr const char* ChunkIndex = "The chunk index specified is out of range.";
inline constexpr const char* ChunkNotInList =
    "The specified chunk is not inside the chunk list containing the method being used. The "
    "function could not be completed.";
inline constexpr const char* InvalidHeader =
    "Invalid Portable Network Graphics image, it has an invalid file header.";
inline constexpr const char* NoIHDR =
    "This PNG image is invalid, the IHDR chunk is either not present or it isn't the first chunk.";
inline constexpr const char* NoData =
    "The current image being loaded has no data and could not be loaded.";
inline constexpr const char* UnknownCritical =
    "The image being loaded contains critical chunks not recognized by the decoder.";
inline constexpr const char* CorruptedData = "Can't read the PNG image, it has corrupted data. ";
inline constexpr const char* UnknownColorType =
    "Could not read the image because it has an unknown color type.";
inline constexpr const char* MissingPalette =
    "The current image requires a palette but none is available.";
inline constexpr const char* InvalidPalette =
    "The current image being loaded has an invalid palette!";
inline constexpr const char* UnknownInterlace = "The image has an unknown interlace method.";
inline constexpr const char* UnknownFilter =
    "The image could not be loaded because it uses an unknown set of filter types.";
// Our own texts for damage the original messages do not cover.
inline constexpr const char* InvalidIHDR = "The IHDR chunk of this PNG image is invalid.";
inline constexpr const char* InvalidSize = "The PNG image has an invalid width or height.";
inline constexpr const char* EmptyImage = "An image without pixels cannot be saved as PNG.";
inline constexpr const char* ChunkTooLarge = "The PNG image data is too large for one chunk.";
} // namespace PNGMessages

using TChunkType = std::array<uint8_t, 4>;
constexpr TChunkType ChunkTypeOf(const char (&s)[5]) {
    return {static_cast<uint8_t>(s[0]), static_cast<uint8_t>(s[1]), static_cast<uint8_t>(s[2]),
            static_cast<uint8_t>(s[3])};
}

// PNG CRC-32 (reflected 0xEDB88320, preset and final complement); crc chains calls.
uint32_t PNGCrc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// A chunk class reference: what the class table stores and the list creates from.
struct TChunkClassInfo {
    const char* Name;
    std::unique_ptr<TChunk> (*Create)(TChunkList& owner);
};
using TChunkClass = const TChunkClassInfo*;

#define TREVASCO_DECLARE_CHUNK_CLASS                                                               \
public:                                                                                            \
    static TChunkClass StaticClass();                                                              \
    TChunkClass ClassType() const override {                                                       \
        return StaticClass();                                                                      \
    }

class TChunk {
public:
    explicit TChunk(TChunkList& owner) : FOwner(owner) {}
    virtual ~TChunk() = default;
    TChunk(const TChunk&) = delete;
    TChunk& operator=(const TChunk&) = delete;

    static TChunkClass StaticClass();
    virtual TChunkClass ClassType() const { return StaticClass(); }

    // Called for every chunk, in list order, once a whole file has been read.
    virtual void AfterLoad() {}
    // Copies type and data of another chunk (assignment of one image to another).
    virtual void AssignChunk(const TChunk& source);
    // Writes length, type, data and CRC; derived classes rebuild their data first.
    virtual void WriteChunk(TStream& stream);

    TChunkType ChunkType{};
    TMemoryStream ChunkData;
    TChunkList& Owner() const { return FOwner; }
    TPNGImage& Image() const;

    const std::vector<uint8_t>& Data() const { return ChunkData.Data(); }
    std::vector<uint8_t>& Data() { return ChunkData.Data(); }

private:
    TChunkList& FOwner;
};

// The colour types of the header; the values are the file's.
enum TPNGColorType : uint8_t {
    ctGreyscale = 0,
    ctRGB = 2,
    ctPalette = 3,
    ctGreyAlpha = 4,
    ctRGBAlpha = 6,
};

class TChunkIHDR : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    explicit TChunkIHDR(TChunkList& owner);
    void WriteChunk(TStream& stream) override;

    // Fields of the 13-byte header; a shorter header reads as zeros.
    bool Valid() const { return Data().size() == 13; }
    uint32_t Width() const { return Read32(0); }
    uint32_t Height() const { return Read32(4); }
    uint8_t BitDepth() const { return Read8(8); }
    uint8_t ColorType() const { return Read8(9); }
    uint8_t CompressionMethod() const { return Read8(10); }
    uint8_t FilterMethod() const { return Read8(11); }
    uint8_t InterlaceMethod() const { return Read8(12); }
    // Width and height also resize the image when they differ from its size.
    void SetWidth(uint32_t value);
    void SetHeight(uint32_t value);
    void SetBitDepth(uint8_t value) { Write8(8, value); }
    void SetColorType(uint8_t value) { Write8(9, value); }
    void SetCompressionMethod(uint8_t value) { Write8(10, value); }
    void SetFilterMethod(uint8_t value) { Write8(11, value); }
    void SetInterlaceMethod(uint8_t value) { Write8(12, value); }

private:
    uint32_t Read32(size_t at) const;
    uint8_t Read8(size_t at) const { return at < Data().size() ? Data()[at] : 0; }
    void Write32(size_t at, uint32_t value);
    void Write8(size_t at, uint8_t value);
};

class TChunkPLTE : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    using TChunk::TChunk;
    void WriteChunk(TStream& stream) override;
};

class TChunkGAMA : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    explicit TChunkGAMA(TChunkList& owner);
    void AfterLoad() override { BuildTables(); }
    void AssignChunk(const TChunk& source) override;

    // The stored value (image gamma × 100000); 0 when the data is too short.
    uint32_t Gamma() const;
    void SetGamma(uint32_t value);
    // Builds the tables from the stored value; a value of 0 gives none.
    void BuildTables();
    bool HasTables() const { return FHasTables; }

    std::array<uint8_t, 256> GammaLookup{};
    std::array<uint8_t, 256> InverseGammaLookup{};

private:
    bool FHasTables = false;
};

class TChunkIDAT : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    using TChunk::TChunk;
    void AfterLoad() override;
    void WriteChunk(TStream& stream) override;
};

class TChunkTRNS : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    using TChunk::TChunk;
    void WriteChunk(TStream& stream) override;
};

class TChunkTEXT : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    explicit TChunkTEXT(TChunkList& owner);
};

class TChunkIEND : public TChunk {
    TREVASCO_DECLARE_CHUNK_CLASS
public:
    using TChunk::TChunk;
};

// The table of chunk types with a class of their own. One instance for the
// program, filled on first use.
class TChunkClasses {
public:
    static TChunkClasses& Instance();
    int Count() const { return static_cast<int>(FItems.size()); }
    TChunkClass Item(int index) const;
    const TChunkType& ItemType(int index) const;
    void Add(const TChunkType& type, TChunkClass cls);
    // The class of a type, or null.
    TChunkClass FindClass(const TChunkType& type) const;
    // The type of the first registration of a class, or null.
    const TChunkType* FindType(TChunkClass cls) const;

private:
    TChunkClasses();
    void CheckIndex(int index) const;
    std::vector<std::pair<TChunkType, TChunkClass>> FItems;
};

class TChunkList {
public:
    explicit TChunkList(TPNGImage& image) : FImage(image) {}
    ~TChunkList() { Clear(); }
    TChunkList(const TChunkList&) = delete;
    TChunkList& operator=(const TChunkList&) = delete;

    int Count() const { return static_cast<int>(FItems.size()); }
    TChunk* Item(int index) const;
    TChunk* operator[](int index) const { return Item(index); }
    TChunk* Add(std::unique_ptr<TChunk> chunk);
    // Creates a chunk of the class (typed from the class table), appends and returns it.
    TChunk* CreateChunk(TChunkClass cls);
    template <class T> T* Create() { return static_cast<T*>(CreateChunk(T::StaticClass())); }
    void Move(int curIndex, int newIndex);
    void Remove(TChunk* chunk);
    // Index of the first chunk whose class is exactly cls, or -1.
    int IndexOfClass(TChunkClass cls) const;
    template <class T> T* Find() const {
        int i = IndexOfClass(T::StaticClass());
        return i < 0 ? nullptr : static_cast<T*>(FItems[i].get());
    }
    int IndexOf(const TChunk* chunk) const;
    void Clear();
    // Reads one chunk from the stream (checks type and CRC, joins IDAT data).
    TChunk* ReadChunk(TStream& stream);

    TPNGImage& Image() const { return FImage; }

private:
    void CheckIndex(int index) const;
    TPNGImage& FImage;
    std::vector<std::unique_ptr<TChunk>> FItems;
};

// Creates a chunk of a class and gives it the type the class table holds for it.
std::unique_ptr<TChunk> NewChunk(TChunkClass cls, TChunkList& owner);
