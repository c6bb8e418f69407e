// SPDX-License-Identifier: GPL-3.0-or-later
// Reading one folder for the source scan, in a fixed order and without the
// traps of a live file system (device files, links to folders, bind-mount loops).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct TDirEntry {
    std::string Name; // raw bytes
    bool IsDirectory = false;
    dev_t Device = 0; // identity of a folder, so that each is entered once
    ino_t Inode = 0;
};

// Regular files (a link to one counts) and real folders of dir, "." and ".."
// left out, links to folders and special files (FIFOs, sockets, devices) too:
// they could loop or block. Sorted by folded name (one simple upper-case fold
// per code point, compared ordinally), ties by raw bytes. Empty when the folder
// cannot be read; then *error (when given) holds the errno, else 0. An empty
// dir text stands for the current folder.
std::vector<TDirEntry> ListFolder(const std::string& dir, int* error = nullptr);

// Identity of a folder; false when it cannot be read.
bool FolderIdentity(const std::string& dir, dev_t& device, ino_t& inode);

// Folder texts are joined with one "/" as they stand (a doubled "/" is harmless);
// an empty folder text is the current folder, never the root.
std::string JoinPath(const std::string& dir, const std::string& name);

// The ordering key of a name: its code points folded as MatchWildcard folds them.
std::u32string FoldedKey(const std::string& name);
