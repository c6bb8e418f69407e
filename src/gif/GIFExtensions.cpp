// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/GIFExtensions.h"

#include "gif/GIFFrame.h"
#include "gif/GIFImage.h"

#include <algorithm>
#include <cstring>

namespace {
void WriteByte(TStream& s, uint8_t b) {
    s.WriteBuffer(&b, 1);
}
bool ReadByte(TStream& s, uint8_t& b) {
    return s.Read(&b, 1) == 1;
}
} // namespace

void TGIFExtension::Warning(int severity, const std::string& message) const {
    FFrame.Image().Warning(severity, message);
}

void TGIFExtension::SaveToStream(TStream& stream) const {
    const uint8_t head[2] = {bsExtensionIntroducer, Label()};
    stream.WriteBuffer(head, 2);
    SaveData(stream);
}

void TGIFExtension::LoadFromStream(TStream& stream) {
    uint8_t head[2] = {};
    if (stream.Read(head, 2) != 2) throw GIFException("Premature end of data");
    if (head[0] != bsExtensionIntroducer) throw GIFException("Invalid extension introducer");
    if (head[1] != Label())
        throw GIFException("Internal error: Extension Instance does not match Extension Label");
    LoadData(stream);
}

// Graphic control

void TGIFGraphicControlExtension::SaveData(TStream& stream) const {
    const uint8_t rec[6] = {
        4, Packed, static_cast<uint8_t>(Delay), static_cast<uint8_t>(Delay >> 8), FTransparentIndex,
        0};
    stream.WriteBuffer(rec, 6);
}

void TGIFGraphicControlExtension::LoadData(TStream& stream) {
    uint8_t rec[6] = {};
    if (stream.Read(rec, 6) != 6) Warning(1, "Premature end of data");
    Packed = rec[1];
    Delay = static_cast<uint16_t>(rec[2] | (rec[3] << 8));
    FTransparentIndex = rec[4];
}

int TGIFGraphicControlExtension::CheckedIndex(int index) {
    TGIFColorMap& map = Frame().ActiveColorMap();
    if (map.Count() > 0 && index >= map.Count()) {
        if (index == map.Count() && map.Count() < 256) {
            map.Add(TGIFColor{0, 0, 0});
            Warning(1, "Invalid color index - color map expanded");
        } else {
            Warning(1, "Invalid color index");
            index = 0;
        }
    }
    return index < 0 || index > 255 ? 0 : index;
}

void TGIFGraphicControlExtension::SetTransparentColorIndex(int index) {
    FTransparentIndex = static_cast<uint8_t>(CheckedIndex(index));
    Frame().Changed();
}

void TGIFGraphicControlExtension::SetTransparent(bool value) {
    if (value) {
        Packed |= 0x01;
        FTransparentIndex = static_cast<uint8_t>(CheckedIndex(FTransparentIndex));
    } else {
        Packed &= static_cast<uint8_t>(~0x01);
    }
    Frame().Changed();
}

std::unique_ptr<TGIFExtension> TGIFGraphicControlExtension::Clone(TGIFFrame& frame) const {
    auto e = std::make_unique<TGIFGraphicControlExtension>(frame);
    e->Packed = Packed;
    e->Delay = Delay;
    e->FTransparentIndex = FTransparentIndex;
    return e;
}

// Text sub-blocks

void TGIFTextBlockExtension::SaveText(TStream& stream) const {
    std::string text;
    for (const std::string& line : Lines)
        text += line + "\r\n";
    for (size_t pos = 0; pos < text.size(); pos += 255) {
        const size_t n = std::min<size_t>(255, text.size() - pos);
        WriteByte(stream, static_cast<uint8_t>(n));
        stream.WriteBuffer(text.data() + pos, n);
    }
    WriteByte(stream, 0);
}

void TGIFTextBlockExtension::LoadText(TStream& stream) {
    std::string text;
    uint8_t len = 0;
    while (ReadByte(stream, len) && len != 0) {
        char buf[255];
        const size_t got = stream.Read(buf, len);
        text.append(buf, got);
        if (got < len) {
            Warning(1, "Premature end of data");
            break;
        }
    }
    // Lines end at CR LF, LF or CR; a final line break adds no empty line.
    Lines.clear();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        Lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) Lines.push_back(text.substr(start));
}

std::unique_ptr<TGIFExtension> TGIFCommentExtension::Clone(TGIFFrame& frame) const {
    auto e = std::make_unique<TGIFCommentExtension>(frame);
    e->Lines = Lines;
    return e;
}

void TGIFTextExtension::SaveData(TStream& stream) const {
    stream.WriteBuffer(Record.data(), Record.size());
    SaveText(stream);
}

void TGIFTextExtension::LoadData(TStream& stream) {
    if (stream.Read(Record.data(), Record.size()) != Record.size())
        throw GIFException("Premature end of data");
    LoadText(stream);
}

std::unique_ptr<TGIFExtension> TGIFTextExtension::Clone(TGIFFrame& frame) const {
    auto e = std::make_unique<TGIFTextExtension>(frame);
    e->Record = Record;
    e->Lines = Lines;
    return e;
}

// Application extensions

void TGIFApplicationExtension::SaveData(TStream& stream) const {
    WriteByte(stream, 11);
    stream.WriteBuffer(Identifier.data(), Identifier.size());
    SaveAppData(stream);
}

