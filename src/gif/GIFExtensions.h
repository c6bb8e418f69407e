// SPDX-License-Identifier: GPL-3.0-or-later
// The extension blocks that precede a frame's image descriptor.
#pragma once

#include "base/Streams.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TGIFFrame;

enum : uint8_t {
    bsExtensionIntroducer = 0x21,
    bsImageSeparator = 0x2C,
    bsTrailer = 0x3B,
    bsPlainTextExtension = 0x01,
    bsGraphicControlExtension = 0xF9,
    bsCommentExtension = 0xFE,
    bsApplicationExtension = 0xFF
};

class TGIFExtension {
public:
    explicit TGIFExtension(TGIFFrame& frame) : FFrame(frame) {}
    virtual ~TGIFExtension() = default;
    TGIFExtension(const TGIFExtension&) = delete;
    TGIFExtension& operator=(const TGIFExtension&) = delete;

    virtual uint8_t Label() const = 0;
    TGIFFrame& Frame() const { return FFrame; }
    // Introducer, label and the extension's own data.
    void SaveToStream(TStream& stream) const;
    // Reads the introducer and label again, then the data.
    void LoadFromStream(TStream& stream);
    // A copy belonging to another frame.
    virtual std::unique_ptr<TGIFExtension> Clone(TGIFFrame& frame) const = 0;

protected:
    virtual void SaveData(TStream& stream) const = 0;
    virtual void LoadData(TStream& stream) = 0;
    void Warning(int severity, const std::string& message) const;

private:
    TGIFFrame& FFrame;
};

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    using TGIFExtension::TGIFExtension;
    uint8_t Label() const override { return bsGraphicControlExtension; }
    std::unique_ptr<TGIFExtension> Clone(TGIFFrame& frame) const override;

    // The 6-byte record: block size, packed, delay (u16), transparent index, terminator.
    uint8_t Packed = 0;
    uint16_t Delay = 0;

    bool Transparent() const { return Packed & 0x01; }
    void SetTransparent(bool value);
    int TransparentColorIndex() const { return FTransparentIndex; }
    // Checks the index against the frame's colour map (may extend it by one black entry).
    void SetTransparentColorIndex(int index);
    int Disposal() const { return (Packed >> 2) & 7; }
    void SetDisposal(int value) {
        Packed = static_cast<uint8_t>((Packed & ~0x1C) | ((value * 4) & 0x1C));
    }
    bool UserInput() const { return Packed & 0x02; }
    // Sets the raw index without any check (renumbering through a map).
    void SetRawTransparentIndex(uint8_t index) { FTransparentIndex = index; }

protected:
    void SaveData(TStream& stream) const override;
    void LoadData(TStream& stream) override;

private:
    int CheckedIndex(int index);
    uint8_t FTransparentIndex = 0;
};

// Comment and plain text: text carried in sub-blocks, kept as lines.
class TGIFTextBlockExtension : public TGIFExtension {
public:
    using TGIFExtension::TGIFExtension;
    std::vector<std::string> Lines;

protected:
    void SaveText(TStream& stream) const;
    void LoadText(TStream& stream);
};

class TGIFCommentExtension : public TGIFTextBlockExtension {
public:
    using TGIFTextBlockExtension::TGIFTextBlockExtension;
    uint8_t Label() const override { return bsCommentExtension; }
    std::unique_ptr<TGIFExtension> Clone(TGIFFrame& frame) const override;

protected:
    void SaveData(TStream& stream) const override { SaveText(stream); }
    void LoadData(TStream& stream) override { LoadText(stream); }
};

class TGIFTextExtension : public TGIFTextBlockExtension {
public:
    using TGIFTextBlockExtension::TGIFTextBlockExtension;
    uint8_t Label() const override { return bsPlainTextExtension; }
    std::unique_ptr<TGIFExtension> Clone(TGIFFrame& frame) const override;
    // The 13-byte record after the label (block size 12 first).
    std::array<uint8_t, 13> Record{12};

protected:
    void SaveData(TStream& stream) const override;
    void LoadData(TStream& stream) override;
};

class TGIFApplicationExtension : public TGIFExtension {
public:
    using TGIFExtension::TGIFExtension;
    uint8_t Label() const override { return bsApplicationExtension; }
    // 8 bytes application name, 3 bytes authentication code.
    std::array<uint8_t, 11> Identifier{};
    std::string IdentifierText() const { return std::string(Identifier.begin(), Identifier.end()); }

protected:
    void SaveData(TStream& stream) const override;
    void LoadData(TStream& stream) override;
    virtual void SaveAppData(TStream& stream) const = 0;
    virtual void LoadAppData(TStream& stream) = 0;
};

// NETSCAPE2.0 / ANIMEXTS1.0: loop count and buffer size.
class TGIFAppExtNSLoop : public TGIFApplicationExtension {
public:
    explicit TGIFAppExtNSLoop(TGIFFrame& frame);
    std::unique_ptr<TGIFExtension> Clone(TGIFFrame& frame) const override;
    uint16_t Loops = 0;
    uint32_t BufferSize = 0;

protected:
    void SaveAppData(TStream& stream) const override;
    void LoadAppData(TStream& stream) override;
};

class TGIFUnknownAppExtension : public TGIFApplicationExtension {
public:
    using TGIFApplicationExtension::TGIFApplicationExtension;
    std::unique_ptr<TGIFExtension> Clone(TGIFFrame& frame) const override;
    std::vector<std::vector<uint8_t>> Blocks;

protected:
    void SaveAppData(TStream& stream) const override;
    void LoadAppData(TStream& stream) override;
};

// Reads the label (and for applications the identifier) at the stream's
// position and creates the matching extension for the frame, without
// consuming anything. "Unknown extension type" for a label without a class.
std::unique_ptr<TGIFExtension> CreateExtensionFor(TStream& stream, TGIFFrame& frame);
