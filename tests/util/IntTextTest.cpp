// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/StrUtils.h"

#include <gtest/gtest.h>

TEST(IntText, StrictDecimalOnly) {
    int32_t v = 0;
    EXPECT_TRUE(TryStrToInt("0", v) && v == 0);
    EXPECT_TRUE(TryStrToInt("+42", v) && v == 42);
    EXPECT_TRUE(TryStrToInt("-007", v) && v == -7);
    EXPECT_TRUE(TryStrToInt("2147483647", v) && v == INT32_MAX);
    EXPECT_TRUE(TryStrToInt("-2147483648", v) && v == INT32_MIN);
    EXPECT_TRUE(TryStrToInt("00000000000000000000012", v) && v == 12);
    for (const char* bad : {"", "+", "-", " 1", "1 ", "1.5", "0x10", "$10", "2147483648",
                            "-2147483649", "99999999999999999999", "1e3", "\xD9\xA1"})
        EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(StrToIntDef("12a", -1), -1);
    EXPECT_EQ(StrToIntDef("-12", -1), -12);
}

TEST(IntText, SettingsIntegersAlsoTakeHexWrappingTo32Bits) {
    int32_t v = 0;
    EXPECT_TRUE(TryIniStrToInt("0x3", v) && v == 3);
    EXPECT_TRUE(TryIniStrToInt("0XfF", v) && v == 255);
    EXPECT_TRUE(TryIniStrToInt("$10", v) && v == 16);
    EXPECT_TRUE(TryIniStrToInt("0xFFFFFFFF", v) && v == -1);
    EXPECT_TRUE(TryIniStrToInt("$80000000", v) && v == INT32_MIN);
    EXPECT_TRUE(TryIniStrToInt("-5", v) && v == -5);
    for (const char* bad : {"0x", "$", "0x123456789", "0xG", "-0x1", "0x 1", "x10"})
        EXPECT_FALSE(TryIniStrToInt(bad, v)) << bad;
    EXPECT_EQ(IniStrToIntDef("yes", 9), 9);
}
