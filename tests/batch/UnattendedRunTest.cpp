// The program itself started with /EXECUTE and no display.
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

#ifndef TREVASCO_BINARY
#error "TREVASCO_BINARY names the built program"
#endif

namespace {

struct TResult {
    int Status = -1;
    std::string Stderr;
    std::string Stdout;
};

// Runs the program with a clean display-less environment and its own settings folder.
TResult RunProgram(const std::string& configHome, const std::vector<std::string>& args,
                   const std::string& errFile) {
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TREVASCO_DEBUG "
                      "XDG_CONFIG_HOME='" +
                      configHome + "' '" TREVASCO_BINARY "'";
    for (const std::string& a : args)
        cmd += " '" + a + "'";
    cmd += " 2>'" + errFile + "'";
    TResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 256> buf;
    while (size_t n = fread(buf.data(), 1, buf.size(), p))
        r.Stdout.append(buf.data(), n);
    int status = pclose(p);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream e(errFile);
    r.Stderr.assign(std::istreambuf_iterator<char>(e), {});
    return r;
}

} // namespace

TEST(UnattendedRun, RunsWithoutADisplayPrintsNothingAndLeavesTheSettingsAlone) {
    TTempFolder tmp;
    std::filesystem::create_directory(tmp.File("in"));
    std::ofstream(tmp.File("in/readme.txt")) << "not an image";
    const std::string log = tmp.File("done.log");
    TResult r = RunProgram(
        tmp.File("config"),
        {"/SRC=" + tmp.File("in"), "/DST=" + tmp.File("out"), "/LOGFILE=" + log, "/EXECUTE"},
        tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(r.Stderr, "");
    EXPECT_EQ(r.Stdout, "");
    // The run happened: its log header is there. No settings folder was made.
    std::ifstream f(log, std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(f), {});
    EXPECT_EQ(text.rfind("Trevasco ", 0), 0u) << text;
    EXPECT_FALSE(std::filesystem::exists(tmp.File("config/Kelvane")));
}

TEST(UnattendedRun, ALogThatCannotBeOpenedEndsWithStatusOneAndAMessage) {
    TTempFolder tmp;
    const std::string log = tmp.File("no/such/folder/x.log");
    TResult r =
        RunProgram(tmp.File("config"),
                   {"/src=" + tmp.Path(), "/DST=" + tmp.File("out"), "/LOGFILE=" + log, "/execute"},
                   tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Stderr.find("Cannot create file " + log), std::string::npos) << r.Stderr;
}

TEST(UnattendedRun, AMissingSourceFolderAndAMultiLineMessageEachGiveOneStderrLine) {
    TTempFolder tmp;
    TResult r = RunProgram(tmp.File("config"),
                           {"/SRC=" + tmp.File("nowhere"), "/DST=" + tmp.File("out"), "/EXECUTE"},
                           tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Stderr,
              tmp.File("nowhere") + ": Cannot read the folder: No such file or directory\n");

    // The PNG reader's messages hold line breaks; stderr keeps one line per file.
    std::filesystem::create_directory(tmp.File("in"));
    std::ofstream(tmp.File("in/broken.png"), std::ios::binary) << "\x89PNG\r\n\x1a\n not a chunk";
    r = RunProgram(tmp.File("config"),
                   {"/SRC=" + tmp.File("in"), "/DST=" + tmp.File("out"), "/EXECUTE"},
                   tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Stderr.rfind(tmp.File("in/broken.png") + ": ", 0), 0u) << r.Stderr;
    EXPECT_EQ(std::count(r.Stderr.begin(), r.Stderr.end(), '\n'), 1) << r.Stderr;
    EXPECT_EQ(r.Stderr.find('\r'), std::string::npos) << r.Stderr;
}
