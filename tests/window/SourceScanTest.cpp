// SPDX-License-Identifier: GPL-3.0-or-later
// The source scan: order, mask, sub-folders, and what a live file system can throw at it.
#include "WindowTestSupport.h"

#include "batch/SourceScan.h"

#include <QLineEdit>
#include <QTreeWidget>

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
