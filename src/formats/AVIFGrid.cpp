// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/AVIFGrid.h"

#include "base/Exceptions.h"

#include <cstring>
#include <limits>
#include <map>

namespace {

[[noreturn]] void NotAStill(const char* why) {
    throw EInvalidGraphic(std::string("Cannot write the AVIF image: the tile is not a still (") +
                          why + ").");
}

[[noreturn]] void TooLarge() {
    throw EInvalidGraphic("Cannot write the AVIF image: the picture is too large for a grid.");
}

uint32_t FourCC(const char* t) {
    return (uint32_t(uint8_t(t[0])) << 24) | (uint32_t(uint8_t(t[1])) << 16) |
           (uint32_t(uint8_t(t[2])) << 8) | uint8_t(t[3]);
}

// ---- Reading: a bounds-checked cursor over one box's payload.

class TCursor {
public:
    TCursor(const uint8_t* p, size_t n) : FPos(p), FEnd(p + n) {}
    size_t Left() const { return static_cast<size_t>(FEnd - FPos); }
    const uint8_t* Here() const { return FPos; }
    uint64_t Bits(unsigned bytes) {
        if (bytes > Left()) NotAStill("a box is cut short");
        uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i)
            v = (v << 8) | *FPos++;
        return v;
    }
    uint32_t U8() { return static_cast<uint32_t>(Bits(1)); }
    uint32_t U16() { return static_cast<uint32_t>(Bits(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Bits(4)); }
    void Skip(size_t n) {
        if (n > Left()) NotAStill("a box is cut short");
        FPos += n;
    }

private:
    const uint8_t* FPos;
    const uint8_t* FEnd;
};

struct TBox {
    uint32_t Type = 0;
    const uint8_t* Whole = nullptr; // header included
    size_t WholeSize = 0;
    const uint8_t* Payload = nullptr;
    size_t PayloadSize = 0;
};

// The boxes one after the other in [p, p + n).
std::vector<TBox> Boxes(const uint8_t* p, size_t n) {
    std::vector<TBox> boxes;
    TCursor c(p, n);
    while (c.Left() > 0) {
        TBox box;
        box.Whole = c.Here();
        uint64_t size = c.U32();
        box.Type = c.U32();
        size_t header = 8;
        if (size == 1) {
            size = c.Bits(8);
            header = 16;
        } else if (size == 0) {
            size = c.Left() + header;
        }
        if (size < header || size - header > c.Left()) NotAStill("a box overruns its parent");
        box.Payload = c.Here();
        box.PayloadSize = static_cast<size_t>(size) - header;
        box.WholeSize = static_cast<size_t>(size);
        c.Skip(box.PayloadSize);
        boxes.push_back(box);
    }
    return boxes;
}

const TBox* Find(const std::vector<TBox>& boxes, const char* type) {
    for (const TBox& b : boxes)
        if (b.Type == FourCC(type)) return &b;
    return nullptr;
}

struct TExtent {
    uint64_t Offset = 0, Length = 0;
};

struct TMeta {
    uint32_t Primary = 0;
    std::map<uint32_t, std::vector<TExtent>> Locations;
    std::map<uint32_t, uint32_t> AuxiliaryOf; // 'auxl': item -> the image it belongs to
    std::vector<TBox> Properties;
    std::map<uint32_t, std::vector<std::pair<uint32_t, bool>>> Associations;
};

void ReadLocations(const TBox& iloc, TMeta& meta) {
    TCursor c(iloc.Payload, iloc.PayloadSize);
    const uint32_t version = c.U8();
    c.Skip(3);
    if (version > 2) NotAStill("unknown iloc version");
    const uint32_t sizes = c.U16();
    const unsigned offsetSize = sizes >> 12, lengthSize = (sizes >> 8) & 15,
                   baseSize = (sizes >> 4) & 15, indexSize = version > 0 ? sizes & 15 : 0;
    const uint32_t count = version < 2 ? c.U16() : c.U32();
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t item = version < 2 ? c.U16() : c.U32();
        if (version > 0 && (c.U16() & 15) != 0) NotAStill("item data outside the file");
        if (c.U16() != 0) NotAStill("item data in another file");
        const uint64_t base = c.Bits(baseSize);
        const uint32_t extents = c.U16();
        std::vector<TExtent>& list = meta.Locations[item];
        for (uint32_t e = 0; e < extents; ++e) {
            c.Bits(indexSize);
            TExtent x;
            x.Offset = base + c.Bits(offsetSize);
            x.Length = c.Bits(lengthSize);
            list.push_back(x);
        }
    }
}

