// SPDX-License-Identifier: GPL-3.0-or-later
// The run of a job without a window (/EXECUTE): the switches applied to a
// fresh job, the files converted, failures on stderr, and the exit status.
// Nothing here needs a display or a windowing toolkit.
#pragma once

#include "batch/BatchJob.h"
#include "batch/BatchRunner.h"
#include "convert/ImageConverter.h"

#include <string>
#include <vector>

// The conversion of the job's files: the job's options for every file.
class TJobConversion : public TBatchHooks {
public:
    explicit TJobConversion(const TBatchJob& job) : FJob(job) {}

    bool AcceptFile(const std::string& fileName) override { return FJob.AcceptsFile(fileName); }
    std::string GetDestinationExt() override { return FJob.DestinationExt(); }
    void ConvertFile(const std::string& source, const std::string& dest) override;
    void BeforeRun() override { FConverter.BeforeRun(); }
    void AfterRun() override { FConverter.AfterRun(); }
    TWorkerConversion CreateWorkerConversion() override;
    bool WrittenSize(const std::string& source, int& width, int& height) override;

protected:
    const TBatchJob& FJob;
    TImageConverter FConverter;
};

// The dry run (/LIST): the rows on stdout as the run would take them
// ("source -> destination", "source: skipped (exists)", "source: error ...");
// nothing is created or written. 1 when a row fails, else 0.
int PrintRows(const std::vector<TBatchRow>& rows);

// Runs a command line (the program name left out) that holds /EXECUTE: every
// switch is applied to a fresh job first; a switch that names nothing stops
// the run before anything is converted. Returns the exit status: 0 when every
// file was converted or skipped, 1 otherwise. Failures go to stderr as
// "<source>: <message>"; /LIST prints the rows on stdout instead of running.
int RunUnattended(const std::vector<std::string>& args);
