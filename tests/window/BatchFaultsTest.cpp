// SPDX-License-Identifier: GPL-3.0-or-later
// The image window's batch run when the file system misbehaves between the
// scan and the run: each fault costs its own row, with a message, and leaves
// no half-written destination; the other rows convert as usual. The exit
// status these faults give is checked on the unattended program.
#include "WindowTestSupport.h"

#include "convert/FormatStartup.h"
#include "toolkit/Bitmap.h"
#include "window/frmMain.h"

#include <QPushButton>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void WriteSource(const std::string& path, int width, int height) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < 3 * width; ++x)
            row[x] = static_cast<uint8_t>(x * 7 + y * 13);
    }
    b.SaveToFile(path);
}

// A small tmpfs over a folder for the life of the object; Mounted() is false
// where mounting is not allowed (not root, no capability in the container).
class TTinyMount {
public:
    TTinyMount(const std::string& folder, const char* options) : FFolder(folder) {
        FMounted = mount("tmpfs", folder.c_str(), "tmpfs", 0, options) == 0;
    }
    ~TTinyMount() {
        if (FMounted) umount(FFolder.c_str());
    }
    bool Mounted() const { return FMounted; }
    void Remount(unsigned long flags, const char* options) {
        mount("tmpfs", FFolder.c_str(), "tmpfs", MS_REMOUNT | flags, options);
    }

private:
    std::string FFolder;
    bool FMounted = false;
};

class BatchFaults : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        static bool registered = false;
        if (!registered) RegisterImageFormats();
        registered = true;
        In = Tmp.File("in");
        Out = Tmp.File("out");
        fs::create_directory(In);
        WriteSource(In + "/a.bmp", 30, 20);
        WriteSource(In + "/b.bmp", 30, 20);
        WriteSource(In + "/c.bmp", 30, 20);
    }

    // Scans the sources onto the progress list (which also makes the
    // destination folder), so that a fault can be set up before the run.
    std::unique_ptr<TfrmMain> Scanned(std::vector<std::string> extra = {}) {
        auto w = std::make_unique<TfrmMain>();
        std::vector<std::string> args = {"/SRC=" + In, "/DST=" + Out, "/DSTFORMAT=png"};
        args.insert(args.end(), extra.begin(), extra.end());
        w->ProcessCommandLine(args);
        w->SetPage(5);
        w->SetPage(6);
        return w;
    }
    // Runs the batch as the Execute button does; returns "name|status" per
    // row, answering every message box.
    std::vector<std::string> Run(TfrmMain& w, QStringList* boxes = nullptr) {
        TMessageBoxWatcher watcher;
        Child<QPushButton>(&w, "btnCancel")->click();
        if (boxes) *boxes = watcher.Texts;
        std::vector<std::string> rows;
        for (const auto& r : Rows(Child<QTreeWidget>(&w, "lvProgress"), {pcFileName, pcStatus}))
            rows.push_back(fs::path(r.substr(0, r.find('|'))).filename().string() +
                           r.substr(r.find('|')));
        return rows;
    }
    // Entries of the destination folder, so that leftovers show.
    std::vector<std::string> OutFiles() {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Out, ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static bool IsError(const std::string& row, const std::string& name) {
        return row.rfind(name + "|Error ", 0) == 0 && row.size() > name.size() + 8;
    }

    TPrivateSettings Settings;
    TTempFolder Tmp;
    std::string In, Out;
};

TEST_F(BatchFaults, SourceDeletedOrUnreadableAfterTheScan) {
    auto w = Scanned();
    fs::remove(In + "/a.bmp");
    // A folder in place of the file: unreadable even for root, who ignores modes.
    fs::remove(In + "/b.bmp");
    fs::create_directory(In + "/b.bmp");
    const auto rows = Run(*w);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(IsError(rows[0], "a.bmp")) << rows[0];
    EXPECT_TRUE(IsError(rows[1], "b.bmp")) << rows[1];
    EXPECT_EQ(rows[2], "c.bmp|Finished");
    EXPECT_EQ(OutFiles(), std::vector<std::string>{"c.png"});

    if (geteuid() != 0) {
        fs::remove(In + "/b.bmp");
        WriteSource(In + "/b.bmp", 30, 20);
        auto again = Scanned();
        chmod((In + "/b.bmp").c_str(), 0);
        const auto r = Run(*again);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_TRUE(IsError(r[0], "b.bmp")) << r[0];
        EXPECT_EQ(r[1], "c.bmp|Finished");
    }
}

