// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/BatchRunner.h"

#include "base/Exceptions.h"
#include "base/FreedMemory.h"
#include "base/StrUtils.h"
#include "batch/ProcessedLog.h"
#include "batch/RowConversion.h"
#include "batch/SourceScan.h"
#include "util/Wildcard.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <set>

namespace {

bool MatchesAnyMask(const std::string& name, const std::vector<std::string>& masks) {
    for (const std::string& mask : masks)
        if (MatchWildcard(name, mask, true)) return true;
    return false;
}

void ApplyOutcome(TBatchRow& row, const TJobOutcome& outcome) {
    row.Milliseconds = outcome.Milliseconds;
    if (outcome.Skipped) {
        row.State = TRowState::Skipped;
        row.Message = outcome.Error;
    } else if (outcome.Ok) {
        row.State = TRowState::Finished;
        row.Message.clear();
    } else {
        row.State = TRowState::Failed;
        row.Message = outcome.Error;
    }
}

} // namespace

std::string TBatchHooks::LogTime() {
    // The system's own short date and long time, as its locale writes them.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const size_t n = std::strftime(text, sizeof text, "%x %X", &local);
    return std::string(text, n);
}

std::string OneLine(const std::string& message) {
    std::string line;
    for (char c : message) {
        const bool lineBreak = c == '\r' || c == '\n';
        if (!lineBreak)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    return line;
}

std::vector<std::string> TBatchRunner::SplitMasks(std::string mask) {
    const size_t slash = mask.find_last_of('/');
    if (slash != std::string::npos) mask.erase(0, slash + 1);
    // Several masks separated by ';' take a file that matches any of them.
    std::vector<std::string> masks;
    for (size_t start = 0; start <= mask.size();) {
        const size_t end = mask.find(';', start);
        std::string one =
            mask.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!one.empty()) masks.push_back(one);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (masks.empty()) masks.push_back("*.*");
    return masks;
}

std::vector<TSourceFile> TBatchRunner::Scan(const std::function<bool()>& stop) {
    std::vector<TSourceFile> files;
    const std::string& dir = FJob.SourceFolder;
    // Each folder is entered once (device and inode): bind mounts loop without links.
    std::set<std::pair<dev_t, ino_t>> visited;
    dev_t device;
    ino_t inode;
    errno = 0;
    if (!FolderIdentity(dir, device, inode)) {
        FHooks.UnreadableFolder(dir, errno ? errno : ENOTDIR);
        return files;
    }
    visited.insert({device, inode});
    const std::vector<std::string> masks = SplitMasks(FJob.Mask);
    auto scan = [&](auto&& self, const std::string& folder) -> void {
        if (stop && stop()) return;
        int error = 0;
        const std::vector<TDirEntry> entries = ListFolder(folder, &error);
        if (error) FHooks.UnreadableFolder(folder, error);
        for (const TDirEntry& entry : entries) {
            if (FJob.SubFolders && entry.IsDirectory) {
                if (visited.insert({entry.Device, entry.Inode}).second)
                    self(self, JoinPath(folder, entry.Name));
            } else if (!entry.IsDirectory && MatchesAnyMask(entry.Name, masks)) {
                files.push_back({folder, entry.Name, FHooks.AcceptFile(entry.Name)});
            }
        }
    };
    scan(scan, dir);
    return files;
}

std::vector<TBatchRow> TBatchRunner::BuildRows(const std::vector<TSourceFile>& files) {
    TRowPlan plan;
    plan.DestinationFolder = FJob.DestinationFolder;
    plan.Existing = FJob.Existing;
    plan.KeepFolders = FJob.KeepFolders;
    plan.SourceRoot = FJob.SourceFolder;
    plan.NamePattern = FJob.NamePattern;
    if (const std::string fault = NamePatternError(plan.NamePattern); !fault.empty())
        throw Exception(fault);
    plan.WrittenSize = [this](const std::string& source, int& width, int& height) {
        return FHooks.WrittenSize(source, width, height);
    };
    TRowBuilder builder(plan);
    for (const TSourceFile& file : files) {
        if (!file.Ticked) continue;
        const std::string fileName = JoinPath(file.Dir, file.Name);
        if (FJob.Shard.Active()) {
            std::string relative =
                fileName.substr(std::min(fileName.size(), plan.SourceRoot.size()));
            relative.erase(0, std::min(relative.size(), relative.find_first_not_of('/')));
            if (!InShard(relative, FJob.Shard)) continue;
        }
        if (!FHooks.AcceptFile(fileName)) continue;
        builder.Add(file.Dir, fileName, FHooks.GetDestinationExt());
    }
    return builder.Build();
}

void TBatchRunner::WriteLog(const std::string& text) {
    if (FJob.LogProcessed) AppendLine(FJob.LogFile, text);
}

void TBatchRunner::Record(std::vector<TBatchRow>& rows, size_t index, const TJobOutcome& outcome,
                          TBatchSummary& summary) {
    TBatchRow& row = rows[index];
    ApplyOutcome(row, outcome);
    if (row.State == TRowState::Finished) {
        try {
            WriteLog(EscapeControlCharacters(row.Source) + " Finished " +
                     std::to_string(row.Milliseconds + 1) + " msec");
        } catch (const std::exception& e) {
            // A log line that cannot be written fails its row, as a failed conversion does.
            row.State = TRowState::Failed;
            row.Message = e.what();
            FHooks.RowFinished(index, row);
        }
    }
    if (row.State == TRowState::Finished)
        ++summary.Converted;
    else if (row.State == TRowState::Skipped)
        ++summary.Skipped;
    else
        ++summary.Failed;
    FHooks.RowRecorded(index, row);
    FHooks.Progress(++FDone, FTotal);
}

void TBatchRunner::RunInOrder(std::vector<TBatchRow>& rows, TBatchSummary& summary) {
    const TWorkerConversion convert =
        RowConversion([this](const std::string& source,
                             const std::string& dest) { FHooks.ConvertFile(source, dest); },
                      FJob.Existing == TExistingFiles::Overwrite);
    for (size_t i = 0; i < rows.size() && !FHooks.StopRequested(); ++i) {
        TBatchRow& row = rows[i];
        if (row.State != TRowState::Waiting) continue;
        row.State = TRowState::InProgress;
        FHooks.RowStarted(i);
        FHooks.Idle();
        const TJobOutcome outcome = ConvertOneFile(convert, row.Source, row.Dest);
        if (outcome.Foreign) std::rethrow_exception(outcome.Foreign);
        ApplyOutcome(row, outcome);
        FHooks.RowFinished(i, row);
        Record(rows, i, outcome, summary);
        FHooks.Idle();
    }
}

void TBatchRunner::RunInParallel(std::vector<TBatchRow>& rows,
                                 const std::vector<TWorkerConversion>& conversions,
                                 TBatchSummary& summary) {
    std::vector<size_t> rowOf;
    std::vector<TBatchTask> jobs;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].State != TRowState::Waiting) continue;
        rowOf.push_back(i);
        jobs.push_back({rows[i].Source, rows[i].Dest});
    }
    std::vector<std::optional<TJobOutcome>> outcomes(jobs.size());
    size_t nextRecorded = 0; // log lines and RowRecorded follow the row order

    TParallelBatch batch(jobs, conversions);
    while (true) {
        if (FHooks.StopRequested()) batch.Stop();
        for (size_t job : batch.StartReady()) {
            rows[rowOf[job]].State = TRowState::InProgress;
            FHooks.RowStarted(rowOf[job]);
        }
        if (batch.Done()) break;
        for (TJobOutcome& outcome : batch.TakeOutcomes(std::chrono::milliseconds(30))) {
            // Anything but a standard exception ends the run, as in the sequential run.
            if (outcome.Foreign) std::rethrow_exception(outcome.Foreign);
            TBatchRow shown = rows[rowOf[outcome.Job]];
            ApplyOutcome(shown, outcome);
            FHooks.RowFinished(rowOf[outcome.Job], shown);
            outcomes[outcome.Job] = std::move(outcome);
        }
        while (nextRecorded < outcomes.size() && outcomes[nextRecorded]) {
            Record(rows, rowOf[nextRecorded], *outcomes[nextRecorded], summary);
            ++nextRecorded;
        }
        FHooks.Idle();
    }
    // After a stop, rows left Waiting are passed over.
    for (; nextRecorded < outcomes.size(); ++nextRecorded)
        if (outcomes[nextRecorded])
            Record(rows, rowOf[nextRecorded], *outcomes[nextRecorded], summary);
}

