// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/SourceScan.h"

#include <cerrno>

#include "util/Wildcard.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct TKeyed {
    std::u32string Key;
    TDirEntry Entry;
};

} // namespace

std::u32string FoldedKey(const std::string& name) {
    return FoldCodePoints(name);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir + "/" + name;
}

bool FolderIdentity(const std::string& dir, dev_t& device, ino_t& inode) {
    struct stat st {};
    if (stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    device = st.st_dev;
    inode = st.st_ino;
    return true;
}

std::vector<TDirEntry> ListFolder(const std::string& dir, int* error) {
    std::vector<TDirEntry> result;
    if (error) *error = 0;
    int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = errno;
        return result;
    }
    DIR* d = fdopendir(fd);
    if (!d) {
        if (error) *error = errno;
        close(fd);
        return result;
    }
    std::vector<TKeyed> found;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        TDirEntry entry;
        entry.Name = std::move(name);
        if (S_ISLNK(st.st_mode)) {
            // A link to a file is a file; a link to a folder is not entered.
            if (fstatat(fd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        } else if (S_ISDIR(st.st_mode)) {
            entry.IsDirectory = true;
        } else if (!S_ISREG(st.st_mode)) {
            continue;
        }
        entry.Device = st.st_dev;
        entry.Inode = st.st_ino;
        std::u32string key = FoldedKey(entry.Name);
        found.push_back({std::move(key), std::move(entry)});
    }
    closedir(d);
    std::sort(found.begin(), found.end(), [](const TKeyed& a, const TKeyed& b) {
        if (a.Key != b.Key) return a.Key < b.Key;
        return a.Entry.Name < b.Entry.Name;
    });
    result.reserve(found.size());
    for (TKeyed& k : found)
        result.push_back(std::move(k.Entry));
    return result;
}