void ReadReferences(const TBox& iref, TMeta& meta) {
    TCursor c(iref.Payload, iref.PayloadSize);
    const uint32_t version = c.U8();
    c.Skip(3);
    const unsigned idSize = version == 0 ? 2 : 4;
    for (const TBox& ref : Boxes(c.Here(), c.Left())) {
        TCursor r(ref.Payload, ref.PayloadSize);
        const auto from = static_cast<uint32_t>(r.Bits(idSize));
        const uint32_t count = r.U16();
        for (uint32_t i = 0; i < count; ++i) {
            const auto to = static_cast<uint32_t>(r.Bits(idSize));
            if (ref.Type == FourCC("auxl")) meta.AuxiliaryOf[from] = to;
        }
    }
}

void ReadProperties(const TBox& iprp, TMeta& meta) {
    const std::vector<TBox> children = Boxes(iprp.Payload, iprp.PayloadSize);
    const TBox* ipco = Find(children, "ipco");
    if (!ipco) NotAStill("no property container");
    meta.Properties = Boxes(ipco->Payload, ipco->PayloadSize);
    for (const TBox& box : children) {
        if (box.Type != FourCC("ipma")) continue;
        TCursor c(box.Payload, box.PayloadSize);
        const uint32_t version = c.U8();
        const uint32_t flags = static_cast<uint32_t>(c.Bits(3));
        const uint32_t count = c.U32();
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t item = version < 1 ? c.U16() : c.U32();
            const uint32_t n = c.U8();
            for (uint32_t a = 0; a < n; ++a) {
                const uint32_t v = flags & 1 ? c.U16() : c.U8();
                const uint32_t essentialBit = flags & 1 ? 0x8000 : 0x80;
                meta.Associations[item].emplace_back(v & (essentialBit - 1),
                                                     (v & essentialBit) != 0);
            }
        }
    }
}

TMeta ReadMeta(const TBox& metaBox) {
    if (metaBox.PayloadSize < 4) NotAStill("meta is cut short");
    const std::vector<TBox> children = Boxes(metaBox.Payload + 4, metaBox.PayloadSize - 4);
    TMeta meta;
    const TBox* pitm = Find(children, "pitm");
    const TBox* iloc = Find(children, "iloc");
    const TBox* iprp = Find(children, "iprp");
    if (!pitm || !iloc || !iprp) NotAStill("pitm, iloc or iprp is missing");
    TCursor p(pitm->Payload, pitm->PayloadSize);
    meta.Primary = p.U8() == 0 ? (p.Skip(3), p.U16()) : (p.Skip(3), p.U32());
    ReadLocations(*iloc, meta);
    if (const TBox* iref = Find(children, "iref")) ReadReferences(*iref, meta);
    ReadProperties(*iprp, meta);
    return meta;
}

TAvifCodedItem ReadItem(const TMeta& meta, uint32_t id, const uint8_t* file, size_t size) {
    TAvifCodedItem item;
    const auto where = meta.Locations.find(id);
    if (where == meta.Locations.end() || where->second.empty()) NotAStill("an item has no data");
    for (const TExtent& x : where->second) {
        if (x.Offset > size || x.Length > size - x.Offset) NotAStill("item data beyond the file");
        // Extents naming the same bytes again and again would multiply the file in memory.
        if (x.Length > size - item.Data.size()) NotAStill("item data larger than the file");
        item.Data.append(reinterpret_cast<const char*>(file + x.Offset),
                         static_cast<size_t>(x.Length));
    }
    const auto props = meta.Associations.find(id);
    if (props == meta.Associations.end()) NotAStill("an item has no properties");
    for (const auto& [index, essential] : props->second) {
        if (index == 0 || index > meta.Properties.size()) NotAStill("a property is missing");
        const TBox& box = meta.Properties[index - 1];
        item.Properties.emplace_back(reinterpret_cast<const char*>(box.Whole), box.WholeSize);
        item.Essential.push_back(essential);
    }
    return item;
}

// ---- Writing.

