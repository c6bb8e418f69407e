// SPDX-License-Identifier: GPL-3.0-or-later
// The switch table: lookup by name and kind, the parsing of the source-format
// list, and the manual, the README and --help all naming every switch.
#include "TestSupport.h"

#include "batch/Switches.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {
std::string ReadText(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
} // namespace

TEST(Switches, FoundByNameWithoutRegardToCaseAndByKind) {
    std::string value;
    const TSwitchInfo* s = FindSwitch("/dstFormat=PNG", value);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->Name, "/DSTFORMAT");
    EXPECT_EQ(value, "PNG");
    EXPECT_NE(FindSwitch("/SUBDIR", value), nullptr);
    // A flag with a value, a value switch without "=", and a longer name are not switches.
    EXPECT_EQ(FindSwitch("/SUBDIR=1", value), nullptr);
    EXPECT_EQ(FindSwitch("/DST", value), nullptr);
    EXPECT_EQ(FindSwitch("/NOOVERIDE", value), nullptr);
    EXPECT_EQ(FindSwitch("/EXECUTEX", value), nullptr);
    // "/DST=" must not be taken for "/DSTFORMAT=" or the other way round.
    s = FindSwitch("/DST=/out", value);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->Name, "/DST");
    EXPECT_EQ(value, "/out");
}

TEST(Switches, SourceFormatsAsPeopleTypeThem) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SourceExtensionsFromSwitch("*.jpg;*.png"), (V{"jpg", "png"}));
    EXPECT_EQ(SourceExtensionsFromSwitch(".tif.TIFF"), (V{"tif", "tiff"}));
    EXPECT_EQ(SourceExtensionsFromSwitch("JPG,png"), (V{"jpg", "png"}));
    EXPECT_EQ(SourceExtensionsFromSwitch("jpeg"), (V{"jpeg"}));
    EXPECT_EQ(SourceExtensionsFromSwitch(""), V{});
}

TEST(Switches, EverySwitchIsDocumented) {
    const std::string manual = ReadText("packaging/trevasco.1");
    const std::string readme = ReadText("README.md");
    if (manual.empty() || readme.empty()) GTEST_SKIP() << "run from the project root";
    const std::string help = SwitchHelp();
    for (const TSwitchInfo& s : SwitchTable()) {
        const std::string name = s.Name;
        EXPECT_NE(manual.find(name), std::string::npos) << name << " missing from the manual";
        EXPECT_NE(readme.find("`" + name), std::string::npos) << name << " missing from README";
        EXPECT_NE(help.find("  " + name), std::string::npos) << name << " missing from --help";
    }
}
