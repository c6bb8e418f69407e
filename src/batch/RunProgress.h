// SPDX-License-Identifier: GPL-3.0-or-later
// How far a batch run has got: rows done of all, the time spent and an
// estimate of the time left. The window's progress label and the unattended
// run's terminal line both show it, so the arithmetic lives here once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TRunProgress {
    size_t Done = 0;
    size_t Total = 0;
    int64_t ElapsedMilliseconds = 0;

    // Whole percent of the rows done; 100 for a run without rows.
    int Percent() const;
    // Seconds spent (at least a millisecond's worth, so rates stay finite).
    double ElapsedSeconds() const;
    // Seconds left at the pace so far, rounded; 0 until a row is done.
    int64_t SecondsLeft() const;
    // Whether SecondsLeft means anything yet.
    bool CanEstimate() const { return Done > 0 && Done < Total; }
};

// Milliseconds of a steady clock: the run's time spent and each row's time.
int64_t TickCount();

// "m:ss" (minutes may pass 59: "75:03"); negative values count as 0.
std::string MinutesSeconds(int64_t seconds);

// "37 of 412, 0:12 elapsed, 2:05 left"; without the time left until it can be
// estimated and once every row is done.
std::string ProgressText(const TRunProgress& progress);
