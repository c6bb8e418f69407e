// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/IniFile.h"
#include "common/TestSupport.h"
#include "util/Wildcard.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ReadText(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::string& path, const std::string& text) {
    WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<std::string> FolderEntries(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(IniFile, WritesReadBackAndKeepKeyOrderOfFirstWrite) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    {
        TIniFile ini(name);
        ini.WriteString("General", "Source", "/home/u/in/");
        ini.WriteString("General", "Destination", "/home/u/out/");
        ini.WriteInteger("General", "DestinationFormat", -3);
        ini.WriteBool("Log", "SubFolders", true);
        ini.WriteBool("Log", "Overwrite", false);
        ini.WriteString("general", "SOURCE", "/again/"); // same key, other spelling
    }
    EXPECT_EQ(ReadText(name),
              "[General]\nSource=/again/\nDestination=/home/u/out/\nDestinationFormat=-3\n\n"
              "[Log]\nSubFolders=1\nOverwrite=0\n");
    TIniFile ini(name);
    EXPECT_EQ(ini.ReadString("GENERAL", "source", "x"), "/again/");
    EXPECT_EQ(ini.ReadInteger("General", "DestinationFormat", 0), -3);
    EXPECT_TRUE(ini.ReadBool("Log", "SubFolders", false));
    EXPECT_FALSE(ini.ReadBool("Log", "Overwrite", true));
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"General", "Log"}));
    EXPECT_EQ(ini.ReadSection("log"), (std::vector<std::string>{"SubFolders", "Overwrite"}));
}

TEST(IniFile, MissingFileOrKeyGivesTheDefault) {
    TTempFolder tmp;
    TIniFile ini(tmp.File("none/s.ini"));
    EXPECT_EQ(ini.ReadString("General", "Source", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("General", "X", 17), 17);
    EXPECT_TRUE(ini.ReadBool("General", "X", true));
    EXPECT_FALSE(ini.SectionExists("General"));
    EXPECT_FALSE(std::filesystem::exists(tmp.File("none"))); // reading creates nothing
}

TEST(IniFile, HandWrittenFileFollowsTheReadingRules) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    WriteText(name, "\xEF\xBB\xBF"
                    "orphan=before any section\r\n"
                    "[ General ]\r\n"
                    "; Source=commented\r\n"
                    "  Source  =\t \"D:\\pictures\" \r\n"
                    "source=second occurrence loses\r\n"
                    "no equals sign here\r\n"
                    "Quoted='single'\r\n"
                    "Mismatched=\"a'\r\n"
                    "Inner=a \"b\" c\r\n"
                    "Empty=\r\n"
                    "[Log]\n"
                    "SubFolders=yes\n"
                    "Overwrite=0x3\n"
                    "Hex=$FFFFFFFF\n"
                    "Big=2147483648\n"
                    "Spaced= 12 \n"
                    "[GENERAL]\n"
                    "Destination=/merged/\n"
                    "Source=third\n");
    TIniFile ini(name);
    EXPECT_EQ(ini.ReadString("General", "Source", ""), "D:\\pictures");
    EXPECT_EQ(ini.ReadString("General", "Quoted", ""), "single");
    EXPECT_EQ(ini.ReadString("General", "Mismatched", ""), "\"a'");
    EXPECT_EQ(ini.ReadString("General", "Inner", ""), "a \"b\" c");
    EXPECT_EQ(ini.ReadString("General", "Empty", "d"), "");
    EXPECT_EQ(ini.ReadString("General", "Destination", ""), "/merged/");
    EXPECT_FALSE(ini.ValueExists("General", "orphan"));
    EXPECT_FALSE(ini.ValueExists("General", "no equals sign here"));
    EXPECT_FALSE(ini.ReadBool("Log", "SubFolders", false)); // not a number: the default
    EXPECT_TRUE(ini.ReadBool("Log", "SubFolders", true));
    EXPECT_EQ(ini.ReadInteger("Log", "Overwrite", 0), 3);
    EXPECT_EQ(ini.ReadInteger("Log", "Hex", 0), -1);
    EXPECT_EQ(ini.ReadInteger("Log", "Big", 5), 5);
    EXPECT_EQ(ini.ReadInteger("Log", "Spaced", 0), 12);
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"General", "Log"}));
    EXPECT_EQ(ini.ReadSection("General"),
              (std::vector<std::string>{"Source", "Quoted", "Mismatched", "Inner", "Empty",
                                        "Destination"}));
}

