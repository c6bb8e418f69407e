// SPDX-License-Identifier: GPL-3.0-or-later
// The job of a batch run as typed settings: where the files come from, where
// they go, what happens to existing files, the conversion options and how the
// run goes. The settings file, the command line and the window all read and
// write this one value, so a stored text or a switch means the same wherever
// it is read.
#pragma once

#include "batch/BatchRows.h"
#include "batch/Shards.h"
#include "convert/ConvertOptions.h"
#include "util/FontText.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TIniFile;
struct TSwitchInfo;

// A source format of the list: its extension with the dot (".jpg") and whether it is taken.
struct TSourceFormat {
    std::string Ext;
    bool Ticked = true;
};

// Encoder effort of WebP, AVIF (its speed: higher is faster) and JPEG XL.
struct TEffortScale {
    const char* Switch;
    int Min, Max, Default;
};
extern const TEffortScale WebPEffortScale, AVIFSpeedScale, JXLEffortScale;

// Names of the pixel formats, colour reductions and metadata choices (in
// index order) for switches and the settings file.
extern const char* const PixelFormatNames[8];
extern const char* const ColorReductionNames[10];
extern const char* const MetadataNames[3];
// Index of a metadata choice by name, -1 for anything else.
int MetadataIndex(const std::string& name);

// A new job converts one file per core.
constexpr int DefaultThreads = 0;

struct TBatchJob {
    std::string SourceFolder;
    // Masks separated by ';'; only the name part counts.
    std::string Mask = "*.*";
    // Every registered reader's extension, in the registry's order.
    std::vector<TSourceFormat> SourceFormats;
    bool SubFolders = false;

    std::string DestinationFolder;
    TExistingFiles Existing = TExistingFiles::Overwrite;
    bool KeepFolders = false;
    std::string NamePattern = "{name}";

    bool LogProcessed = false;
    std::string LogFile = "processed.log";
    // Files converted at once (1..MaxParallelConversions); 0 converts one per core.
    int Threads = DefaultThreads;

    TConvertOptions Options;
    // What the stored watermark font carries besides the font (the edit's background).
    int32_t WatermarkFontBackground = static_cast<int32_t>(clWindow);

    // Of one run only, never stored.
    TShard Shard;
    bool DryRun = false; // print the rows, write nothing
    bool Quiet = false;  // no progress line on a terminal
    bool Execute = false;

    // The destination's extension with its dot; "" when no format is chosen.
    std::string DestinationExt() const { return DestinationExtension(Options.Destination); }
    // Whether a file name has a ticked source format's extension.
    bool AcceptsFile(const std::string& fileName) const;
};

// A fresh start: folders are the current folder, every registered source format is ticked.
TBatchJob NewBatchJob();
// The cores the process may use: the files converted at once when the job says 0.
int MaxThreadCount();
// The most files a job converts at once; more only adds memory.
constexpr int MaxParallelConversions = 32;
// The files converted at once for a job's Threads value.
int EffectiveThreads(int threads);

// Reads the job's keys from a settings file; a key that is missing keeps the
// job's value, and a stored value that names nothing keeps the meaning it has
// always had (a quality text that is no number is 100, a pixel format outside
// the list refuses every bitmap, a destination index past the list is the last).
void LoadBatchJob(const TIniFile& ini, TBatchJob& job);
// Writes the job's keys in their usual order; keys of the additions only once
// they differ from the default or are in the file already.
void SaveBatchJob(TIniFile& ini, const TBatchJob& job);
// The same by part: the folders, files and run ([General], [Log]), and the
// image options ([Image], [Bitmap], [Jpeg], [GIF], [WebP], [AVIF], [JXL],
// [Watermark], [SourceFormat]).
void LoadBatchJobGeneral(const TIniFile& ini, TBatchJob& job);
void SaveBatchJobGeneral(TIniFile& ini, const TBatchJob& job);
void LoadBatchJobImage(const TIniFile& ini, TBatchJob& job);
// A preset carries the file mask (key General/Mask, written when it is not *.*); the
// per-user settings file never does, so every start of the window begins with *.*.
void LoadPresetMask(const TIniFile& ini, TBatchJob& job);
void SavePresetMask(TIniFile& ini, const TBatchJob& job);
void SaveBatchJobImage(TIniFile& ini, const TBatchJob& job);

// What applying a switch may need besides the job.
struct TSwitchContext {
    TBatchJob& Job;
    // A switch whose value names nothing: the message.
    std::vector<std::string>& Errors;
    // Reads a preset (/SETTINGS=); the default reads it into the job.
    std::function<void(const std::string& fileName)> LoadPreset;
};

// Applies one argument to the job; false when it is no switch of the table.
bool ApplySwitch(TSwitchContext& context, const std::string& arg);
// Whether the job has a setter for a switch of the table.
bool HasJobSetter(const char* switchName);

// Reads a preset file into the job. A file that is missing, not a regular
// file or not a settings file fails with a message instead of giving the defaults.
void LoadBatchJobFrom(const std::string& fileName, TBatchJob& job);
// The check of the above alone: throws EFOpenError.
void CheckSettingsFile(const std::string& fileName);

// The arguments that run the job unattended: a switch of the table for every
// setting that differs from a fresh start and that the destination uses
// (no /QUALITY= for PNG, no /COLORREDUCTION= for JPEG), then /EXECUTE.
std::vector<std::string> JobArguments(const TBatchJob& job);
// What those arguments cannot say, for a line under them: unticked files of
// a file list (untickedFiles of them), the options that have no switch.
std::vector<std::string> JobPartsWithoutSwitch(const TBatchJob& job, size_t untickedFiles);