TEST_F(BatchFaults, DestinationFolderThatCannotBeWritten) {
    auto w = Scanned();
    // A plain file where the folder was: nothing can be created in it, root or not.
    fs::remove_all(Out);
    std::ofstream(Out) << "in the way";
    const auto rows = Run(*w);
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_TRUE(IsError(rows[i], std::string(1, char('a' + i)) + ".bmp")) << rows[i];
    EXPECT_EQ(ReadFileBytes(Out).size(), 10u);

    if (geteuid() != 0) {
        fs::remove(Out);
        auto again = Scanned();
        chmod(Out.c_str(), 0555);
        const auto r = Run(*again);
        ASSERT_EQ(r.size(), 3u);
        EXPECT_TRUE(IsError(r[0], "a.bmp")) << r[0];
        EXPECT_EQ(OutFiles(), std::vector<std::string>{});
        chmod(Out.c_str(), 0755);
    }
}

TEST_F(BatchFaults, DiskFullCostsOnlyTheFileThatDoesNotFit) {
    // b is large enough (about 190 KB as PNG of noise-like rows) to overflow 64 KB.
    TBitmap big;
    big.SetPixelFormat(pf24bit);
    big.SetSize(300, 220);
    uint32_t seed = 12345;
    for (int y = 0; y < 220; ++y) {
        uint8_t* row = big.ScanLine(y);
        for (int x = 0; x < 900; ++x) {
            seed = seed * 1103515245u + 12345u;
            row[x] = static_cast<uint8_t>(seed >> 24);
        }
    }
    big.SaveToFile(In + "/b.bmp");
    auto w = Scanned();
    TTinyMount disk(Out, "size=64k");
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    const auto rows = Run(*w);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], "a.bmp|Finished");
    EXPECT_TRUE(IsError(rows[1], "b.bmp")) << rows[1];
    EXPECT_EQ(rows[2], "c.bmp|Finished");
    // No temporary or partial file of b is left filling the disk.
    EXPECT_EQ(OutFiles(), (std::vector<std::string>{"a.png", "c.png"}));
}

TEST_F(BatchFaults, LogThatCannotBeWrittenStopsTheRunBeforeAnyFile) {
    std::ofstream(Tmp.File("file")) << "x";
    for (const std::string& log : {Tmp.File("file/x.log"), Tmp.File("missing/x.log")}) {
        auto w = Scanned({"/LOGFILE=" + log});
        QStringList boxes;
        const auto rows = Run(*w, &boxes);
        ASSERT_EQ(boxes.size(), 1) << log;
        EXPECT_TRUE(boxes[0].contains(QString::fromStdString(log))) << boxes[0].toStdString();
        for (const auto& r : rows)
            EXPECT_NE(r.find("|Waiting"), std::string::npos) << r;
        EXPECT_EQ(OutFiles(), std::vector<std::string>{});
    }

    // A read-only file system: root cannot write there either.
    fs::create_directory(Tmp.File("ro"));
    TTinyMount ro(Tmp.File("ro"), "size=64k");
    if (!ro.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    ro.Remount(MS_RDONLY, "size=64k");
    auto w = Scanned({"/LOGFILE=" + Tmp.File("ro/x.log")});
    QStringList boxes;
    Run(*w, &boxes);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains("x.log")) << boxes[0].toStdString();
    EXPECT_EQ(OutFiles(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(Tmp.File("ro/x.log")));
}

#ifdef TREVASCO_BINARY
// Unattended, a failed row and a refused log each give exit status 1 and a
// line on stderr naming the source or the log.
TEST_F(BatchFaults, UnattendedRunReportsFaultsInItsExitStatus) {
    std::ofstream(In + "/broken.bmp") << "BM not really";
    auto run = [&](const std::string& extra) {
        const std::string err = Tmp.File("err.txt");
        std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u TREVASCO_DEBUG "
                          "XDG_CONFIG_HOME='" +
                          Tmp.File("config") + "' '" TREVASCO_BINARY "' '/SRC=" + In +
                          "' '/DST=" + Out + "' /DSTFORMAT=png /EXECUTE " + extra + " 2>'" + err +
                          "'";
        const int status = std::system(cmd.c_str());
        const std::vector<uint8_t> text = ReadFileBytes(err);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                              std::string(text.begin(), text.end()));
    };
    auto [status, err] = run("");
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find(In + "/broken.bmp: "), std::string::npos) << err;
    EXPECT_EQ(err.find("a.bmp"), std::string::npos) << err;
    EXPECT_EQ(OutFiles(), (std::vector<std::string>{"a.png", "b.png", "c.png"}));

    fs::remove(In + "/broken.bmp");
    fs::remove_all(Out);
    std::ofstream(Tmp.File("file")) << "x";
    auto [logStatus, logErr] = run("'/LOGFILE=" + Tmp.File("file/x.log") + "'");
    EXPECT_EQ(logStatus, 1);
    EXPECT_NE(logErr.find("x.log"), std::string::npos) << logErr;
    EXPECT_FALSE(fs::exists(Out + "/a.png"));
}
#endif

} // namespace