TEST(IniFile, WriteKeepsOtherLinesAndPlacesNewKeysInTheirSection) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    WriteText(name,
              "; my notes\r\n[General]\r\nSource = old ; not a comment\r\n\r\n[Log]\r\nA=1\r\n");
    TIniFile ini(name);
    ini.WriteString("General", "Source", "new");
    ini.WriteString("General", "Destination", "d");
    ini.WriteString("Image", "Width", "640");
    EXPECT_EQ(
        ReadText(name),
        "; my notes\n[General]\nSource=new\nDestination=d\n\n[Log]\nA=1\n\n[Image]\nWidth=640\n");
}

TEST(IniFile, ValuesReadBackExactlyEvenWithBlanksAndQuotes) {
    TIniFile ini = TIniFile::FromText("");
    const std::string values[] = {" leading", "trailing\t", "\"quoted\"", "'q'",         "\"",
                                  "a=b;c",    "",           "[x]",        "caf\xE9 \xFF"};
    for (const std::string& v : values) {
        ini.WriteString("S", "K", v);
        TIniFile reread = TIniFile::FromText(ini.Text());
        EXPECT_EQ(reread.ReadString("S", "K", "?"), v) << ini.Text();
    }
}

TEST(IniFile, ValuesAreLimitedTo2047CharactersWithoutSplittingUtf8) {
    std::string ascii(3000, 'a');
    std::string euro;
    for (int i = 0; i < 2100; ++i)
        euro += "\xE2\x82\xAC";
    TIniFile ini = TIniFile::FromText("[S]\nA=" + ascii + "\nE=x" + euro +
                                      "\nN=" + std::string(2047, '1') + "2\n");
    EXPECT_EQ(ini.ReadString("S", "A", ""), std::string(2047, 'a'));
    std::string e = ini.ReadString("S", "E", "");
    EXPECT_EQ(e.size(), 1 + 2046 * 3u);
    EXPECT_EQ(e.substr(e.size() - 3), "\xE2\x82\xAC");
    // An integer is read from the limited text too.
    EXPECT_EQ(ini.ReadInteger("S", "N", -1), -1);
    // The default is the caller's own value and is never cut.
    EXPECT_EQ(ini.ReadString("S", "Missing", ascii), ascii);
}

TEST(IniFile, RefusesNamesAndValuesItCouldNotReadBack) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    TIniFile ini(name);
    ini.WriteString("General", "Ok", "1");
    const std::string before = ReadText(name);
    auto expectRefused = [&](std::string_view section, std::string_view key,
                             std::string_view value) {
        try {
            ini.WriteString(section, key, value);
            ADD_FAILURE() << "accepted " << section << "/" << key;
        } catch (const EIniFileException& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + name);
        }
    };
    expectRefused("General", "Source", "line\nbreak");
    expectRefused("General", "Bad=Key", "v");
    expectRefused("General", "", "v");
    expectRefused("General", ";comment", "v");
    expectRefused("General", " padded", "v");
    expectRefused("Gen]eral", "Key", "v");
    EXPECT_EQ(ReadText(name), before);
}

