// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/RunProgress.h"

#include <algorithm>
#include <chrono>

int TRunProgress::Percent() const {
    if (Total == 0) return 100;
    return static_cast<int>(std::min(Done, Total) * 100 / Total);
}

double TRunProgress::ElapsedSeconds() const {
    return static_cast<double>(std::max<int64_t>(1, ElapsedMilliseconds)) / 1000.0;
}

int64_t TRunProgress::SecondsLeft() const {
    if (Done == 0 || Done >= Total) return 0;
    const double perRow = ElapsedSeconds() / static_cast<double>(Done);
    return static_cast<int64_t>(perRow * static_cast<double>(Total - Done) + 0.5);
}

std::string MinutesSeconds(int64_t seconds) {
    seconds = std::max<int64_t>(0, seconds);
    const int64_t s = seconds % 60;
    return std::to_string(seconds / 60) + (s < 10 ? ":0" : ":") + std::to_string(s);
}

std::string ProgressText(const TRunProgress& progress) {
    std::string text = std::to_string(progress.Done) + " of " + std::to_string(progress.Total) +
                       ", " + MinutesSeconds(progress.ElapsedMilliseconds / 1000) + " elapsed";
    if (progress.CanEstimate()) text += ", " + MinutesSeconds(progress.SecondsLeft()) + " left";
    return text;
}

int64_t TickCount() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
