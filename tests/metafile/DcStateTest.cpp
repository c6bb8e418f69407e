// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces every metafile interpreter shares: the bounds-checked record
// readers and the device-context state (saved levels, object table, mapping).
#include "metafile/DcState.h"
#include "metafile/EmfFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace emf;

namespace {

std::vector<uint8_t> Le32s(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> d;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i)
            d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return d;
}

} // namespace

TEST(TDcStack, RestoreNamesLevelsFromTheTopOrFromTheFirst) {
    TDcStack<std::string> s;
    for (const char* level : {"a", "b", "c", "d"})
        s.Save(level);
    EXPECT_EQ(s.Target(-1), 3u);
    EXPECT_EQ(s.Target(-4), 0u);
    EXPECT_EQ(s.Target(1), 0u);
    EXPECT_EQ(s.Target(4), 3u);
    EXPECT_EQ(s.Restore(-2), "c");
    EXPECT_EQ(s.Depth(), 2u) << "the restored level and those above it are gone";
    EXPECT_EQ(s.Restore(1), "a");
    EXPECT_TRUE(s.Empty());
}

TEST(TDcStack, ALevelThatDoesNotExistRestoresNothing) {
    TDcStack<int> s;
    s.Save(7);
    s.Save(8);
    for (int64_t level :
         {int64_t(0), int64_t(-3), int64_t(3), int64_t(INT32_MIN), int64_t(INT32_MAX)})
        EXPECT_FALSE(s.Restore(level)) << level;
    EXPECT_EQ(s.Depth(), 2u) << "nothing unwound";
}

TEST(TDcStack, SavesBeyondTheDepthLimitAreIgnored) {
    TDcStack<int> s(3);
    for (int i = 0; i < 10; ++i)
        s.Save(i);
    EXPECT_EQ(s.Depth(), 3u);
    EXPECT_EQ(s.Restore(-1), 2);
}

TEST(TObjectTable, CapacityRefusesHandlesFromTheHeadersCountOn) {
    TObjectTable<int> t(4);
    EXPECT_TRUE(t.Put(3, 30));
    EXPECT_FALSE(t.Put(4, 40));
    EXPECT_FALSE(t.Holds(4));
    ASSERT_NE(t.Find(3), nullptr);
    EXPECT_EQ(*t.Find(3), 30);
    EXPECT_EQ(t.Find(4), nullptr);
    t.Put(3, 31);
    EXPECT_EQ(*t.Find(3), 31) << "a create on a used handle replaces the object";
    t.Erase(3);
    EXPECT_EQ(t.Find(3), nullptr);
}

TEST(TObjectTable, NewWmfObjectsTakeTheLowestFreeSlot) {
    TObjectTable<char> t(3);
    EXPECT_EQ(t.PutLowest('a'), 0);
    EXPECT_EQ(t.PutLowest('b'), 1);
    EXPECT_EQ(t.PutLowest('c'), 2);
    EXPECT_EQ(t.PutLowest('d'), -1) << "full";
    t.Erase(1);
    EXPECT_EQ(t.PutLowest('e'), 1);
    EXPECT_EQ(*t.Find(1), 'e');
    t.Erase(0);
    t.Erase(2);
    EXPECT_EQ(t.PutLowest('f'), 0);
    EXPECT_EQ(t.PutLowest('g'), 2);
}

TEST(TRecord, FieldsOutsideTheRecordReadAsZero) {
    // A 16-byte record: type, size, then two values.
    const std::vector<uint8_t> d = Le32s({EMR_MOVETOEX, 16, 0xFFFFFFF6u, 25, 0xDEADBEEF});
    const TRecord r{U32(d.data()), 16, d.data()};
    EXPECT_EQ(r.X(), -10);
    EXPECT_EQ(r.Y(), 25);
    EXPECT_EQ(r.Value(), 0xFFFFFFF6u);
    EXPECT_EQ(r.I(16), 0) << "the bytes after the record are not its fields";
    EXPECT_EQ(r.U(14), 0u) << "a field that straddles the end";
    EXPECT_EQ(r.Box(), Rect(-10, 25, 0, 0));
    EXPECT_EQ(r.Byte(15), 0u);
    EXPECT_EQ(r.Byte(16), 0u);
    EXPECT_EQ(r.F(20), 0.0f);
}

TEST(TWmfRecord, WordsOutsideTheRecordReadAsZero) {
    const std::vector<uint8_t> params = {0x34, 0x12, 0xFE, 0xFF, 0x78};
    const TWmfRecord r{META_MOVETO, params.data(), params.size()};
    EXPECT_EQ(r.Words(), 2u) << "an odd byte is not a word";
    EXPECT_TRUE(r.Has(2));
    EXPECT_FALSE(r.Has(3));
    EXPECT_EQ(r.W(0), 0x1234);
    EXPECT_EQ(r.S(1), -2);
    EXPECT_EQ(r.S(2), 0);
    EXPECT_EQ(r.L(0), 0xFFFE1234u);
    EXPECT_EQ(r.L(1), 0u);
}

TEST(TMapState, MappingModesScaleByTheirUnits) {
    TMapState m;
    m.PxPerMmX = m.PxPerMmY = 4;
    double sx, sy;
    m.PageScale(sx, sy);
    EXPECT_EQ(sx, 1);
    EXPECT_EQ(sy, 1);
    const std::vector<uint8_t> mode = Le32s({EMR_SETMAPMODE, 12, MM_LOMETRIC});
    ASSERT_TRUE(m.Apply({EMR_SETMAPMODE, 12, mode.data()}));
    m.PageScale(sx, sy);
    EXPECT_DOUBLE_EQ(sx, 0.4) << "0.1 mm at 4 pixels a millimetre";
    EXPECT_DOUBLE_EQ(sy, -0.4) << "y grows upwards";
    // Isotropic: both axes take the smaller scale.
    const std::vector<uint8_t> iso = Le32s({EMR_SETMAPMODE, 12, MM_ISOTROPIC});
    const std::vector<uint8_t> win = Le32s({EMR_SETWINDOWEXTEX, 16, 100, 100});
    const std::vector<uint8_t> view = Le32s({EMR_SETVIEWPORTEXTEX, 16, 50, 200});
    m.Apply({EMR_SETMAPMODE, 12, iso.data()});
    m.Apply({EMR_SETWINDOWEXTEX, 16, win.data()});
    m.Apply({EMR_SETVIEWPORTEXTEX, 16, view.data()});
    m.PageScale(sx, sy);
    EXPECT_DOUBLE_EQ(sx, 0.5);
    EXPECT_DOUBLE_EQ(sy, 0.5);
    const TXform page = m.Page();
    EXPECT_DOUBLE_EQ(page.X(10, 0), 5);
}