TEST(IniFile, WriteToUnwritableFolderRaisesAndLeavesNothing) {
    TTempFolder tmp;
    TIniFile missing(tmp.File("no/such/folder/s.ini"));
    try {
        missing.WriteString("General", "Source", "x");
        FAIL() << "no error raised";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + tmp.File("no/such/folder/s.ini"));
    }
    // A settings name that is a folder cannot be replaced, even by root.
    ::mkdir(tmp.File("dir.ini").c_str(), 0755);
    TIniFile folder(tmp.File("dir.ini"));
    EXPECT_EQ(folder.ReadString("General", "Source", "d"), "d");
    EXPECT_THROW(folder.WriteString("General", "Source", "x"), EIniFileException);
    EXPECT_TRUE(std::filesystem::is_directory(tmp.File("dir.ini")));

    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    std::string ro = tmp.File("ro");
    ::mkdir(ro.c_str(), 0755);
    WriteText(ro + "/s.ini", "[General]\nSource=keep\n");
    ::chmod(ro.c_str(), 0555);
    TIniFile ini(ro + "/s.ini");
    EXPECT_THROW(ini.WriteString("General", "Source", "changed"), EIniFileException);
    EXPECT_EQ(ini.ReadString("General", "Source", ""), "keep");
    ::chmod(ro.c_str(), 0755);
    EXPECT_EQ(FolderEntries(ro), std::vector<std::string>{"s.ini"});
}

TEST(IniFile, WritesReplaceTheFileAtomicallyAndLeaveNoTemporaryFiles) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    TIniFile ini(name);
    ini.WriteString("A", "K", "1");
    ::chmod(name.c_str(), 0600);
    // A reader holding the old file keeps seeing it whole: the new text is a new file.
    int held = ::open(name.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    for (int i = 0; i < 20; ++i)
        ini.WriteInteger("A", "K" + std::to_string(i), i);
    struct stat old {};
    ::fstat(held, &old);
    char buf[64] = {};
    ssize_t n = ::pread(held, buf, sizeof buf - 1, 0);
    ::close(held);
    EXPECT_EQ(old.st_nlink, 0u);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "[A]\nK=1\n");
    struct stat now {};
    ::stat(name.c_str(), &now);
    EXPECT_EQ(now.st_mode & 0777, 0600u); // the file keeps its mode
    EXPECT_EQ(TIniFile(name).ReadInteger("A", "K19", -1), 19);
    EXPECT_EQ(FolderEntries(tmp.Path()), std::vector<std::string>{"s.ini"});
}

TEST(IniFile, EveryCallSeesTheFileAsItIsNow) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    TIniFile a(name);
    TIniFile b(name);
    a.WriteString("S", "One", "1");
    EXPECT_EQ(b.ReadString("S", "One", ""), "1");
    b.WriteString("S", "Two", "2");
    a.WriteString("S", "Three", "3"); // must not drop b's key
    EXPECT_EQ(ReadText(name), "[S]\nOne=1\nTwo=2\nThree=3\n");
    WriteText(name, "[S]\nOne=changed outside\n");
    EXPECT_EQ(a.ReadString("S", "One", ""), "changed outside");
}

TEST(IniFile, StrayCarriageReturnsBeforeTheLineEndReadTheSameAfterARewrite) {
    TIniFile ini = TIniFile::FromText("[S]\nA=x\r\r\nB=y\rz\r\n");
    EXPECT_EQ(ini.ReadString("S", "A", ""), "x");
    EXPECT_EQ(ini.ReadString("S", "B", ""), "y\rz");
    ini.WriteString("S", "C", "c");
    TIniFile reread = TIniFile::FromText(ini.Text());
    EXPECT_EQ(reread.ReadString("S", "A", ""), "x");
    EXPECT_EQ(reread.ReadString("S", "B", ""), "y\rz");
}

TEST(IniFile, UnchangedValueDoesNotTouchTheFile) {
    TTempFolder tmp;
    std::string name = tmp.File("s.ini");
    WriteText(name, "[S]\r\nK = \"v\"\r\n");
    TIniFile ini(name);
    ini.WriteString("s", "k", "v");
    EXPECT_EQ(ReadText(name), "[S]\r\nK = \"v\"\r\n");
}

