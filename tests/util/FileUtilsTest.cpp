// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/FileUtils.h"
#include "base/Exceptions.h"
#include "common/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets an environment variable for one test and puts the old value back.
class TEnvOverride {
public:
    TEnvOverride(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name)) FOld = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~TEnvOverride() {
        if (FOld)
            ::setenv(FName, FOld->c_str(), 1);
        else
            ::unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

// Runs a test with the working directory in a temp folder (relative paths).
class TChangeDir {
public:
    explicit TChangeDir(const std::string& dir) : FOld(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~TChangeDir() { std::filesystem::current_path(FOld); }

private:
    std::filesystem::path FOld;
};

} // namespace

TEST(FileUtils, RemoveTrailingDelimiterRemovesOneOnly) {
    EXPECT_EQ(RemoveTrailingDelimiter("/a/b/"), "/a/b");
    EXPECT_EQ(RemoveTrailingDelimiter("/a/b//"), "/a/b/");
    EXPECT_EQ(RemoveTrailingDelimiter("/a/b"), "/a/b");
    EXPECT_EQ(RemoveTrailingDelimiter("/"), "");
    EXPECT_EQ(RemoveTrailingDelimiter(""), "");
}

TEST(FileUtils, FolderExistsOnlyForFolders) {
    TTempFolder tmp;
    EXPECT_TRUE(FolderExists(tmp.Path()));
    EXPECT_TRUE(FolderExists(tmp.Path() + "/"));
    EXPECT_TRUE(FolderExists("/"));
    WriteFileBytes(tmp.File("f"), {1});
    EXPECT_FALSE(FolderExists(tmp.File("f")));
    EXPECT_FALSE(FolderExists(tmp.File("missing")));
    EXPECT_FALSE(FolderExists(""));
    ::symlink(tmp.Path().c_str(), tmp.File("link").c_str());
    EXPECT_TRUE(FolderExists(tmp.File("link")));
}

TEST(FileUtils, CreateFolderPathCreatesEveryMissingParent) {
    TTempFolder tmp;
    EXPECT_TRUE(CreateFolderPath(tmp.Path() + "/a/b/c/"));
    EXPECT_TRUE(FolderExists(tmp.Path() + "/a"));
    EXPECT_TRUE(FolderExists(tmp.Path() + "/a/b"));
    EXPECT_TRUE(FolderExists(tmp.Path() + "/a/b/c"));
    EXPECT_TRUE(CreateFolderPath(tmp.Path() + "/a/b/c")); // existing: true again
    EXPECT_TRUE(CreateFolderPath("/"));
    EXPECT_TRUE(CreateFolderPath("//"));
    EXPECT_TRUE(CreateFolderPath(tmp.Path() + "//x//y//")); // doubled delimiters are harmless
    EXPECT_TRUE(FolderExists(tmp.Path() + "/x/y"));
}

TEST(FileUtils, CreateFolderPathOfRelativePathUsesCurrentFolder) {
    TTempFolder tmp;
    TChangeDir cd(tmp.Path());
    EXPECT_TRUE(CreateFolderPath("rel"));
    EXPECT_TRUE(CreateFolderPath("rel/sub/"));
    EXPECT_TRUE(CreateFolderPath("rel/../other"));
    EXPECT_TRUE(FolderExists(tmp.Path() + "/rel/sub"));
    EXPECT_TRUE(FolderExists(tmp.Path() + "/other"));
}

TEST(FileUtils, CreateFolderPathReportsFailureOnlyThroughResult) {
    TTempFolder tmp;
    WriteFileBytes(tmp.File("file"), {1});
    EXPECT_FALSE(CreateFolderPath(tmp.File("file")));
    EXPECT_FALSE(CreateFolderPath(tmp.File("file") + "/below"));
    if (::geteuid() != 0) { // root may create folders anywhere
        ::mkdir(tmp.File("ro").c_str(), 0555);
        EXPECT_FALSE(CreateFolderPath(tmp.File("ro") + "/x/y"));
    }
}

TEST(FileUtils, CreateFolderPathRaisesForEmptyPath) {
    try {
        CreateFolderPath("");
        FAIL() << "no error raised";
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "Unable to create directory");
    }
}

TEST(FileUtils, ProgramBaseNameDropsFolderAndLastExtension) {
    EXPECT_EQ(ProgramBaseName("/opt/tool.beta.exe"), "tool.beta");
    EXPECT_EQ(ProgramBaseName("/usr/bin/trevasco"), "trevasco");
    EXPECT_EQ(ProgramBaseName("trevasco.bin"), "trevasco");
    EXPECT_EQ(ProgramBaseName("/opt/.hidden"), ".hidden");
    EXPECT_EQ(ProgramBaseName("/opt.d/tool"), "tool");
}

TEST(FileUtils, ProgramFileIsTheRunningExecutable) {
    std::string exe = GetProgramFileName();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), '/');
    EXPECT_EQ(ProgramBaseName(exe), "test_util");
    EXPECT_EQ(GetProgramFolder() + "test_util", exe);
}

TEST(FileUtils, UserDataFolderFollowsXdgConfigHome) {
    TTempFolder tmp;
    TEnvOverride xdg("XDG_CONFIG_HOME", tmp.Path().c_str());
    EXPECT_EQ(GetUserDataFolder(""), tmp.Path());
    EXPECT_EQ(GetUserDataFolder("Kelvane/app/"), tmp.Path() + "/Kelvane/app/");
    EXPECT_TRUE(FolderExists(tmp.Path() + "/Kelvane/app"));
}

TEST(FileUtils, UserDataFolderFallsBackToHomeConfig) {
    TTempFolder tmp;
    TEnvOverride xdg("XDG_CONFIG_HOME", "relative/is/ignored");
    TEnvOverride home("HOME", tmp.Path().c_str());
    EXPECT_EQ(GetUserDataFolder("Kelvane/x/"), tmp.Path() + "/.config/Kelvane/x/");
    EXPECT_TRUE(FolderExists(tmp.Path() + "/.config/Kelvane/x"));
}

TEST(FileUtils, WithoutConfigFolderTheProgramFolderIsUsedAndNothingCreated) {
    TEnvOverride xdg("XDG_CONFIG_HOME", nullptr);
    TEnvOverride home("HOME", nullptr);
    EXPECT_EQ(GetUserDataFolder("Kelvane/x/"), GetProgramFolder());
    EXPECT_FALSE(FolderExists(GetProgramFolder() + "Kelvane"));
    EXPECT_EQ(GetSettingsFileName(), GetProgramFolder() + "test_util.ini");
}

TEST(FileUtils, SettingsFileNameCreatesItsFolderEachTime) {
    TTempFolder tmp;
    TEnvOverride xdg("XDG_CONFIG_HOME", tmp.Path().c_str());
    std::string expected = tmp.Path() + "/Kelvane/test_util/test_util.ini";
    EXPECT_EQ(GetSettingsFileName(), expected);
    EXPECT_TRUE(FolderExists(tmp.Path() + "/Kelvane/test_util"));
    std::filesystem::remove_all(tmp.Path() + "/Kelvane");
    EXPECT_EQ(GetSettingsFileName(), expected);
    EXPECT_TRUE(FolderExists(tmp.Path() + "/Kelvane/test_util"));
}
