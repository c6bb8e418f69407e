// SPDX-License-Identifier: GPL-3.0-or-later
// The program itself started with /EXECUTE and no display.
#include "WindowTestSupport.h"

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

TEST(UnattendedRun, RunsWithoutADisplayPrintsNothingAndLeavesTheSettingsAlone) {
    TTempFolder tmp;
    std::filesystem::create_directory(tmp.File("in"));
    std::ofstream(tmp.File("in/readme.txt")) << "not an image";
    const std::string log = tmp.File("done.log");
    TProgramResult r = RunProgram(
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
    TProgramResult r =
        RunProgram(tmp.File("config"),
                   {"/src=" + tmp.Path(), "/DST=" + tmp.File("out"), "/LOGFILE=" + log, "/execute"},
                   tmp.File("err.txt"));
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Stderr.find("Cannot create file " + log), std::string::npos) << r.Stderr;
}

TEST(UnattendedRun, AMissingSourceFolderAndAMultiLineMessageEachGiveOneStderrLine) {
    TTempFolder tmp;
    TProgramResult r = RunProgram(
        tmp.File("config"), {"/SRC=" + tmp.File("nowhere"), "/DST=" + tmp.File("out"), "/EXECUTE"},
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
