// SPDX-License-Identifier: GPL-3.0-or-later
// The whole-run progress the window's label and the terminal line share.
#include "batch/RunProgress.h"

#include <gtest/gtest.h>

TEST(RunProgress, PercentAndTimeLeftAtThePaceSoFar) {
    // 10 of 40 in 20 s: 2 s a row, 30 rows to go.
    const TRunProgress quarter{10, 40, 20000};
    EXPECT_EQ(quarter.Percent(), 25);
    EXPECT_EQ(quarter.SecondsLeft(), 60);
    EXPECT_TRUE(quarter.CanEstimate());
    // Rounded to the nearest second, and percent rounded down (1 of 3 is 33).
    EXPECT_EQ((TRunProgress{1, 3, 1250}.SecondsLeft()), 3); // 2.5 s rounds up
    EXPECT_EQ((TRunProgress{1, 3, 1240}.SecondsLeft()), 2);
    EXPECT_EQ((TRunProgress{1, 3, 0}.Percent()), 33);
    EXPECT_EQ((TRunProgress{2, 3, 0}.Percent()), 66);
}

TEST(RunProgress, NoEstimateBeforeTheFirstRowOrAfterTheLast) {
    for (const TRunProgress& p : {TRunProgress{0, 5, 3000}, TRunProgress{5, 5, 3000}}) {
        EXPECT_FALSE(p.CanEstimate());
        EXPECT_EQ(p.SecondsLeft(), 0);
    }
    // A run without rows is complete, and a zero time never divides by zero.
    EXPECT_EQ((TRunProgress{0, 0, 0}.Percent()), 100);
    EXPECT_GT((TRunProgress{3, 9, 0}.ElapsedSeconds()), 0.0);
    EXPECT_EQ((TRunProgress{3, 9, 0}.SecondsLeft()), 0);
    // More rows reported than planned (a row counted twice) still reads as done.
    EXPECT_EQ((TRunProgress{7, 5, 100}.Percent()), 100);
    EXPECT_EQ((TRunProgress{7, 5, 100}.SecondsLeft()), 0);
}

TEST(RunProgress, TextsOfTimesAndOfTheWholeRun) {
    EXPECT_EQ(MinutesSeconds(0), "0:00");
    EXPECT_EQ(MinutesSeconds(9), "0:09");
    EXPECT_EQ(MinutesSeconds(125), "2:05");
    EXPECT_EQ(MinutesSeconds(4503), "75:03"); // minutes go on past the hour
    EXPECT_EQ(MinutesSeconds(-4), "0:00");

    EXPECT_EQ(ProgressText({0, 412, 800}), "0 of 412, 0:00 elapsed");
    EXPECT_EQ(ProgressText({37, 412, 12000}), "37 of 412, 0:12 elapsed, 2:02 left");
    EXPECT_EQ(ProgressText({412, 412, 83000}), "412 of 412, 1:23 elapsed");
}
