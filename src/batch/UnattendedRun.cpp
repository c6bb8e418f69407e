// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/UnattendedRun.h"

#include "base/StrUtils.h"
#include "batch/RunProgress.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

void TJobConversion::ConvertFile(const std::string& source, const std::string& dest) {
    FConverter.ConvertFile(source, dest, FJob.Options);
}

TWorkerConversion TJobConversion::CreateWorkerConversion() {
    auto converter = std::make_shared<TImageConverter>();
    converter->BeforeRun();
    return [converter, options = FJob.Options](const std::string& source, const std::string& dest) {
        converter->ConvertFile(source, dest, options);
    };
}

bool TJobConversion::WrittenSize(const std::string& source, int& width, int& height) {
    // Only the name pattern asks, and only when it holds {w} or {h}: the picture is read for it.
    return WrittenPictureSize(source, FJob.Options, width, height);
}

namespace {

// The unattended run's reports: a line on stderr per failure (in row order),
// and on a terminal one updating progress line.
class TUnattendedHooks : public TJobConversion {
public:
    explicit TUnattendedHooks(const TBatchJob& job) : TJobConversion(job) {
        FProgressOnTerminal = !job.Quiet && ::isatty(STDERR_FILENO) != 0;
    }

    void UnreadableFolder(const std::string& folder, int error) override {
        // A folder the scan cannot see into would otherwise pass for an empty one,
        // and a script would hear of success while its files stayed unconverted.
        std::fprintf(stderr, "%s: Cannot read the folder: %s\n",
                     EscapeControlCharacters(folder).c_str(), std::strerror(error));
        ExitCode = 1;
    }
    void RunStarted(size_t, bool) override {
        FStartTick = TickCount();
        FStartPixels = TImageConverter::PixelsConverted();
    }
    void RowRecorded(size_t, const TBatchRow& row) override {
        if (row.State != TRowState::Failed) return;
        // One line per failure, so that scripts can read them line by line.
        if (FProgressOnTerminal) std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "%s: %s\n", EscapeControlCharacters(row.Source).c_str(),
                     EscapeControlCharacters(OneLine(row.Message)).c_str());
        ExitCode = 1;
        ++FFailures;
    }
    void Progress(size_t done, size_t total) override {
        if (!FProgressOnTerminal) return;
        const double seconds = std::max<int64_t>(1, TickCount() - FStartTick) / 1000.0;
        const double megapixels =
            static_cast<double>(TImageConverter::PixelsConverted() - FStartPixels) / 1e6;
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        const int64_t left =
            done > 0
                ? static_cast<int64_t>(
                      seconds / static_cast<double>(done) * static_cast<double>(total - done) + 0.5)
                : 0;
        std::fprintf(stderr, "\r\033[K%zu of %zu (%d%%), %.1f MP/s, %d failed, %lld:%02lld left",
                     done, total, percent, megapixels / seconds, FFailures,
                     static_cast<long long>(left / 60), static_cast<long long>(left % 60));
        std::fflush(stderr);
    }
    void EndProgressLine() {
        if (FProgressOnTerminal) std::fputs("\r\033[K", stderr);
    }

    int ExitCode = 0;

private:
    bool FProgressOnTerminal = false;
    int64_t FStartTick = 0, FStartPixels = 0;
    int FFailures = 0;
};

} // namespace

int PrintRows(const std::vector<TBatchRow>& rows) {
    int status = 0;
    for (const TBatchRow& row : rows) {
        const std::string source = EscapeControlCharacters(row.Source);
        if (row.State == TRowState::Failed) {
            std::printf("%s: error %s\n", source.c_str(),
                        EscapeControlCharacters(row.Message).c_str());
            status = 1;
        } else if (row.State == TRowState::Skipped) {
            std::printf("%s: skipped (exists)\n", source.c_str());
        } else {
            std::printf("%s -> %s\n", source.c_str(), EscapeControlCharacters(row.Dest).c_str());
        }
    }
    std::fflush(stdout);
    return status;
}

int RunUnattended(const std::vector<std::string>& args) {
    TBatchJob job = NewBatchJob();
    std::vector<std::string> errors;
    TSwitchContext context{job, errors, {}};
    for (const std::string& arg : args)
        if (!ApplySwitch(context, arg) && !arg.empty() && arg[0] == '/')
            // A misspelt switch would otherwise change the job without a word.
            std::fprintf(stderr, "trevasco: unknown switch %s ignored\n",
                         EscapeControlCharacters(arg).c_str());
    if (!errors.empty()) {
        // A job that is not what was asked for never runs.
        for (const std::string& message : errors)
            std::fprintf(stderr, "trevasco: %s\n", message.c_str());
        return 1;
    }
    TUnattendedHooks hooks(job);
    try {
        TBatchRunner runner(job, hooks);
        std::vector<TBatchRow> rows = runner.BuildRows(runner.Scan());
        if (job.DryRun) return std::max(PrintRows(rows), hooks.ExitCode);
        runner.Run(rows);
        hooks.EndProgressLine();
    } catch (const std::exception& e) {
        hooks.EndProgressLine();
        std::fprintf(stderr, "trevasco: %s\n", e.what());
        return 1;
    } catch (...) {
        hooks.EndProgressLine();
        std::fprintf(stderr, "trevasco: Unknown error\n");
        return 1;
    }
    return hooks.ExitCode;
}
