// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/BatchRows.h"

#include "batch/SourceScan.h"
#include "util/FileUtils.h"

#include <algorithm>
#include <map>
#include <set>
#include <sys/stat.h>
#include <utility>

namespace {

struct TFileIdentity {
    dev_t Device;
    ino_t Inode;
    bool operator<(const TFileIdentity& o) const {
        return Device != o.Device ? Device < o.Device : Inode < o.Inode;
    }
};

bool IdentityOf(const std::string& path, TFileIdentity& id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

std::string DestinationPathFor(const std::string& sourceDir, const std::string& fileName,
                               const std::string& destDir, const std::string& ext) {
    std::string dest = fileName;
    const size_t slash = dest.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = dest.find_last_of('.');
    if (dot != std::string::npos && dot >= nameStart) dest.erase(dot);
    dest += ext;
    if (dest.compare(0, sourceDir.size(), sourceDir) == 0) {
        std::string rest = dest.substr(sourceDir.size());
        if (destDir.empty() || sourceDir.empty()) {
            const size_t lead = rest.find_first_not_of('/');
            rest.erase(0, lead == std::string::npos ? rest.size() : lead);
            dest = JoinPath(destDir, rest);
        } else {
            dest = destDir + rest;
        }
    }
    return dest;
}

std::string NumberedName(const std::string& path, int n) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.find_last_of('.');
    // A leading dot starts a hidden name, not an extension.
    if (dot == std::string::npos || dot <= nameStart) dot = path.size();
    return path.substr(0, dot) + " (" + std::to_string(n) + ")" + path.substr(dot);
}

std::string CollisionMessage(const std::string& earlierSource) {
    return "The destination is already that of " + earlierSource;
}

std::string SourceOverwriteMessage(const std::string& source) {
    return "The destination is the source file " + source + ", which would be lost";
}

std::string NamePatternError(const std::string& pattern) {
    if (pattern.find('/') != std::string::npos || pattern.find('\0') != std::string::npos)
        return "A file name cannot hold '/' or a NUL character";
    for (size_t open = pattern.find('{'); open != std::string::npos;
         open = pattern.find('{', open + 1)) {
        const size_t close = pattern.find('}', open);
        const std::string field = close == std::string::npos
                                      ? pattern.substr(open)
                                      : pattern.substr(open, close - open + 1);
        if (field != "{name}" && field != "{ext}" && field != "{n}" && field != "{w}" &&
            field != "{h}")
            return "Unknown field " + field + " (use {name}, {ext}, {n}, {w} or {h})";
    }
    if (pattern.empty()) return "The file name pattern is empty";
    return "";
}

namespace {

std::string ReplaceAll(std::string text, const std::string& field, const std::string& value) {
    for (size_t at = text.find(field); at != std::string::npos;
         at = text.find(field, at + value.size()))
        text.replace(at, field.size(), value);
    return text;
}

// The destination with its base name made from the pattern.
std::string ApplyNamePattern(const std::string& dest, const std::string& source,
                             const TRowPlan& plan, size_t number, size_t count) {
    const size_t destSlash = dest.find_last_of('/');
    const size_t destNameStart = destSlash == std::string::npos ? 0 : destSlash + 1;
    const size_t destDot = dest.find_last_of('.');
    const std::string destExt =
        destDot != std::string::npos && destDot >= destNameStart ? dest.substr(destDot) : "";
    const size_t slash = source.find_last_of('/');
    const std::string sourceName = source.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = sourceName.find_last_of('.');
    const std::string base = dot == std::string::npos ? sourceName : sourceName.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : sourceName.substr(dot + 1);

    std::string name = ReplaceAll(plan.NamePattern, "{name}", base);
    name = ReplaceAll(name, "{ext}", ext);
    std::string n = std::to_string(number);
    const size_t width = std::to_string(count).size();
    if (n.size() < width) n.insert(0, width - n.size(), '0');
    name = ReplaceAll(name, "{n}", n);
    if (name.find("{w}") != std::string::npos || name.find("{h}") != std::string::npos) {
        int w = 0, h = 0;
        const bool known = plan.WrittenSize && plan.WrittenSize(source, w, h);
        name = ReplaceAll(name, "{w}", known ? std::to_string(w) : "0");
        name = ReplaceAll(name, "{h}", known ? std::to_string(h) : "0");
    }
    return dest.substr(0, destNameStart) + name + destExt;
}

} // namespace

void TRowBuilder::Add(const std::string& sourceDir, const std::string& fileName,
                      const std::string& ext) {
    FSources.push_back({sourceDir, fileName, ext});
}

std::vector<TBatchRow> TRowBuilder::Build() const {
    // Every source of the run, by path and by file identity: a destination that
    // names one of them must never be written, whatever the overwrite choice.
    std::map<std::string, const std::string*> sourceByPath;
    std::map<TFileIdentity, const std::string*> sourceById;
    for (const TSource& s : FSources) {
        sourceByPath.emplace(s.File, &s.File);
        TFileIdentity id{};
        if (IdentityOf(s.File, id)) sourceById.emplace(id, &s.File);
    }
    // Destinations taken by earlier rows of this run, compared byte for byte as
    // the file system compares names.
    std::map<std::string, std::string> taken;

    std::vector<TBatchRow> rows;
    rows.reserve(FSources.size());
    for (const TSource& s : FSources) {
        TBatchRow row;
        row.Source = s.File;
        std::string destFolder = FPlan.DestinationFolder;
        if (FPlan.KeepFolders && s.Dir != FPlan.SourceRoot &&
            s.Dir.compare(0, FPlan.SourceRoot.size(), FPlan.SourceRoot) == 0) {
            std::string below = s.Dir.substr(FPlan.SourceRoot.size());
            below.erase(0, std::min(below.size(), below.find_first_not_of('/')));
            destFolder = JoinPath(destFolder, below);
        }
        row.Dest = DestinationPathFor(s.Dir, s.File, destFolder, s.Ext);
        if (FPlan.NamePattern != "{name}")
            row.Dest = ApplyNamePattern(row.Dest, s.File, FPlan, rows.size() + 1, FSources.size());

        const bool exists = PathExists(row.Dest);
        const std::string* clobbered = nullptr;
        if (auto it = sourceByPath.find(row.Dest); it != sourceByPath.end()) clobbered = it->second;
        TFileIdentity destId{};
        if (!clobbered && exists && IdentityOf(row.Dest, destId))
            if (auto it = sourceById.find(destId); it != sourceById.end()) clobbered = it->second;

        if (clobbered && *clobbered == s.File) {
            // Writing a file over itself can lose frames, alpha or depth.
            row.State = TRowState::Skipped;
            row.Message = "The destination is the source file itself";
        } else if (exists && FPlan.Existing == TExistingFiles::Skip) {
            row.State = TRowState::Skipped;
            row.Message = "The destination exists";
        } else if (clobbered && FPlan.Existing != TExistingFiles::Rename) {
            row.State = TRowState::Failed;
            row.Message = SourceOverwriteMessage(*clobbered);
        } else if (auto it = taken.find(row.Dest);
                   it != taken.end() && FPlan.Existing != TExistingFiles::Rename) {
            row.State = TRowState::Failed;
            row.Message = CollisionMessage(it->second);
        } else if (FPlan.Existing == TExistingFiles::Rename &&
                   (exists || clobbered || taken.count(row.Dest))) {
            // Keep both: the first free "name (n).ext", free on disk and in this run.
            for (int n = 2;; ++n) {
                const std::string candidate = NumberedName(row.Dest, n);
                if (!taken.count(candidate) && !sourceByPath.count(candidate) &&
                    !PathExists(candidate)) {
                    row.Dest = candidate;
                    break;
                }
            }
        }
        if (row.State == TRowState::Waiting) taken.emplace(row.Dest, s.File);
        rows.push_back(std::move(row));
    }
    return rows;
}
