// SPDX-License-Identifier: GPL-3.0-or-later
// The batch run without a window: the scan of the source folder, the rows,
// their conversion in order or in parallel, the processed-files log and the
// summary. What converts a file and who watches the run are the hooks: the
// unattended run supplies its own, the window its overridable operations and
// its progress list.
#pragma once

#include "batch/BatchJob.h"
#include "batch/BatchRows.h"
#include "batch/ParallelBatch.h"

#include <cstddef>
#include <string>
#include <vector>

// A file the scan found: the folder it is in and its name, raw bytes.
struct TSourceFile {
    std::string Dir;
    std::string Name;
    // Whether the source filter took it (ticked on a file list).
    bool Ticked = true;
};

// The counts of a run.
struct TBatchSummary {
    size_t Converted = 0;
    size_t Skipped = 0;
    size_t Failed = 0;
    bool Stopped = false;
};

class TBatchHooks {
public:
    virtual ~TBatchHooks() = default;

    // The source filter, the destination's extension and the conversion of one file.
    virtual bool AcceptFile(const std::string& fileName) = 0;
    virtual std::string GetDestinationExt() = 0;
    // A failure is reported only by throwing.
    virtual void ConvertFile(const std::string& source, const std::string& dest) = 0;
    virtual void BeforeRun() {}
    virtual void AfterRun() {}
    // A conversion for one worker thread of a parallel run (it must not touch
    // anything of the caller's thread); empty keeps the run in order on the
    // caller's thread through ConvertFile.
    virtual TWorkerConversion CreateWorkerConversion() { return {}; }
    // The written size of a source for the name pattern's {w} and {h}.
    virtual bool WrittenSize(const std::string&, int&, int&) { return false; }
    // The date and time at the head of a run in the log.
    virtual std::string LogTime();

    // Observers. RowStarted and RowFinished come as rows start and end (in a
    // parallel run not in row order); RowRecorded comes in row order once the
    // row's log line is written, also for rows that failed when the rows were built.
    virtual void RowStarted(size_t) {}
    virtual void RowFinished(size_t, const TBatchRow&) {}
    virtual void RowRecorded(size_t, const TBatchRow&) {}
    // Once the rows are about to run: how many will, and whether on worker threads.
    virtual void RunStarted(size_t, bool) {}
    // Rows done of the rows that run.
    virtual void Progress(size_t, size_t) {}
    // Asked between files: nothing new starts once it says yes.
    virtual bool StopRequested() { return false; }
    // Called while the run waits or between files: a window handles its events.
    virtual void Idle() {}
    // A folder the scan cannot read; errno's value.
    virtual void UnreadableFolder(const std::string&, int) {}
};

class TBatchRunner {
public:
    TBatchRunner(const TBatchJob& job, TBatchHooks& hooks) : FJob(job), FHooks(hooks) {}

    // The files below the source folder that match the mask, in the platform's
    // order; Ticked says whether the hooks' source filter takes them.
    // stop: asked between folders; the scan ends early when it says yes.
    std::vector<TSourceFile> Scan(const std::function<bool()>& stop = {});
    // The rows of the ticked files (the job's shard only), destinations decided.
    std::vector<TBatchRow> BuildRows(const std::vector<TSourceFile>& files);
    // Runs the Waiting rows; rows take their outcome. Errors that are not a
    // file's (a foreign exception) end the run and pass on.
    TBatchSummary Run(std::vector<TBatchRow>& rows);

    // The masks of a mask text: name parts separated by ';' ("*.*" when none).
    static std::vector<std::string> SplitMasks(std::string mask);

private:
    void WriteLog(const std::string& text);
    // A row's outcome into the row, its log line, then RowRecorded; a log line
    // that cannot be written fails the row instead.
    void Record(std::vector<TBatchRow>& rows, size_t index, const TJobOutcome& outcome,
                TBatchSummary& summary);
    void RunInOrder(std::vector<TBatchRow>& rows, TBatchSummary& summary);
    void RunInParallel(std::vector<TBatchRow>& rows,
                       const std::vector<TWorkerConversion>& conversions, TBatchSummary& summary);

    const TBatchJob& FJob;
    TBatchHooks& FHooks;
    size_t FDone = 0, FTotal = 0;
};

// The text of a failed row's message, on one line (line breaks become spaces).
std::string OneLine(const std::string& message);
