// SPDX-License-Identifier: GPL-3.0-or-later
// How long the window takes to build its file list and its progress list, and
// to walk a run whose conversion does nothing, for 5,000 and 20,000 files:
//
//   measure_window_lists [count...]
//
// Both lists must grow linearly with the number of files; the figures are for
// reading, machines differ.
#include "DemoWindow.h"

#include <QApplication>
#include <QTreeWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

long Milliseconds(std::chrono::steady_clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {5000, 20000};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TMessageBoxAnswerer answerer;
    for (int count : counts) {
        TScratchSettings settings; // also holds the files
        const std::string source = settings.Folder() + "/files";
        std::filesystem::create_directories(source);
        for (int i = 0; i < count; ++i)
            std::ofstream(source + "/f" + std::to_string(i) + ".src");
        TDemoWindow w({".out"});
        w.ProcessCommandLine({"/SRC=" + source, "/DST=" + source + "/out"});
        w.show();
        using clock = std::chrono::steady_clock;
        const auto t0 = clock::now();
        w.SetPage(5);
        const auto t1 = clock::now();
        w.SetPage(6);
        const auto t2 = clock::now();
        w.RunBatch();
        const auto t3 = clock::now();
        const int rows =
            w.findChild<QTreeWidget*>(QStringLiteral("lvProgress"))->topLevelItemCount();
        std::printf("%d files (%d rows): file list %ld ms, progress list %ld ms, run (no-op "
                    "conversion) %ld ms\n",
                    count, rows, Milliseconds(t1 - t0), Milliseconds(t2 - t1),
                    Milliseconds(t3 - t2));
        if (rows != count) {
            std::fprintf(stderr, "expected %d rows\n", count);
            return 1;
        }
    }
    return 0;
}
