// SPDX-License-Identifier: GPL-3.0-or-later
// The job: the settings-file rules for stored values, the switches applied
// through the table, and the command line that gives the job back.
#include "TestSupport.h"

#include "batch/BatchJob.h"
#include "batch/Switches.h"
#include "convert/FormatStartup.h"
#include "util/IniFile.h"

#include <gtest/gtest.h>

namespace {

class BatchJobTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }

    // The job after a fresh start and then these switches; errors collected.
    TBatchJob Applied(const std::vector<std::string>& args) {
        TBatchJob job = NewBatchJob();
        TSwitchContext context{job, Errors, {}};
        for (const std::string& arg : args)
            EXPECT_TRUE(ApplySwitch(context, arg)) << arg;
        return job;
    }
    static TBatchJob Loaded(const std::string& text) {
        TBatchJob job = NewBatchJob();
        LoadBatchJob(TIniFile::FromText(text), job);
        return job;
    }
    std::vector<std::string> Errors;
};

bool HasPrefix(const std::vector<std::string>& args, const std::string& prefix) {
    return std::any_of(args.begin(), args.end(),
                       [&](const std::string& a) { return a.starts_with(prefix); });
}

} // namespace

TEST_F(BatchJobTest, EverySwitchOfTheTableSetsTheJob) {
    // A switch added to the table without a setter would be "unknown" to every run.
    for (const TSwitchInfo& info : SwitchTable())
        EXPECT_TRUE(HasJobSetter(info.Name)) << info.Name;
}

TEST_F(BatchJobTest, StoredValuesThatNameNothingKeepTheirMeaning) {
    const TBatchJob job = Loaded("[General]\nDestinationFormat=12\n"
                                 "[Bitmap]\nPixelFormat=9\n"
                                 "[Image]\nResize=1\nStretchMode=5\nWidth=abc\nHeight=+40\n"
                                 "Resample=blurry\nBackground=#12345\nMetadata=maybe\n"
                                 "[Jpeg]\nCompression=300\n"
                                 "[GIF]\nColorReduction=11\n"
                                 "[WebP]\nEffort=99\n");
    const TConvertOptions& o = job.Options;
    EXPECT_EQ(o.Destination, dfJXL); // past the list: its last entry
    EXPECT_EQ(o.PixelFormat, pfCustom);
    EXPECT_FALSE(o.Resize); // a mode outside the list resizes nothing
    EXPECT_EQ(o.Width, std::nullopt);
    EXPECT_EQ(o.Height, 40);
    EXPECT_EQ(o.Resample, rmSmooth);
    EXPECT_EQ(o.Background, 0xFFFFFFu);
    EXPECT_EQ(o.Metadata, TMetadataMode::Keep);
    EXPECT_EQ(o.Quality, 44); // the low 8 bits
    EXPECT_EQ(o.ColorReduction, std::nullopt);
    EXPECT_EQ(o.WebP.Effort, -1); // the encoder's default

    EXPECT_EQ(Loaded("[General]\nDestinationFormat=-2\n").Options.Destination, std::nullopt);
    EXPECT_EQ(Loaded("[Jpeg]\nCompression=abc\n").Options.Quality, 100);
    EXPECT_EQ(Loaded("[Jpeg]\nCompression=0\n").Options.Quality, 1);
    // A file without the key has always meant the octree; a fresh start takes the best.
    EXPECT_EQ(Loaded("[Jpeg]\nCompression=80\n").Options.ColorReduction, ReduceOptimal);
    EXPECT_EQ(Loaded("").Options.ColorReduction, ReduceBest);
}

TEST_F(BatchJobTest, ExistingFilesFollowBothKeys) {
    EXPECT_EQ(Loaded("[Log]\nOverwrite=0\n").Existing, TExistingFiles::Skip);
    EXPECT_EQ(Loaded("[Log]\nOverwrite=0\n[General]\nExistingFiles=rename\n").Existing,
              TExistingFiles::Rename);
    // "skip" only turns keep-both off: the overwrite key decides.
    EXPECT_EQ(Loaded("[Log]\nOverwrite=1\n[General]\nExistingFiles=skip\n").Existing,
              TExistingFiles::Overwrite);
}

TEST_F(BatchJobTest, SavedJobReadsBackTheSame) {
    TBatchJob job =
        Applied({"/SRC=/in", "/DST=/out", "/SUBDIR", "/RENAME", "/KEEPFOLDERS", "/NAME={n}-{name}",
                 "/LOGFILE=/tmp/l.log", "/DSTFORMAT=avif", "/RESIZE=fit:640x480>",
                 "/RESAMPLE=nearest", "/NOAUTOROTATE", "/BACKGROUND=#102030", "/QUALITY=61",
                 "/COLORREDUCTION=mono", "/METADATA=nolocation", "/LOSSLESS", "/AVIFSPEED=9",
                 "/SRCFORMAT=jpg,png", "/PIXELFORMAT=pf4bit"});
    ASSERT_TRUE(Errors.empty());
    job.Options.Watermark.Enabled = true;
    job.Options.Watermark.Rotate = true;
    job.Options.Watermark.Angle = 30;
    TIniFile ini = TIniFile::FromText("");
    SaveBatchJob(ini, job);
    TBatchJob back = NewBatchJob();
    LoadBatchJob(ini, back);
    EXPECT_EQ(JobArguments(back), JobArguments(job));
    EXPECT_EQ(back.Options.PixelFormat, pf4bit);
    EXPECT_EQ(back.Options.ColorReduction, ReduceMonochrome);
    EXPECT_TRUE(back.Options.Watermark.Enabled);
    EXPECT_EQ(back.Options.Watermark.Angle, 30);
    // A usual job writes only the usual keys.
    TIniFile plain = TIniFile::FromText("");
    SaveBatchJob(plain, NewBatchJob());
    for (const char* key : {"Threads", "KeepFolders", "ExistingFiles", "NamePattern"})
        EXPECT_FALSE(plain.ValueExists("General", key)) << key;
    EXPECT_FALSE(plain.SectionExists("WebP"));
}

