// SPDX-License-Identifier: GPL-3.0-or-later
// The unattended program on a folder tree whose modes deny it something:
// unreadable source file and folder, a destination folder it may not write,
// a read-only destination file, a log it may not write. The program runs as
// an ordinary user ("nobody"), because modes deny root nothing; as root the
// test drops to that user with setpriv, as anyone else it runs as itself.
#include "common/TestSupport.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef TREVASCO_BINARY
#error "TREVASCO_BINARY names the built program"
#endif

namespace fs = std::filesystem;

namespace {

struct TResult {
    int Status = -1;
    std::vector<std::string> StderrLines;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteSource(const std::string& path) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(24, 16);
    for (int y = 0; y < 16; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < 72; ++x)
            row[x] = static_cast<uint8_t>(x * 5 + y * 11);
    }
    b.SaveToFile(path);
}

class Permissions : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() == 0) {
            if (access("/usr/bin/setpriv", X_OK) != 0 && access("/bin/setpriv", X_OK) != 0)
                GTEST_SKIP() << "setpriv is needed to run the program as an ordinary user";
            const passwd* user = getpwnam("nobody");
            if (!user) GTEST_SKIP() << "no user nobody";
            Uid = user->pw_uid;
            Gid = user->pw_gid;
            // The user must reach the program and the tree.
            chmod(Tmp.Path().c_str(), 0755);
        }
        Root = Tmp.File("tree");
        In = Root + "/in";
        Out = Root + "/out";
        Log = Root + "/done.log";
        fs::create_directories(In + "/sub");
        fs::create_directories(Out);
        fs::create_directories(Root + "/config");
        WriteSource(In + "/a.bmp");
        WriteSource(In + "/b.bmp");
        WriteSource(In + "/sub/c.bmp");
    }

    void TearDown() override {
        // Modes back, so that the folder can be removed when not root.
        for (const char* p : {"", "/in", "/in/sub", "/in/locked", "/out"})
            chmod((Root + p).c_str(), 0755);
    }

    // Hands the tree to the user the program runs as, so that its modes
    // (set after this) are the ones that count.
    void HandOver() {
        if (geteuid() != 0) return;
        lchown(Root.c_str(), Uid, Gid);
        for (const auto& e : fs::recursive_directory_iterator(Root))
            lchown(e.path().c_str(), Uid, Gid);
    }

    TResult Run(const std::vector<std::string>& args) {
        const std::string err = Tmp.File("stderr.txt");
        std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TREVASCO_DEBUG "
                          "XDG_CONFIG_HOME='" +
                          Root + "/config' ";
        if (geteuid() == 0)
            cmd += "setpriv --reuid=" + std::to_string(Uid) + " --regid=" + std::to_string(Gid) +
                   " --clear-groups ";
        cmd += "'" TREVASCO_BINARY "'";
        for (const std::string& a : args)
            cmd += " '" + a + "'";
        cmd += " /EXECUTE </dev/null >/dev/null 2>'" + err + "'";
        const int status = std::system(cmd.c_str());
        TResult r;
        r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.StderrLines = Lines(ReadText(err));
        fs::remove(err);
        return r;
    }

    // Every path under the tree, with a slash after folders; temporary files
    // left by a failed write would show here.
    std::set<std::string> Tree() {
        std::set<std::string> paths;
        for (const char* p : {"/in", "/in/sub", "/in/locked", "/out"})
            chmod((Root + p).c_str(), 0755);
        for (const auto& e : fs::recursive_directory_iterator(Root))
            paths.insert(e.path().string().substr(Root.size() + 1) + (e.is_directory() ? "/" : ""));
        return paths;
    }

    // The sources the log names as finished, in order.
    std::vector<std::string> Finished() {
        std::vector<std::string> names;
        if (!fs::exists(Log)) return names;
        const std::vector<std::string> lines = Lines(ReadText(Log));
        // The header line and a blank line, then one line per finished file.
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i].empty()) continue;
            const size_t at = lines[i].find(" Finished ");
            names.push_back(at == std::string::npos ? "?" + lines[i] : lines[i].substr(0, at));
        }
        return names;
    }

    std::vector<std::string> Job(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"/SRC=" + In, "/SUBDIR", "/DST=" + Out, "/DSTFORMAT=png",
                                         "/LOGFILE=" + Log};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    TTempFolder Tmp;
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::string Root, In, Out, Log;
};

// The standard set of the tree after a run with the given destination files.
std::set<std::string> Expected(std::set<std::string> extra) {
    std::set<std::string> paths = {"config/", "in/",          "in/a.bmp", "in/b.bmp",
                                   "in/sub/", "in/sub/c.bmp", "out/",     "done.log"};
    paths.insert(extra.begin(), extra.end());
    return paths;
}

TEST_F(Permissions, AnUnreadableSourceFileCostsItsOwnRow) {
    HandOver();
    chmod((In + "/b.bmp").c_str(), 0);
    const TResult r = Run(Job());
    EXPECT_EQ(r.Status, 1);
    ASSERT_EQ(r.StderrLines.size(), 1u) << ::testing::PrintToString(r.StderrLines);
    const std::string& line = r.StderrLines[0];
    EXPECT_EQ(line.rfind(In + "/b.bmp: ", 0), 0u) << line;
    EXPECT_NE(line.find("Permission denied"), std::string::npos) << line;
    EXPECT_EQ(Finished(), (std::vector<std::string>{In + "/a.bmp", In + "/sub/c.bmp"}));
    EXPECT_EQ(Tree(), Expected({"out/a.png", "out/c.png"}));
}