void TGIFApplicationExtension::LoadData(TStream& stream) {
    uint8_t size = 0;
    if (!ReadByte(stream, size)) throw GIFException("Premature end of data");
    if (size < 10) throw GIFException("Unsupported Application Extension block size");
    Identifier.fill(0);
    const size_t take = size < 11 ? size : 11;
    if (stream.Read(Identifier.data(), take) != take) throw GIFException("Premature end of data");
    // A longer block is kept as unknown data: its extra bytes are skipped.
    if (size > 11) {
        if (stream.Position() + (size - 11) > stream.Size())
            throw GIFException("Premature end of data");
        stream.Seek(size - 11, TSeekOrigin::soCurrent);
    }
    LoadAppData(stream);
}

TGIFAppExtNSLoop::TGIFAppExtNSLoop(TGIFFrame& frame) : TGIFApplicationExtension(frame) {
    std::memcpy(Identifier.data(), "NETSCAPE2.0", 11);
}

void TGIFAppExtNSLoop::SaveAppData(TStream& stream) const {
    const uint8_t loop[4] = {3, 1, static_cast<uint8_t>(Loops), static_cast<uint8_t>(Loops >> 8)};
    stream.WriteBuffer(loop, 4);
    if (BufferSize != 0) {
        const uint8_t buf[6] = {5,
                                2,
                                static_cast<uint8_t>(BufferSize),
                                static_cast<uint8_t>(BufferSize >> 8),
                                static_cast<uint8_t>(BufferSize >> 16),
                                static_cast<uint8_t>(BufferSize >> 24)};
        stream.WriteBuffer(buf, 6);
    }
    WriteByte(stream, 0);
}

void TGIFAppExtNSLoop::LoadAppData(TStream& stream) {
    uint8_t len = 0;
    while (ReadByte(stream, len) && len != 0) {
        uint8_t data[255];
        if (stream.Read(data, len) != len) throw GIFException("Premature end of data");
        switch (data[0] & 7) {
        case 1:
            if (len < 3) throw GIFException("Invalid GIF data");
            Loops = static_cast<uint16_t>(data[1] | (data[2] << 8));
            break;
        case 2:
            if (len < 5) throw GIFException("Invalid GIF data");
            BufferSize = static_cast<uint32_t>(data[1]) | (static_cast<uint32_t>(data[2]) << 8) |
                         (static_cast<uint32_t>(data[3]) << 16) |
                         (static_cast<uint32_t>(data[4]) << 24);
            break;
        default:
            break;
        }
    }
}

std::unique_ptr<TGIFExtension> TGIFAppExtNSLoop::Clone(TGIFFrame& frame) const {
    auto e = std::make_unique<TGIFAppExtNSLoop>(frame);
    e->Identifier = Identifier;
    e->Loops = Loops;
    e->BufferSize = BufferSize;
    return e;
}

void TGIFUnknownAppExtension::SaveAppData(TStream& stream) const {
    for (const auto& block : Blocks) {
        if (block.empty()) continue;
        WriteByte(stream, static_cast<uint8_t>(block.size()));
        stream.WriteBuffer(block.data(), block.size());
    }
    WriteByte(stream, 0);
}

void TGIFUnknownAppExtension::LoadAppData(TStream& stream) {
    Blocks.clear();
    uint8_t len = 0;
    while (ReadByte(stream, len) && len != 0) {
        std::vector<uint8_t> block(len);
        const size_t got = stream.Read(block.data(), len);
        if (got < len) {
            Warning(1, "Premature end of data");
            block.resize(got);
            if (!block.empty()) Blocks.push_back(std::move(block));
            break;
        }
        Blocks.push_back(std::move(block));
    }
}

std::unique_ptr<TGIFExtension> TGIFUnknownAppExtension::Clone(TGIFFrame& frame) const {
    auto e = std::make_unique<TGIFUnknownAppExtension>(frame);
    e->Identifier = Identifier;
    e->Blocks = Blocks;
    return e;
}

std::unique_ptr<TGIFExtension> CreateExtensionFor(TStream& stream, TGIFFrame& frame) {
    const int64_t start = stream.Position();
    uint8_t head[2] = {};
    const size_t got = stream.Read(head, 2);
    std::unique_ptr<TGIFExtension> result;
    if (got == 2) {
        switch (head[1]) {
        case bsPlainTextExtension:
            result = std::make_unique<TGIFTextExtension>(frame);
            break;
        case bsGraphicControlExtension:
            result = std::make_unique<TGIFGraphicControlExtension>(frame);
            break;
        case bsCommentExtension:
            result = std::make_unique<TGIFCommentExtension>(frame);
            break;
        case bsApplicationExtension: {
            uint8_t size = 0;
            char id[11] = {};
            if (ReadByte(stream, size) && size == 11 && stream.Read(id, 11) == 11 &&
                (std::memcmp(id, "NETSCAPE2.0", 11) == 0 ||
                 std::memcmp(id, "ANIMEXTS1.0", 11) == 0))
                result = std::make_unique<TGIFAppExtNSLoop>(frame);
            else
                result = std::make_unique<TGIFUnknownAppExtension>(frame);
            break;
        }
        default:
            break;
        }
    }
    stream.SetPosition(start);
    if (!result) {
        if (got < 2) throw GIFException("Premature end of data");
        throw GIFException("Unknown extension type");
    }
    return result;
}
