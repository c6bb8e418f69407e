// SPDX-License-Identifier: GPL-3.0-or-later
// The rows of a run: one per source file, with its destination, its state and
// what became of it. Building them decides, before anything is written, which
// files convert, which are skipped and which must not run at all (a
// destination another row of the run already writes, or one that is a source
// of the run).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class TRowState { Waiting, Skipped, InProgress, Finished, Failed };

struct TBatchRow {
    std::string Source;
    std::string Dest;
    TRowState State = TRowState::Waiting;
    // Why the row failed or was skipped.
    std::string Message;
    int64_t Milliseconds = 0;
};

// What happens to a destination that exists already.
enum class TExistingFiles { Overwrite, Skip, Rename };

// The part of the job that decides the destinations.
struct TRowPlan {
    std::string DestinationFolder;
    TExistingFiles Existing = TExistingFiles::Overwrite;
    // Mirror the folders below SourceRoot under the destination folder.
    bool KeepFolders = false;
    std::string SourceRoot;
    // The destination's name without extension: {name} {ext} {n} {w} {h}.
    std::string NamePattern = "{name}";
    // The written size of a source, for {w} and {h}; false when it cannot be known.
    std::function<bool(const std::string& source, int& width, int& height)> WrittenSize;
};

// A name pattern's fault ("" when it can be used): a '/' or NUL, or an unknown field.
std::string NamePatternError(const std::string& pattern);

// The destination of fileName (found in sourceDir) in destDir with the extension
// ext: the source's name with its last extension replaced. An empty folder text
// is the current folder, never the root.
std::string DestinationPathFor(const std::string& sourceDir, const std::string& fileName,
                               const std::string& destDir, const std::string& ext);

// "name (2).ext": the n-th name of the keep-both choice.
std::string NumberedName(const std::string& path, int n);

class TRowBuilder {
public:
    explicit TRowBuilder(TRowPlan plan) : FPlan(std::move(plan)) {}

    // A source file of the run, found in sourceDir, with the destination extension.
    void Add(const std::string& sourceDir, const std::string& fileName, const std::string& ext);
    // The rows, in the order the files were added.
    std::vector<TBatchRow> Build() const;

private:
    struct TSource {
        std::string Dir, File, Ext;
    };
    TRowPlan FPlan;
    std::vector<TSource> FSources;
};

// Failure and skip texts of row building.
std::string CollisionMessage(const std::string& earlierSource);
std::string SourceOverwriteMessage(const std::string& source);