class TBytes {
public:
    std::string S;
    void U8(uint32_t v) { S.push_back(static_cast<char>(v & 0xFF)); }
    void U16(uint32_t v) {
        U8(v >> 8);
        U8(v);
    }
    void U32(uint32_t v) {
        U16(v >> 16);
        U16(v & 0xFFFF);
    }
    void U64(uint64_t v) {
        U32(static_cast<uint32_t>(v >> 32));
        U32(static_cast<uint32_t>(v));
    }
    void Type(const char* t) { S.append(t, 4); }
    void Str(const std::string& s) { S.append(s).push_back('\0'); }
    void Full(uint32_t version, uint32_t flags) { U32((version << 24) | flags); }
};

std::string Box(const char* type, const std::string& payload) {
    if (payload.size() > std::numeric_limits<uint32_t>::max() - 8) TooLarge();
    TBytes b;
    b.U32(static_cast<uint32_t>(payload.size() + 8));
    b.Type(type);
    return b.S + payload;
}

// The properties of every item, each distinct box stored once.
class TPropertyTable {
public:
    // 1-based index of the box in the container.
    uint32_t Add(const std::string& box) {
        const auto [it, fresh] = FIndex.emplace(box, static_cast<uint32_t>(FBoxes.size() + 1));
        if (fresh) FBoxes.push_back(box);
        return it->second;
    }
    uint32_t Count() const { return static_cast<uint32_t>(FBoxes.size()); }
    std::string Container() const {
        std::string all;
        for (const std::string& b : FBoxes)
            all += b;
        return Box("ipco", all);
    }

private:
    std::vector<std::string> FBoxes;
    std::map<std::string, uint32_t> FIndex;
};

std::string Ispe(uint32_t w, uint32_t h) {
    TBytes b;
    b.Full(0, 0);
    b.U32(w);
    b.U32(h);
    return Box("ispe", b.S);
}

std::string GridDescriptor(const TAvifGridLayout& layout) {
    const bool wide = layout.Width > 0xFFFF || layout.Height > 0xFFFF;
    TBytes b;
    b.U8(0);
    b.U8(wide ? 1 : 0);
    b.U8(layout.Rows() - 1);
    b.U8(layout.Columns() - 1);
    if (wide) {
        b.U32(layout.Width);
        b.U32(layout.Height);
    } else {
        b.U16(layout.Width);
        b.U16(layout.Height);
    }
    return b.S;
}

struct TOutItem {
    uint32_t Id = 0;
    const char* Type = "av01";
    bool Hidden = false;
    std::string ContentType;           // 'mime' items
    const std::string* Data = nullptr; // in mdat
    std::vector<std::pair<uint32_t, bool>> Properties;
};

// The grid's own properties: its size and what describes its colours (or, for
// the alpha grid, what marks it as alpha), taken from its first tile.
void AddGridProperties(TOutItem& grid, const TAvifCodedItem& firstTile,
                       const TAvifGridLayout& layout, TPropertyTable& table) {
    grid.Properties.emplace_back(table.Add(Ispe(layout.Width, layout.Height)), false);
    for (size_t i = 0; i < firstTile.Properties.size(); ++i) {
        const std::string& box = firstTile.Properties[i];
        const std::string type = box.substr(4, 4);
        if (type == "pixi" || type == "colr" || type == "auxC")
            grid.Properties.emplace_back(table.Add(box), firstTile.Essential[i]);
    }
}

void AddTileProperties(TOutItem& tile, const TAvifCodedItem& coded, TPropertyTable& table) {
    for (size_t i = 0; i < coded.Properties.size(); ++i)
        tile.Properties.emplace_back(table.Add(coded.Properties[i]), coded.Essential[i]);
}

std::string ItemInfo(const std::vector<TOutItem>& items) {
    TBytes b;
    b.Full(0, 0);
    b.U16(static_cast<uint32_t>(items.size()));
    for (const TOutItem& item : items) {
        TBytes e;
        e.Full(2, item.Hidden ? 1 : 0);
        e.U16(item.Id);
        e.U16(0);
        e.Type(item.Type);
        e.Str("");
        if (!item.ContentType.empty()) e.Str(item.ContentType);
        b.S += Box("infe", e.S);
    }
    return Box("iinf", b.S);
}

std::string Reference(const char* type, uint32_t from, const std::vector<uint32_t>& to) {
    TBytes b;
    b.U16(from);
    b.U16(static_cast<uint32_t>(to.size()));
    for (uint32_t id : to)
        b.U16(id);
    return Box(type, b.S);
}

