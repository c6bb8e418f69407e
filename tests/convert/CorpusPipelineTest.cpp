// SPDX-License-Identifier: GPL-3.0-or-later
// Every file of the shared corpus, including the deliberately broken ones,
// through the whole conversion: it converts, or it fails with an Exception
// and leaves nothing in the destination folder. Each file runs in a child
// process, so one crash names its file and the run goes on with the next.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "toolkit/Picture.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    return names;
}

// Converts one source to the given destinations; returns the faults found,
// one per line (empty when the file behaved).
std::string ConvertChecked(TImageConverter& converter, const std::string& source,
                           const std::string& folder, const std::vector<int>& destinations,
                           size_t* converted = nullptr) {
    std::string faults;
    for (int d : destinations) {
        TConvertOptions o;
        o.Destination = DestinationFromIndex(d);
        o.PixelFormat = PixelFormatFromIndex(6); // pf24bit
        const std::string dest = folder + "/out" + DestinationExtension(d);
        bool ok = false;
        try {
            converter.ConvertFile(source, dest, o);
            ok = true;
        } catch (const Exception& e) {
            if (std::strlen(e.what()) == 0)
                faults += "format " + std::to_string(d) + ": empty message\n";
        } catch (const std::exception& e) {
            faults += "format " + std::to_string(d) + ": not an Exception: " + e.what() + "\n";
        } catch (...) {
            faults += "format " + std::to_string(d) + ": unknown exception\n";
        }
        std::vector<std::string> left = FolderEntries(folder);
        const std::string want = fs::path(dest).filename().string();
        if (ok && converted) ++*converted;
        if (ok) {
            if (left.size() != 1 || left[0] != want)
                faults += "format " + std::to_string(d) + ": converted but the folder holds " +
                          std::to_string(left.size()) + " entries\n";
            else if (fs::file_size(dest) == 0)
                faults += "format " + std::to_string(d) + ": converted to an empty file\n";
        } else if (!left.empty()) {
            faults += "format " + std::to_string(d) + ": failed and left " + left[0] + " behind\n";
        }
        for (const auto& n : left)
            fs::remove(folder + "/" + n);
    }
    return faults;
}

// Runs the conversions of one file in a child; a signal or a sanitizer exit
// comes back as a fault of that file.
std::string ConvertInChild(const std::string& source, const std::string& folder,
                           const std::vector<int>& destinations) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed\n";
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return "fork failed\n";
    }
    if (pid == 0) {
        close(fds[0]);
        TImageConverter converter;
        converter.BeforeRun();
        std::string faults = ConvertChecked(converter, source, folder, destinations);
        converter.AfterRun();
        const char* p = faults.data();
        size_t left = faults.size();
        while (left > 0) {
            ssize_t n = write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string faults;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        faults.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        faults += "killed by signal " + std::to_string(WTERMSIG(status)) + "\n";
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        faults += "exited with status " + std::to_string(WEXITSTATUS(status)) +
                  " (sanitizer report on stderr)\n";
    // A crashed child may have left its half-written destination.
    for (const auto& n : FolderEntries(folder))
        fs::remove(folder + "/" + n);
    return faults;
}

class CorpusPipeline : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    // Other suites register and withdraw formats of their own.
    static void TearDownTestSuite() { UnregisterImageFormats(); }

    void SetUp() override {
        for (const auto& f : TPicture::Formats())
            FExtensions.push_back("." + f.Extension);
        FFiles = CorpusFiles("", FExtensions, true);
    }

    std::vector<std::string> FExtensions;
    std::vector<std::string> FFiles;
    TTempFolder FFolder;
};

// Every file to PNG and to one more destination in turn, so each writer sees
// about a fifth of the corpus; all six formats for every file would take
// several times as long under the sanitizers without reaching new code.
TEST_F(CorpusPipeline, EveryFileConvertsOrFailsCleanly) {
    REQUIRE_CORPUS("");
    ASSERT_GE(FExtensions.size(), 20u) << "the format registry is not complete";
    ASSERT_GT(FFiles.size(), 800u);
    size_t index = 0, faulty = 0;
    for (const auto& file : FFiles) {
        const int other = static_cast<int>(index++ % 5); // bmp, jpg, gif, wmf, emf
        std::string faults = ConvertInChild(file, FFolder.Path(), {dfPNG, other});
        if (!faults.empty()) {
            ++faulty;
            ADD_FAILURE() << file << ":\n" << faults;
        }
    }
    EXPECT_EQ(faulty, 0u);
}

// The same files through one converter for the whole run, as a batch does
// it: the source holder keeps the last good picture across failing files.
TEST_F(CorpusPipeline, OneConverterForTheWholeCorpus) {
    REQUIRE_CORPUS("");
    ASSERT_FALSE(FFiles.empty());
    TImageConverter converter;
    converter.BeforeRun();
    size_t converted = 0, index = 0;
    std::string faults;
    for (const auto& file : FFiles) {
        // Another mix than above: alternately bitmaps and one of the metafiles.
        const int d = (index % 2 == 0) ? dfBitmap : (index % 4 == 1 ? dfWMF : dfEMF);
        ++index;
        const std::string f = ConvertChecked(converter, file, FFolder.Path(), {d}, &converted);
        if (!f.empty()) faults += file + ": " + f;
    }
    converter.AfterRun();
    EXPECT_EQ(faults, "");
    // The corpus is mostly valid files: most of them must convert.
    EXPECT_GT(converted * 3, FFiles.size() * 2) << converted << " of " << FFiles.size();
}

} // namespace
