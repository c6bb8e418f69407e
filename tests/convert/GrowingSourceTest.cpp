// SPDX-License-Identifier: GPL-3.0-or-later
// A source that another program changes while the batch converts it: data
// appended during the read, a file still being written, a file cut short after
// the scan. The conversion uses the bytes it read at open or fails with a
// message; the destination is either complete or absent (an existing one
// survives a failure), and no temporary file is left.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "png/PNGImage.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int SourceWidth = 360, SourceHeight = 240;

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TConvertOptions ToPNG() {
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfPNG);
    return o;
}

// Writes with plain write() calls, as another program would.
void WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

class GrowingSource : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    // Other suites register and withdraw formats of their own.
    static void TearDownTestSuite() { UnregisterImageFormats(); }

    void SetUp() override {
        Sources = Tmp.File("sources");
        Out = Tmp.File("out");
        fs::create_directory(Sources);
        fs::create_directory(Out);
        // One picture in the three formats a camera or an editor writes most;
        // the JPEG and PNG are made by the converter itself.
        WriteBmp(Sources + "/pic.bmp", SourceWidth, SourceHeight);
        TImageConverter maker;
        TConvertOptions o;
        o.Destination = DestinationFromIndex(dfJPEG);
        maker.ConvertFile(Sources + "/pic.bmp", Sources + "/pic.jpg", o);
        o.Destination = DestinationFromIndex(dfPNG);
        maker.ConvertFile(Sources + "/pic.bmp", Sources + "/pic.png", o);
    }

    // The destination the untouched file gives.
    std::vector<uint8_t> Reference(const std::string& source) {
        TImageConverter c;
        const std::string dest = Tmp.File("reference.png");
        c.ConvertFile(source, dest, ToPNG());
        std::vector<uint8_t> bytes = ReadFileBytes(dest);
        fs::remove(dest);
        return bytes;
    }

    // The destination after a conversion claimed success: a whole PNG of the
    // source's size, and nothing else in the folder.
    void ExpectCompleteDestination(const std::string& dest, const std::string& what) {
        EXPECT_EQ(FolderEntries(Out), std::vector<std::string>{fs::path(dest).filename()}) << what;
        TPNGImage png;
        try {
            png.LoadFromFile(dest);
        } catch (const Exception& e) {
            ADD_FAILURE() << what << ": the destination does not read back: " << e.what();
            return;
        }
        EXPECT_EQ(png.Width(), SourceWidth) << what;
        EXPECT_EQ(png.Height(), SourceHeight) << what;
    }

    TTempFolder Tmp;
    std::string Sources, Out;
};

// Another process appends to the file in a loop while it is converted; the
// result is exactly that of the file as it was, every time.
TEST_F(GrowingSource, DataAppendedDuringTheReadIsNotPartOfThePicture) {
    for (const char* ext : {"jpg", "png", "bmp"}) {
        const std::string pristine = Sources + "/pic." + ext;
        const std::vector<uint8_t> original = ReadFileBytes(pristine);
        const std::vector<uint8_t> want = Reference(pristine);
        ASSERT_FALSE(want.empty());
        const std::string source = Tmp.File(std::string("growing.") + ext);
        const std::string dest = Out + "/growing.png";
        TImageConverter converter;
        for (int round = 0; round < 12; ++round) {
            WriteFileBytes(source, original);
            std::atomic<bool> stop{false};
            std::atomic<size_t> appended{0};
            std::thread appender([&] {
                const int fd = ::open(source.c_str(), O_WRONLY | O_APPEND);
                if (fd < 0) return;
                std::vector<uint8_t> junk(4096);
                for (size_t i = 0; i < junk.size(); ++i)
                    junk[i] = static_cast<uint8_t>(i * 37 + round);
                // Bounded so that a slow run cannot fill the disk.
                while (!stop.load() && appended.load() < (size_t(8) << 20)) {
                    WriteAll(fd, junk.data(), junk.size());
                    appended += junk.size();
                }
                ::close(fd);
            });
            const std::string what = std::string(ext) + " round " + std::to_string(round);
            try {
                converter.ConvertFile(source, dest, ToPNG());
            } catch (const Exception& e) {
                ADD_FAILURE() << what << ": " << e.what();
            }
            stop = true;
            appender.join();
            ExpectCompleteDestination(dest, what);
            EXPECT_TRUE(ReadFileBytes(dest) == want) << what << ": differs from the file at open";
            fs::remove(dest);
        }
    }
}

