// SPDX-License-Identifier: GPL-3.0-or-later
// Building the rows of a run: destinations, collisions inside the run, sources
// that a destination would destroy, and what exists already.
#include "TestSupport.h"

#include "batch/BatchRows.h"
#include "batch/Shards.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

void Touch(const std::string& path) {
    WriteFileBytes(path, {1, 2, 3});
}

std::vector<TBatchRow> Build(const TRowPlan& plan,
                             const std::vector<std::pair<std::string, std::string>>& files,
                             const std::string& ext) {
    TRowBuilder builder(plan);
    for (const auto& [dir, file] : files)
        builder.Add(dir, file, ext);
    return builder.Build();
}

} // namespace

TEST(BatchRows, DestinationReplacesTheLastExtensionOnly) {
    EXPECT_EQ(DestinationPathFor("/s", "/s/a.b.jpg", "/d", ".png"), "/d/a.b.png");
    EXPECT_EQ(DestinationPathFor("/s", "/s/noext", "/d", ".png"), "/d/noext.png");
    EXPECT_EQ(DestinationPathFor("/s.x", "/s.x/name", "/d", ".png"), "/d/name.png");
    // An empty destination folder is the current folder, never the root.
    EXPECT_EQ(DestinationPathFor("/s", "/s/a.jpg", "", ".png"), "a.png");
}

TEST(BatchRows, NumberedNamesKeepTheExtension) {
    EXPECT_EQ(NumberedName("/d/a.png", 2), "/d/a (2).png");
    EXPECT_EQ(NumberedName("/d.x/a", 3), "/d.x/a (3)");
    EXPECT_EQ(NumberedName("/d/.hidden", 2), "/d/.hidden (2)");
}

TEST(BatchRows, SameNameInThreeFoldersFlattenedFailsAllButTheFirst) {
    TTempFolder tmp;
    const std::string src = tmp.Path() + "/src", dst = tmp.Path() + "/dst";
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* sub : {"/100CANON", "/101CANON", "/102CANON"}) {
        ::mkdir((src).c_str(), 0777);
        ::mkdir((src + sub).c_str(), 0777);
        Touch(src + sub + "/IMG_0001.JPG");
        files.push_back({src + sub, src + sub + "/IMG_0001.JPG"});
    }
    TRowPlan plan;
    plan.DestinationFolder = dst;
    const auto rows = Build(plan, files, ".png");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].State, TRowState::Waiting);
    EXPECT_EQ(rows[0].Dest, dst + "/IMG_0001.png");
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(rows[i].State, TRowState::Failed);
        // The message names the source whose picture the destination already holds.
        EXPECT_NE(rows[i].Message.find(files[0].second), std::string::npos) << rows[i].Message;
    }

    plan.Existing = TExistingFiles::Rename;
    const auto renamed = Build(plan, files, ".png");
    EXPECT_EQ(renamed[0].Dest, dst + "/IMG_0001.png");
    EXPECT_EQ(renamed[1].Dest, dst + "/IMG_0001 (2).png");
    EXPECT_EQ(renamed[2].Dest, dst + "/IMG_0001 (3).png");
    for (const TBatchRow& row : renamed)
        EXPECT_EQ(row.State, TRowState::Waiting);
}

TEST(BatchRows, DestinationsCompareByteForByte) {
    // The file system tells "Pic" from "pic": both are written.
    TTempFolder tmp;
    Touch(tmp.Path() + "/Pic.bmp");
    Touch(tmp.Path() + "/pic.gif");
    TRowPlan plan;
    plan.DestinationFolder = tmp.Path() + "/out";
    const auto rows =
        Build(plan, {{tmp.Path(), tmp.Path() + "/Pic.bmp"}, {tmp.Path(), tmp.Path() + "/pic.gif"}},
              ".png");
    EXPECT_EQ(rows[0].State, TRowState::Waiting);
    EXPECT_EQ(rows[1].State, TRowState::Waiting);
}

