// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

// Path of a folder or file of the shared corpus ("bmpsuite/g"), relative to the
// project root (the tests' working directory).
std::string CorpusPath(const std::string& relative);
// Skips the current test when the corpus (or the named part of it) is absent.
#define REQUIRE_CORPUS(relative)                                                                   \
    do {                                                                                           \
        if (!std::filesystem::exists(CorpusPath(relative)))                                        \
            GTEST_SKIP() << "corpus not present: " << CorpusPath(relative);                        \
    } while (0)

// Files of a corpus folder with one of the extensions (lower case, with dot), sorted.
std::vector<std::string> CorpusFiles(const std::string& relative,
                                     const std::vector<std::string>& extensions,
                                     bool recursive = false);

// A fresh empty folder under the system temp folder, removed by the destructor.
class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

// The inputs kept for a fuzz target (fuzz/regressions/<target>), sorted, notes left out.
// A replay asserts this is not empty, so a moved or emptied folder fails instead of passing.
std::vector<std::string> KeptFuzzInputs(const std::string& target);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);