// The file is still being written (a copy in progress) while the batch gets
// to it. Whatever part was there at open either converts into a complete
// destination or fails with a message; a failure leaves the previous
// destination as it was.
TEST_F(GrowingSource, AFileStillBeingWrittenConvertsWholeOrFailsCleanly) {
    for (const char* ext : {"jpg", "png", "bmp"}) {
        const std::vector<uint8_t> original = ReadFileBytes(Sources + "/pic." + ext);
        const std::string source = Tmp.File(std::string("copying.") + ext);
        const std::string dest = Out + "/copying.png";
        const std::vector<uint8_t> previous = {'o', 'l', 'd'};
        int converted = 0, failed = 0;
        TImageConverter converter;
        for (int round = 0; round < 4; ++round) {
            WriteFileBytes(dest, previous);
            const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            std::atomic<bool> done{false};
            std::thread writer([&] {
                const size_t chunk = std::max<size_t>(64, original.size() / 40);
                for (size_t at = 0; at < original.size(); at += chunk) {
                    WriteAll(fd, original.data() + at, std::min(chunk, original.size() - at));
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                }
                done = true;
            });
            // Convert again and again until the copy is complete.
            do {
                const std::string what = std::string(ext) + " at " +
                                         std::to_string(fs::file_size(source)) + " bytes or more";
                try {
                    converter.ConvertFile(source, dest, ToPNG());
                } catch (const Exception& e) {
                    ++failed;
                    EXPECT_GT(std::strlen(e.what()), 0u) << what;
                    EXPECT_TRUE(ReadFileBytes(dest) == previous) << what << ": " << e.what();
                    EXPECT_EQ(FolderEntries(Out), std::vector<std::string>{"copying.png"}) << what;
                    continue;
                }
                ++converted;
                ExpectCompleteDestination(dest, what);
                WriteFileBytes(dest, previous);
            } while (!done.load());
            writer.join();
            ::close(fd);
        }
        // Once the copy is complete the file converts as usual.
        converter.ConvertFile(source, dest, ToPNG());
        EXPECT_TRUE(ReadFileBytes(dest) == Reference(Sources + "/pic." + ext)) << ext;
        fs::remove(dest);
        RecordProperty(std::string("converted_") + ext, converted);
        RecordProperty(std::string("failed_") + ext, failed);
    }
}

// Cut short between the scan and the conversion: empty, only the first bytes,
// half, all but the last byte. Every reader of the bundled samples either
// fails with its message or gives a complete destination.
TEST_F(GrowingSource, FilesCutShortAfterTheScan) {
    std::vector<std::string> samples;
    for (const auto& e : fs::directory_iterator("samples"))
        samples.push_back(e.path().string());
    if (samples.empty()) GTEST_SKIP() << "run from the project root";
    std::sort(samples.begin(), samples.end());
    // The generated pictures too: their size is known, so the check is sharper.
    for (const char* ext : {"jpg", "png", "bmp"})
        samples.push_back(Sources + "/pic." + ext);

    TImageConverter converter;
    for (const std::string& sample : samples) {
        const std::vector<uint8_t> original = ReadFileBytes(sample);
        const std::string source = Tmp.File("cut" + fs::path(sample).extension().string());
        const std::string dest = Out + "/cut.png";
        for (size_t keep :
             {size_t(0), size_t(1), size_t(14), original.size() / 2, original.size() - 1}) {
            if (keep >= original.size()) continue;
            const std::string what = sample + " cut to " + std::to_string(keep);
            WriteFileBytes(source, original);
            // The scan saw the whole file; then it shrinks.
            ASSERT_EQ(fs::file_size(source), original.size());
            fs::resize_file(source, keep);
            WriteFileBytes(dest, {'o', 'l', 'd'});
            bool ok = false;
            try {
                converter.ConvertFile(source, dest, ToPNG());
                ok = true;
            } catch (const Exception& e) {
                EXPECT_GT(std::strlen(e.what()), 0u) << what;
            } catch (const std::exception& e) {
                ADD_FAILURE() << what << ": not an Exception: " << e.what();
            }
            // An empty file or a lone byte is no picture of any format.
            if (keep <= 1) {
                EXPECT_FALSE(ok) << what;
            }
            EXPECT_EQ(FolderEntries(Out), std::vector<std::string>{"cut.png"}) << what;
            if (ok) {
                TPNGImage png;
                EXPECT_NO_THROW(png.LoadFromFile(dest)) << what;
                if (sample.rfind(Sources, 0) == 0) {
                    EXPECT_EQ(png.Width(), SourceWidth) << what;
                    EXPECT_EQ(png.Height(), SourceHeight) << what;
                }
            } else {
                EXPECT_EQ(ReadFileBytes(dest), (std::vector<uint8_t>{'o', 'l', 'd'})) << what;
            }
            fs::remove(dest);
        }
    }
}

} // namespace