TEST(BatchRows, ADestinationThatIsAnotherSourceIsNeverWritten) {
    TTempFolder tmp;
    Touch(tmp.Path() + "/a.jpg");
    Touch(tmp.Path() + "/a.png");
    TRowPlan plan;
    plan.DestinationFolder = tmp.Path();
    const auto rows = Build(
        plan, {{tmp.Path(), tmp.Path() + "/a.jpg"}, {tmp.Path(), tmp.Path() + "/a.png"}}, ".png");
    EXPECT_EQ(rows[0].State, TRowState::Failed);
    EXPECT_NE(rows[0].Message.find(tmp.Path() + "/a.png"), std::string::npos);
    // The file itself is skipped, as before.
    EXPECT_EQ(rows[1].State, TRowState::Skipped);

    // Keeping both writes the conversion beside the source instead.
    plan.Existing = TExistingFiles::Rename;
    const auto kept = Build(
        plan, {{tmp.Path(), tmp.Path() + "/a.jpg"}, {tmp.Path(), tmp.Path() + "/a.png"}}, ".png");
    EXPECT_EQ(kept[0].State, TRowState::Waiting);
    EXPECT_EQ(kept[0].Dest, tmp.Path() + "/a (2).png");
}

TEST(BatchRows, ASourceReachedThroughALinkIsProtectedToo) {
    TTempFolder tmp;
    ::mkdir((tmp.Path() + "/out").c_str(), 0777);
    Touch(tmp.Path() + "/a.jpg");
    Touch(tmp.Path() + "/b.png");
    ASSERT_EQ(::symlink((tmp.Path() + "/b.png").c_str(), (tmp.Path() + "/out/a.png").c_str()), 0);
    TRowPlan plan;
    plan.DestinationFolder = tmp.Path() + "/out";
    const auto rows = Build(
        plan, {{tmp.Path(), tmp.Path() + "/a.jpg"}, {tmp.Path(), tmp.Path() + "/b.png"}}, ".png");
    EXPECT_EQ(rows[0].State, TRowState::Failed) << rows[0].Message;
}

TEST(BatchRows, ExistingDestinationsFollowTheChoice) {
    TTempFolder tmp;
    ::mkdir((tmp.Path() + "/out").c_str(), 0777);
    Touch(tmp.Path() + "/a.jpg");
    Touch(tmp.Path() + "/out/a.png");
    Touch(tmp.Path() + "/out/a (2).png");
    TRowPlan plan;
    plan.DestinationFolder = tmp.Path() + "/out";
    const std::vector<std::pair<std::string, std::string>> files = {
        {tmp.Path(), tmp.Path() + "/a.jpg"}};
    EXPECT_EQ(Build(plan, files, ".png")[0].State, TRowState::Waiting);
    plan.Existing = TExistingFiles::Skip;
    EXPECT_EQ(Build(plan, files, ".png")[0].State, TRowState::Skipped);
    plan.Existing = TExistingFiles::Rename;
    const auto rows = Build(plan, files, ".png");
    EXPECT_EQ(rows[0].State, TRowState::Waiting);
    EXPECT_EQ(rows[0].Dest, tmp.Path() + "/out/a (3).png");
}

TEST(Shards, EveryPathBelongsToExactlyOneShardAndStaysThere) {
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i)
        paths.push_back("DCIM/" + std::to_string(i % 7) + "/IMG_" + std::to_string(i) + ".JPG");
    std::vector<int> owner(paths.size(), 0);
    for (int k = 1; k <= 5; ++k) {
        TShard shard;
        ASSERT_TRUE(ParseShard(std::to_string(k) + "/5", shard));
        for (size_t i = 0; i < paths.size(); ++i)
            if (InShard(paths[i], shard)) owner[i] = owner[i] ? -1 : k;
    }
    std::vector<int> perShard(6, 0);
    for (int o : owner) {
        ASSERT_GT(o, 0); // exactly one shard each
        ++perShard[static_cast<size_t>(o)];
    }
    for (int k = 1; k <= 5; ++k)
        EXPECT_GT(perShard[static_cast<size_t>(k)], 20) << "shard " << k << " nearly empty";
    // The hash depends on the path alone: the same answer on every machine and run.
    EXPECT_EQ(StableHash("a"), 0xaf63dc4c8601ec8cull);

    TShard bad;
    for (const char* text : {"0/3", "4/3", "1/0", "1", "a/b", "1/3/", "-1/3", ""})
        EXPECT_FALSE(ParseShard(text, bad)) << text;
}

TEST(BatchRows, NamePatternsAreCheckedBeforeTheRun) {
    EXPECT_EQ(NamePatternError("{name}-{n}"), "");
    EXPECT_NE(NamePatternError("a/b"), "");
    EXPECT_NE(NamePatternError(std::string("a\0b", 3)), "");
    EXPECT_NE(NamePatternError("{nmae}"), "");
    EXPECT_NE(NamePatternError(""), "");
}