// Inputs that once broke the reader or the writer, replayed through the fuzz
// target's steps: read every listed key, write one key, and every other key
// must read back unchanged.
TEST(IniFile, FuzzRegressionInputsReadAndRewriteCleanly) {
    const std::vector<std::string> inputs = KeptFuzzInputs("ini");
    ASSERT_FALSE(inputs.empty());
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> bytes = ReadFileBytes(path);
        std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        TIniFile ini = TIniFile::FromText(text);
        std::vector<std::pair<std::pair<std::string, std::string>, std::string>> before;
        for (const std::string& section : ini.ReadSections())
            for (const std::string& key : ini.ReadSection(section)) {
                EXPECT_TRUE(ini.ValueExists(section, key));
                before.push_back({{section, key}, ini.ReadString(section, key, "")});
                ini.ReadInteger(section, key, 0);
            }
        std::string value(text.substr(0, 64));
        for (char& c : value)
            if (c == '\r' || c == '\n') c = ' ';
        ini.WriteString("Fuzz", "Key", value);
        TIniFile reread = TIniFile::FromText(ini.Text());
        EXPECT_EQ(reread.ReadString("Fuzz", "Key", "-"), value);
        for (const auto& [name, old] : before) {
            if (SameTextFolded(name.first, "Fuzz") && SameTextFolded(name.second, "Key")) continue;
            EXPECT_EQ(reread.ReadString(name.first, name.second, "-"), old);
        }
    }
}

TEST(IniFile, BinaryDataIsNoSettingsFile) {
    TTempFolder folder;
    const std::string path = folder.File("preset.ini");
    TIniFile ini(path);
    EXPECT_TRUE(ini.IsText()); // missing: nothing that is not text
    WriteText(path, "[General]\nSource=/tmp\n;\tcomment\r\n");
    EXPECT_TRUE(ini.IsText());
    std::string binary = "[General]\nSource=/tmp\n";
    binary.push_back('\0');
    WriteText(path, binary);
    EXPECT_FALSE(ini.IsText());
    // No NUL, but control characters all through: a picture or an archive, not text.
    std::string noise;
    for (int i = 0; i < 400; ++i)
        noise.push_back(static_cast<char>(i % 7 == 0 ? 0x01 + i % 20 : 'a'));
    WriteText(path, noise);
    EXPECT_FALSE(ini.IsText());
    // Text in another 8-bit encoding than UTF-8 is still text.
    WriteText(path, "[General]\nSource=/home/Ren\xE9\n");
    EXPECT_TRUE(ini.IsText());
    EXPECT_EQ(ini.ReadString("General", "Source", ""), "/home/Ren\xE9");
}

TEST(IniFile, CopiesAndMovesReadTheirOwnText) {
    TIniFile a = TIniFile::FromText("[S]\nk=v\n");
    TIniFile b = a;
    TIniFile c = std::move(a);
    a = TIniFile::FromText("[T]\nx=1\n");
    EXPECT_EQ(b.ReadString("S", "k", "-"), "v");
    EXPECT_EQ(c.ReadString("s", "K", "-"), "v");
    EXPECT_EQ(a.ReadInteger("T", "x", 0), 1);
    b.WriteString("S", "k", "w");
    EXPECT_EQ(c.ReadString("S", "k", "-"), "v");
    EXPECT_EQ(b.ReadString("S", "k", "-"), "w");
}

// Many sections and keys (the index behind every look-up): first occurrence
// wins, case is folded, sections of the same name share their keys.
TEST(IniFile, LargeFilesKeepEveryReadingRule) {
    std::string text;
    for (int s = 0; s < 200; ++s) {
        text += "[Section" + std::to_string(s) + "]\n";
        for (int k = 0; k < 500; ++k)
            text += "key" + std::to_string(k) + "=" + std::to_string(s * 1000 + k) + "\n";
    }
    text += "[SECTION7]\nkey3=late\nextra=here\n";
    TIniFile ini = TIniFile::FromText(text);
    EXPECT_EQ(ini.ReadSections().size(), 200u);
    EXPECT_EQ(ini.ReadInteger("section123", "KEY456", -1), 123456);
    EXPECT_EQ(ini.ReadString("Section7", "key3", ""), "7003");
    EXPECT_EQ(ini.ReadString("section7", "Extra", ""), "here");
    EXPECT_FALSE(ini.ValueExists("Section7", "key500"));
    EXPECT_FALSE(ini.ValueExists("Section200", "key1"));
    EXPECT_EQ(ini.ReadSection("Section7").size(), 501u);
}