TBatchSummary TBatchRunner::Run(std::vector<TBatchRow>& rows) {
    TBatchSummary summary;
    FHooks.BeforeRun();
    try {
        WriteLog("Trevasco " + FHooks.LogTime() + "\r\n");
        FDone = FTotal = 0;
        for (const TBatchRow& row : rows)
            if (row.State == TRowState::Waiting) ++FTotal;
        // Rows that failed when the rows were built never run; they count as failures all the same.
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].State == TRowState::Failed) {
                ++summary.Failed;
                FHooks.RowRecorded(i, rows[i]);
            } else if (rows[i].State == TRowState::Skipped) {
                ++summary.Skipped;
            }
        }
        std::vector<TWorkerConversion> conversions;
        const size_t threads = std::min<size_t>(EffectiveThreads(FJob.Threads), rows.size());
        for (size_t i = 0; i < threads && threads > 1; ++i) {
            TWorkerConversion conversion = FHooks.CreateWorkerConversion();
            if (!conversion) break;
            conversions.push_back(
                RowConversion(std::move(conversion), FJob.Existing == TExistingFiles::Overwrite));
        }
        FHooks.RunStarted(FTotal, conversions.size() > 1);
        if (conversions.size() > 1)
            RunInParallel(rows, conversions, summary);
        else
            RunInOrder(rows, summary);
    } catch (...) {
        FreedMemory::GiveBack();
        FHooks.AfterRun();
        throw;
    }
    FreedMemory::GiveBack();
    FHooks.AfterRun();
    summary.Stopped = FHooks.StopRequested();
    return summary;
}
