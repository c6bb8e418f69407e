// SPDX-License-Identifier: GPL-3.0-or-later
// Writing destinations: never replacing a file that appeared while overwriting
// was off, short temporary names, owners kept, and no temporary file left
// behind by a signal.
#include "TestSupport.h"

#include "base/Exceptions.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void WriteThrough(const std::string& path, const std::string& text) {
    TAtomicFileStream out(path);
    out.WriteBuffer(text.data(), text.size());
    out.Commit();
}

std::string ReadText(const std::string& path) {
    const auto bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

int EntryCount(const std::string& folder) {
    int n = 0;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace

TEST(AtomicFileStream, WithoutReplacingAnExistingFileSurvives) {
    TTempFolder tmp;
    const std::string path = tmp.File("a.png");
    WriteThrough(path, "first");
    {
        TNoReplaceScope scope(true);
        EXPECT_THROW(WriteThrough(path, "second"), EDestinationExists);
    }
    EXPECT_EQ(ReadText(path), "first");
    EXPECT_EQ(EntryCount(tmp.Path()), 1); // no temporary file left

    // The file appears between opening and committing: still not replaced.
    {
        TNoReplaceScope scope(true);
        TAtomicFileStream out(tmp.File("b.png"));
        out.WriteBuffer("late", 4);
        WriteThrough(tmp.File("b.png"), "early"); // another writer gets there first
        EXPECT_THROW(out.Commit(), EDestinationExists);
    }
    EXPECT_EQ(ReadText(tmp.File("b.png")), "early");
    EXPECT_EQ(EntryCount(tmp.Path()), 2);

    {
        TNoReplaceScope scope(true);
        TNoReplaceScope inactive(false); // an inactive inner scope keeps the outer choice
        EXPECT_THROW(WriteThrough(path, "x"), EDestinationExists);
    }
    EXPECT_EQ(ReadText(path), "first");
    // Outside a scope, replacing is the rule again.
    WriteThrough(path, "third");
    EXPECT_EQ(ReadText(path), "third");
}

TEST(AtomicFileStream, NamesNearTheLimitStillWork) {
    TTempFolder tmp;
    const std::string path = tmp.File(std::string(255, 'n'));
    WriteThrough(path, "long");
    EXPECT_EQ(ReadText(path), "long");
}

TEST(AtomicFileStream, RootKeepsTheOwnerOfAReplacedFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
    TTempFolder tmp;
    const std::string path = tmp.File("owned.png");
    WriteThrough(path, "old");
    ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    WriteThrough(path, "new");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(AtomicFileStream, ASignalRemovesTheTemporaryFilesInFlight) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TTempFolder tmp;
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            InstallTemporaryFileCleanup();
            TAtomicFileStream a(tmp.File("a.png"));
            TAtomicFileStream b(tmp.File("b.png"));
            a.WriteBuffer("partial", 7);
            (void)!::write(ready[1], "r", 1);
            ::pause();
            ::_exit(0);
        }
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        EXPECT_EQ(EntryCount(tmp.Path()), 2); // both temporary files exist
        ::kill(child, signal);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_EQ(EntryCount(tmp.Path()), 0) << signal;
    }
}
