// SPDX-License-Identifier: GPL-3.0-or-later
// The source scan: order, mask, sub-folders, and what a live file system can throw at it.
#include "WindowTestSupport.h"

#include "batch/SourceScan.h"

#include <QLineEdit>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SourceScan : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
    TPrivateSettings Settings;
    TTempFolder Source;

    void Touch(const std::string& name) { std::ofstream(Source.File(name)) << "x"; }
    std::vector<std::string> Scan(std::vector<std::string> args) {
        W = std::make_unique<TTestWindow>();
        args.insert(args.begin(), "/SRC=" + Source.Path());
        W->ProcessCommandLine(args);
        W->SetPageTo(5);
        return Rows(Child<QTreeWidget>(W.get(), "lvFileName"), {0});
    }
    std::unique_ptr<TTestWindow> W;
};

using Names = std::vector<std::string>;

} // namespace

TEST_F(SourceScan, NamesComeSortedByFoldedNameWithHiddenFilesIncluded) {
    for (const char* n :
         {"b.jpg", "A.jpg", "a.jpg", ".hidden.jpg", "c.JPG", "README", "\xC3\xA9.jpg"})
        Touch(n);
    // Folded names compared, ties by bytes: "A.jpg" before "a.jpg".
    EXPECT_EQ(Scan({}),
              (Names{".hidden.jpg", "A.jpg", "a.jpg", "b.jpg", "c.JPG", "README", "\xC3\xA9.jpg"}));
    EXPECT_EQ(Scan({"/MASK=*.JPG"}),
              (Names{".hidden.jpg", "A.jpg", "a.jpg", "b.jpg", "c.JPG", "\xC3\xA9.jpg"}));
    EXPECT_EQ(Scan({"/MASK=" + Source.Path() + "/"}).size(), 7u); // a folder in the mask: *.*
    EXPECT_EQ(Scan({"/MASK="}).size(), 7u);
    EXPECT_EQ(Scan({"/MASK=/x/?.jpg"}),
              (Names{"A.jpg", "a.jpg", "b.jpg", "c.JPG", "\xC3\xA9.jpg"}));
}

TEST_F(SourceScan, SubFoldersAppearWhereTheirParentMetThem) {
    Touch("a.jpg");
    fs::create_directory(Source.File("photos.jpg"));
    Touch("photos.jpg/inner.jpg");
    Touch("z.jpg");
    EXPECT_EQ(Scan({"/MASK=*.jpg"}), (Names{"a.jpg", "z.jpg"}));
    EXPECT_EQ(Scan({"/MASK=*.jpg", "/SUBDIR"}), (Names{"a.jpg", "inner.jpg", "z.jpg"}));
    auto* list = Child<QTreeWidget>(W.get(), "lvFileName");
    EXPECT_EQ(Column(list->topLevelItem(0), 1), Source.Path());
    EXPECT_EQ(Column(list->topLevelItem(1), 1), Source.Path() + "/photos.jpg");
}

TEST_F(SourceScan, LinksToFilesCountLinksToFoldersAndSpecialFilesDoNot) {
    Touch("real.jpg");
    fs::create_directory(Source.File("sub"));
    Touch("sub/deep.jpg");
    fs::create_symlink(Source.File("real.jpg"), Source.File("link.jpg"));
    fs::create_symlink(Source.Path(), Source.File("sub/loop")); // would never end
    fs::create_symlink(Source.File("gone"), Source.File("dangling.jpg"));
    ASSERT_EQ(mkfifo(Source.File("pipe.jpg").c_str(), 0600), 0); // would block a reader
    EXPECT_EQ(Scan({"/SUBDIR"}), (Names{"link.jpg", "real.jpg", "deep.jpg"}));
}

TEST_F(SourceScan, MissingFolderGivesAnEmptyListAndEmptyTextIsTheCurrentFolder) {
    EXPECT_TRUE(ListFolder(Source.File("nothing")).empty());
    Touch("here.jpg");
    const fs::path old = fs::current_path();
    fs::current_path(Source.Path());
    std::vector<TDirEntry> entries = ListFolder("");
    fs::current_path(old);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Name, "here.jpg");
    EXPECT_EQ(JoinPath("", "a"), "a");
    EXPECT_EQ(JoinPath("/in/", "a"), "/in//a");
}

// Building the file list and the progress list must stay linear. Prints the
// figures for 5,000 and 20,000 files; asserts no time (machines differ).
TEST_F(SourceScan, LargeBatchFigures) {
    if (!std::getenv("TREVASCO_MEASURE")) GTEST_SKIP() << "set TREVASCO_MEASURE=1 to measure";
    for (int count : {5000, 20000}) {
        TPrivateSettings fresh; // the previous window saved its own source folder
        TTempFolder big;
        for (int i = 0; i < count; ++i)
            std::ofstream(big.File("f" + std::to_string(i) + ".src"));
        TTestWindow w;
        w.ProcessCommandLine({"/SRC=" + big.Path(), "/DST=" + big.Path() + "/out"});
        w.show();
        using clock = std::chrono::steady_clock;
        auto t0 = clock::now();
        w.SetPageTo(5);
        auto t1 = clock::now();
        w.SetPageTo(6);
        auto t2 = clock::now();
        TMessageBoxWatcher boxes;
        w.RunBatch();
        auto t3 = clock::now();
        auto ms = [](auto d) {
            return static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
        };
        std::printf(
            "%d files: file list %ld ms, progress list %ld ms, run (no-op conversion) %ld ms\n",
            count, ms(t1 - t0), ms(t2 - t1), ms(t3 - t2));
        EXPECT_EQ(Child<QTreeWidget>(&w, "lvProgress")->topLevelItemCount(), count);
        TMessageBoxWatcher yes(QMessageBox::Yes);
        w.close();
    }
}