TEST_F(BatchJobTest, BadSwitchValuesAreErrorsAndChangeNothing) {
    const TBatchJob fresh = NewBatchJob();
    for (const char* arg :
         {"/QUALITY=0", "/QUALITY=101", "/QUALITY=7x", "/DSTFORMAT=tga", "/PIXELFORMAT=8",
          "/COLORREDUCTION=10", "/RESIZE=800", "/RESIZE=fit:800x", "/RESAMPLE=cubic",
          "/BACKGROUND=red", "/METADATA=all", "/THREADS=-1", "/JXLEFFORT=0", "/SHARD=3/2",
          "/SRCFORMAT=xyz", "/SETTINGS=/nonexistent/preset.ini"}) {
        Errors.clear();
        const TBatchJob job = Applied({arg});
        EXPECT_EQ(Errors.size(), 1u) << arg;
        EXPECT_EQ(JobArguments(job), JobArguments(fresh)) << arg;
    }
}

TEST_F(BatchJobTest, CommandLineNamesOnlyWhatTheDestinationUses) {
    const std::vector<std::string> options = {"/QUALITY=50",         "/COLORREDUCTION=mono",
                                              "/PIXELFORMAT=pf8bit", "/BACKGROUND=#000000",
                                              "/METADATA=strip",     "/LOSSLESS"};
    struct TCase {
        const char* Format;
        std::vector<const char*> Shown;
        std::vector<const char*> Hidden;
    } cases[] = {
        {"/DSTFORMAT=png",
         {"/METADATA="},
         {"/QUALITY=", "/COLORREDUCTION=", "/PIXELFORMAT=", "/BACKGROUND=", "/LOSSLESS"}},
        {"/DSTFORMAT=jpg",
         {"/QUALITY=", "/METADATA=", "/BACKGROUND="},
         {"/COLORREDUCTION=", "/PIXELFORMAT=", "/LOSSLESS"}},
        {"/DSTFORMAT=gif",
         {"/COLORREDUCTION=", "/BACKGROUND="},
         {"/QUALITY=", "/PIXELFORMAT=", "/METADATA="}},
        {"/DSTFORMAT=bmp",
         {"/PIXELFORMAT=", "/BACKGROUND="},
         {"/QUALITY=", "/COLORREDUCTION=", "/METADATA="}},
        {"/DSTFORMAT=webp",
         {"/QUALITY=", "/METADATA=", "/LOSSLESS"},
         {"/COLORREDUCTION=", "/BACKGROUND="}},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> args = options;
        args.push_back(c.Format);
        const std::vector<std::string> line = JobArguments(Applied(args));
        for (const char* shown : c.Shown)
            EXPECT_TRUE(HasPrefix(line, shown)) << c.Format << " " << shown;
        for (const char* hidden : c.Hidden)
            EXPECT_FALSE(HasPrefix(line, hidden)) << c.Format << " " << hidden;
    }
    // The fresh job is one switch.
    EXPECT_EQ(JobArguments(NewBatchJob()), std::vector<std::string>{"/EXECUTE"});
}

TEST_F(BatchJobTest, CommandLineGivesTheJobBack) {
    const std::vector<std::vector<std::string>> jobs = {
        {"/SRC=/a b", "/MASK=*.jpg;*.png", "/DSTFORMAT=jpg", "/RESIZE=50x25%>", "/QUALITY=33"},
        {"/DST=/o", "/NOOVERRIDE", "/RESIZE=x600", "/DSTFORMAT=gif", "/COLORREDUCTION=web216",
         "/THREADS=2"},
        {"/RESIZE=fit:100x80", "/DSTFORMAT=jxl", "/JXLEFFORT=3", "/METADATA=strip",
         "/SRCFORMAT=tif"},
        {"/RESIZE=640x480", "/RESAMPLE=nearest", "/PIXELFORMAT=1bit", "/BACKGROUND=#FF0000"},
    };
    for (const auto& args : jobs) {
        const TBatchJob job = Applied(args);
        std::vector<std::string> line = JobArguments(job);
        ASSERT_EQ(line.back(), "/EXECUTE");
        const TBatchJob again = Applied(line);
        EXPECT_TRUE(again.Execute);
        EXPECT_EQ(JobArguments(again), line) << line.front();
        EXPECT_EQ(again.Options.Width, job.Options.Width);
        EXPECT_EQ(again.Options.StretchMode, job.Options.StretchMode);
        EXPECT_EQ(again.Mask, job.Mask);
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(BatchJobTest, WhatTheCommandLineCannotSay) {
    TBatchJob job =
        Applied({"/WATERMARK=(c) me", "/WATERMARKPOS=bottom-right", "/WATERMARKANGLE=45"});
    EXPECT_TRUE(JobPartsWithoutSwitch(job, 0).empty());
    // The watermark has its switches, and they give it back.
    const std::vector<std::string> line = JobArguments(job);
    EXPECT_EQ(JobArguments(Applied(line)), line);
    EXPECT_TRUE(HasPrefix(line, "/WATERMARKPOS="));
    const std::vector<std::string> parts = JobPartsWithoutSwitch(job, 3);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_NE(parts[0].find("3 unticked files"), std::string::npos);
}