std::string Associations(const std::vector<TOutItem>& items, const TPropertyTable& table) {
    const bool wideIndex = table.Count() > 127;
    TBytes b;
    b.Full(0, wideIndex ? 1 : 0);
    // Metadata items have no properties and no entry.
    uint32_t count = 0;
    for (const TOutItem& item : items)
        count += item.Properties.empty() ? 0 : 1;
    b.U32(count);
    for (const TOutItem& item : items) {
        if (item.Properties.empty()) continue;
        b.U16(item.Id);
        b.U8(static_cast<uint32_t>(item.Properties.size()));
        for (const auto& [index, essential] : item.Properties) {
            if (wideIndex)
                b.U16((essential ? 0x8000 : 0) | index);
            else
                b.U8((essential ? 0x80 : 0) | index);
        }
    }
    return Box("ipma", b.S);
}

// iloc with every item in one extent of mdat, at absolute file offsets.
std::string Locations(const std::vector<TOutItem>& items, uint64_t dataStart, bool wideOffsets) {
    TBytes b;
    b.Full(0, 0);
    b.U16(((wideOffsets ? 8 : 4) << 12) | (4 << 8));
    b.U16(static_cast<uint32_t>(items.size()));
    uint64_t offset = dataStart;
    for (const TOutItem& item : items) {
        b.U16(item.Id);
        b.U16(0);
        b.U16(1);
        if (wideOffsets)
            b.U64(offset);
        else
            b.U32(static_cast<uint32_t>(offset));
        b.U32(static_cast<uint32_t>(item.Data->size()));
        offset += item.Data->size();
    }
    return Box("iloc", b.S);
}

} // namespace

std::string TAvifCodedItem::Property(const char* type) const {
    for (const std::string& box : Properties)
        if (box.compare(4, 4, type, 4) == 0) return box;
    return {};
}

TAvifStill ReadAvifStill(const uint8_t* file, size_t size) {
    const std::vector<TBox> top = Boxes(file, size);
    const TBox* metaBox = Find(top, "meta");
    if (!metaBox) NotAStill("no meta box");
    const TMeta meta = ReadMeta(*metaBox);
    TAvifStill still;
    still.Colour = ReadItem(meta, meta.Primary, file, size);
    for (const auto& [aux, of] : meta.AuxiliaryOf) {
        if (of != meta.Primary) continue;
        TAvifCodedItem alpha = ReadItem(meta, aux, file, size);
        const std::string auxC = alpha.Property("auxC");
        if (auxC.find("alpha") != std::string::npos) still.Alpha = std::move(alpha);
    }
    return still;
}

