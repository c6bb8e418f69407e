// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/FontText.h"

#include <gtest/gtest.h>

namespace {

TFontDescription Font(std::string name, int charset, int32_t color, int size, int style) {
    TFontDescription f;
    f.Name = std::move(name);
    f.Charset = charset;
    f.Color = color;
    f.Size = size;
    f.Style = style;
    return f;
}

} // namespace

TEST(FontText, FontToStringWritesSixFields) {
    EXPECT_EQ(FontToString(Font("MS Sans Serif", 0, 255, 8, fsBold), 0),
              "MS Sans Serif,0,255,8,1,0");
    EXPECT_EQ(FontToString(TFontDescription{}, static_cast<int32_t>(clWindow)), DefaultFontText);
}

TEST(FontText, StringToFontReadsEveryField) {
    TFontDescription f;
    int32_t extra = 0;
    StringToFont("Arial,0,255,12,3,16777215", f, extra);
    EXPECT_EQ(f, Font("Arial", 0, 255, 12, fsBold | fsItalic));
    EXPECT_EQ(extra, 16777215);

    TFontDescription g;
    int32_t extra2 = 0;
    StringToFont("Arial,0,255,12,3,16777215,", g, extra2); // trailing "," alike
    EXPECT_EQ(g, f);
    EXPECT_EQ(extra2, extra);
}

TEST(FontText, StringToFontStopsAtTheFirstFieldWithoutComma) {
    const TFontDescription start;
    TFontDescription f;
    int32_t extra = 7;
    StringToFont("Arial", f, extra);
    EXPECT_EQ(f, start);
    EXPECT_EQ(extra, 7);

    StringToFont("Arial,,,14,", f, extra);
    EXPECT_EQ(f, Font("Arial", start.Charset, start.Color, 14, start.Style));
    EXPECT_EQ(extra, 7);

    TFontDescription g;
    StringToFont("Arial,0,255,12,3", g, extra); // style has no "," after it: not taken
    EXPECT_EQ(g, Font("Arial", 0, 255, 12, 0));
}

TEST(FontText, StringToFontTrimsAndSkipsBadFields) {
    TFontDescription f;
    int32_t extra = 1;
    StringToFont("  Courier New\t, 204 ,abc, 10,0x2,$FF", f, extra);
    EXPECT_EQ(f, Font("Courier New", 204, static_cast<int32_t>(clWindowText), 10, fsItalic));
    EXPECT_EQ(extra, 255);
}

TEST(FontText, StringToFontKeepsFieldsBeforeAnOutOfRangeValue) {
    TFontDescription f;
    int32_t extra = 1;
    StringToFont("Arial,300,255,12,0,5", f, extra); // character set past 255
    EXPECT_EQ(f, Font("Arial", 1, static_cast<int32_t>(clWindowText), 8, 0));
    EXPECT_EQ(extra, 1);

    TFontDescription g;
    StringToFont("Arial,0,255,12,16,5", g, extra); // unknown style bit
    EXPECT_EQ(g, Font("Arial", 0, 255, 12, 0));
    EXPECT_EQ(extra, 1);
}

TEST(FontText, RoundTripKeepsEveryField) {
    TFontDescription f =
        Font("DejaVu Sans", 238, -16777211, 72, fsBold | fsUnderline | fsStrikeOut);
    TFontDescription back = Font("x", 0, 0, 1, 0);
    int32_t extra = 0;
    StringToFont(FontToString(f, INT32_MIN), back, extra);
    EXPECT_EQ(back, f);
    EXPECT_EQ(extra, INT32_MIN);

    TFontDescription def;
    int32_t defExtra = 0;
    StringToFont(DefaultFontText, def, defExtra);
    EXPECT_EQ(def, TFontDescription{});
    EXPECT_EQ(static_cast<uint32_t>(defExtra), clWindow);
}