TEST_F(Permissions, AFolderThatCannotBeListedIsReportedAndTheRestConverts) {
    fs::create_directory(In + "/locked");
    WriteSource(In + "/locked/d.bmp");
    HandOver();
    chmod((In + "/locked").c_str(), 0);
    const TResult r = Run(Job());
    // None of the folder's files can become a row; a silent pass would let a
    // script believe everything was converted.
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.StderrLines, std::vector<std::string>{In + "/locked: Cannot read the folder: "
                                                           "Permission denied"});
    EXPECT_EQ(Finished(),
              (std::vector<std::string>{In + "/a.bmp", In + "/b.bmp", In + "/sub/c.bmp"}));
    EXPECT_EQ(Tree(),
              Expected({"in/locked/", "in/locked/d.bmp", "out/a.png", "out/b.png", "out/c.png"}));
}

TEST_F(Permissions, ADestinationFolderWithoutWritePermissionFailsEveryRow) {
    HandOver();
    chmod(Out.c_str(), 0555);
    const TResult r = Run(Job());
    EXPECT_EQ(r.Status, 1);
    ASSERT_EQ(r.StderrLines.size(), 3u) << ::testing::PrintToString(r.StderrLines);
    const char* names[] = {"a", "b", "sub/c"};
    for (size_t i = 0; i < 3; ++i) {
        const std::string dest = Out + "/" + fs::path(names[i]).filename().string() + ".png";
        EXPECT_EQ(
            r.StderrLines[i].rfind(In + "/" + names[i] + ".bmp: Cannot create file " + dest, 0), 0u)
            << r.StderrLines[i];
        EXPECT_NE(r.StderrLines[i].find("Permission denied"), std::string::npos)
            << r.StderrLines[i];
    }
    EXPECT_EQ(Finished(), std::vector<std::string>{});
    EXPECT_EQ(Tree(), Expected({}));
}

TEST_F(Permissions, AReadOnlyDestinationFileIsNeitherReplacedNorRemoved) {
    const std::vector<uint8_t> kept = {'k', 'e', 'p', 't'};
    WriteFileBytes(Out + "/a.png", kept);
    HandOver();
    chmod((Out + "/a.png").c_str(), 0444);

    // Without overwrite the row is skipped: nothing to report.
    TResult r = Run(Job({"/NOOVERRIDE"}));
    EXPECT_EQ(r.Status, 0) << ::testing::PrintToString(r.StderrLines);
    EXPECT_EQ(r.StderrLines, std::vector<std::string>{});
    EXPECT_EQ(Finished(), (std::vector<std::string>{In + "/b.bmp", In + "/sub/c.bmp"}));

    // With overwrite (the default) the read-only file is refused, although
    // its folder would let it be replaced by a rename.
    fs::remove(Log);
    fs::remove(Out + "/b.png");
    fs::remove(Out + "/c.png");
    r = Run(Job());
    EXPECT_EQ(r.Status, 1);
    ASSERT_EQ(r.StderrLines.size(), 1u) << ::testing::PrintToString(r.StderrLines);
    EXPECT_EQ(r.StderrLines[0], In + "/a.bmp: Cannot create file " + Out + "/a.png");
    EXPECT_EQ(Finished(), (std::vector<std::string>{In + "/b.bmp", In + "/sub/c.bmp"}));
    EXPECT_EQ(ReadFileBytes(Out + "/a.png"), kept);
    struct stat st {};
    ASSERT_EQ(stat((Out + "/a.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(Tree(), Expected({"out/a.png", "out/b.png", "out/c.png"}));
}

TEST_F(Permissions, ALogThatCannotBeWrittenStopsTheRunBeforeAnyFile) {
    // An existing read-only log.
    const std::string header = "earlier run\r\n";
    WriteFileBytes(Log, std::vector<uint8_t>(header.begin(), header.end()));
    HandOver();
    chmod(Log.c_str(), 0444);
    TResult r = Run(Job());
    EXPECT_EQ(r.Status, 1);
    ASSERT_EQ(r.StderrLines.size(), 1u) << ::testing::PrintToString(r.StderrLines);
    EXPECT_NE(r.StderrLines[0].find(Log), std::string::npos) << r.StderrLines[0];
    EXPECT_EQ(ReadText(Log), header);
    EXPECT_EQ(Tree(), Expected({}));

    // A new log in a folder the user may not write.
    fs::create_directory(Root + "/logs");
    HandOver();
    chmod((Root + "/logs").c_str(), 0555);
    const std::string log = Root + "/logs/x.log";
    std::vector<std::string> args = Job();
    args.back() = "/LOGFILE=" + log;
    r = Run(args);
    chmod((Root + "/logs").c_str(), 0755);
    EXPECT_EQ(r.Status, 1);
    ASSERT_EQ(r.StderrLines.size(), 1u) << ::testing::PrintToString(r.StderrLines);
    EXPECT_NE(r.StderrLines[0].find(log), std::string::npos) << r.StderrLines[0];
    EXPECT_EQ(Tree(), Expected({"logs/"}));
}

} // namespace