void WriteAvifGrid(const TAvifGridLayout& layout, const std::vector<TAvifStill>& tiles,
                   const std::string& exifTiff, const std::string& xmp, TStream& stream) {
    const uint32_t cells = layout.Columns() * layout.Rows();
    if (layout.TileWidth == 0 || layout.TileHeight == 0 || tiles.size() != cells || cells == 0)
        throw EInvalidGraphic("Cannot write the AVIF image: the tiles do not fill the grid.");
    if (layout.Columns() > 256 || layout.Rows() > 256) TooLarge();
    const bool alpha = tiles.front().Alpha.has_value();
    for (const TAvifStill& t : tiles)
        if (t.Alpha.has_value() != alpha)
            throw EInvalidGraphic("Cannot write the AVIF image: the tiles differ in alpha.");
    // Item ids are 16-bit in the boxes written here.
    if ((alpha ? 2 : 1) * (cells + 1) + 2 > 0xFFFF) TooLarge();

    // The alpha grid has the colour grid's layout, so it shares its descriptor.
    const std::string gridDescriptor = GridDescriptor(layout);
    const std::string exifItem = exifTiff.empty() ? std::string() : std::string(4, '\0') + exifTiff;

    TPropertyTable table;
    std::vector<TOutItem> items;
    uint32_t nextId = 1;
    TOutItem grid;
    grid.Id = nextId++;
    grid.Type = "grid";
    grid.Data = &gridDescriptor;
    AddGridProperties(grid, tiles.front().Colour, layout, table);
    items.push_back(grid);
    std::vector<uint32_t> colourTiles, alphaTiles;
    for (const TAvifStill& t : tiles) {
        TOutItem tile;
        tile.Id = nextId++;
        tile.Hidden = true;
        tile.Data = &t.Colour.Data;
        AddTileProperties(tile, t.Colour, table);
        colourTiles.push_back(tile.Id);
        items.push_back(std::move(tile));
    }
    uint32_t alphaGridId = 0;
    if (alpha) {
        TOutItem a;
        a.Id = alphaGridId = nextId++;
        a.Type = "grid";
        a.Hidden = true;
        a.Data = &gridDescriptor;
        AddGridProperties(a, *tiles.front().Alpha, layout, table);
        items.push_back(a);
        for (const TAvifStill& t : tiles) {
            TOutItem tile;
            tile.Id = nextId++;
            tile.Hidden = true;
            tile.Data = &t.Alpha->Data;
            AddTileProperties(tile, *t.Alpha, table);
            alphaTiles.push_back(tile.Id);
            items.push_back(std::move(tile));
        }
    }
    uint32_t exifId = 0, xmpId = 0;
    if (!exifItem.empty()) {
        TOutItem e;
        e.Id = exifId = nextId++;
        e.Type = "Exif";
        e.Data = &exifItem;
        items.push_back(e);
    }
    if (!xmp.empty()) {
        TOutItem x;
        x.Id = xmpId = nextId++;
        x.Type = "mime";
        x.ContentType = "application/rdf+xml";
        x.Data = &xmp;
        items.push_back(x);
    }

    uint64_t dataSize = 0;
    for (const TOutItem& item : items) {
        if (item.Data->size() > std::numeric_limits<uint32_t>::max()) TooLarge();
        dataSize += item.Data->size();
    }

    TBytes ftyp;
    ftyp.Type("avif");
    ftyp.U32(0);
    for (const char* brand : {"avif", "mif1", "miaf"})
        ftyp.Type(brand);
    const std::string ftypBox = Box("ftyp", ftyp.S);

    TBytes hdlr;
    hdlr.Full(0, 0);
    hdlr.U32(0);
    hdlr.Type("pict");
    for (int i = 0; i < 3; ++i)
        hdlr.U32(0);
    hdlr.Str("");
    TBytes pitm;
    pitm.Full(0, 0);
    pitm.U16(grid.Id);
    TBytes iref;
    iref.Full(0, 0);
    iref.S += Reference("dimg", grid.Id, colourTiles);
    if (alpha) {
        iref.S += Reference("dimg", alphaGridId, alphaTiles);
        iref.S += Reference("auxl", alphaGridId, {grid.Id});
    }
    if (exifId) iref.S += Reference("cdsc", exifId, {grid.Id});
    if (xmpId) iref.S += Reference("cdsc", xmpId, {grid.Id});
    const std::string iprp = Box("iprp", table.Container() + Associations(items, table));
    const std::string fixedMeta = Box("hdlr", hdlr.S) + Box("pitm", pitm.S);
    const std::string tail = ItemInfo(items) + Box("iref", iref.S) + iprp;

    // The locations come before the data they point at; their own size does
    // not depend on the offsets, so it is known before they are.
    const bool largeData = dataSize > std::numeric_limits<uint32_t>::max() - 8;
    const size_t mdatHeader = largeData ? 16 : 8;
    const size_t ilocSize = Locations(items, 0, false).size();
    const uint64_t metaSize = 12 + fixedMeta.size() + ilocSize + tail.size();
    uint64_t dataStart = ftypBox.size() + metaSize + mdatHeader;
    const bool wideOffsets = dataStart + dataSize > std::numeric_limits<uint32_t>::max();
    std::string iloc = Locations(items, 0, wideOffsets);
    dataStart += iloc.size() - ilocSize;
    iloc = Locations(items, dataStart, wideOffsets);

    TBytes metaPayload;
    metaPayload.Full(0, 0);
    const std::string metaBox = Box("meta", metaPayload.S + fixedMeta + iloc + tail);
    stream.WriteBuffer(ftypBox.data(), ftypBox.size());
    stream.WriteBuffer(metaBox.data(), metaBox.size());
    TBytes mdat;
    if (largeData) {
        mdat.U32(1);
        mdat.Type("mdat");
        mdat.U64(dataSize + 16);
    } else {
        mdat.U32(static_cast<uint32_t>(dataSize + 8));
        mdat.Type("mdat");
    }
    stream.WriteBuffer(mdat.S.data(), mdat.S.size());
    for (const TOutItem& item : items)
        stream.WriteBuffer(item.Data->data(), item.Data->size());
}
