// SPDX-License-Identifier: GPL-3.0-or-later
// Several converters at once, one per thread, as a parallel batch runs them:
// every reader and writer must give the bytes it gives alone (no state shared
// between conversions: libjpeg, libtiff's error routing, the GIF and PNG
// codecs, the metafile player's fonts, the format registry).
#include "common/TestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"

#include <filesystem>
#include <map>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Sources() {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator("samples"))
        files.push_back(entry.path().string());
    // Readers the samples do not cover, and one file meant to fail, when the corpus is there.
    for (const char* folder : {"psd", "eps", "tiff", "wmf-emf"}) {
        std::vector<std::string> more =
            CorpusFiles(folder, {".psd", ".eps", ".tif", ".tiff", ".wmf", ".emf"}, true);
        if (more.size() > 3) more.resize(3);
        files.insert(files.end(), more.begin(), more.end());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// "ok:<bytes hash>" or "error:<message>" for one conversion.
std::string Convert(TImageConverter& converter, const std::string& source, const std::string& dest,
                    int destination) {
    TConvertOptions options;
    options.Destination = DestinationFromIndex(destination);
    options.ColorReduction = ColorReductionFromIndex(7);
    try {
        converter.ConvertFile(source, dest, options);
    } catch (const std::exception& e) {
        return std::string("error:") + e.what();
    }
    const std::vector<uint8_t> bytes = ReadFileBytes(dest);
    return "ok:" + std::to_string(std::hash<std::string_view>{}(
                       {reinterpret_cast<const char*>(bytes.data()), bytes.size()}));
}

} // namespace

class ConcurrentConversion : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    static void TearDownTestSuite() { UnregisterImageFormats(); }
};

TEST_F(ConcurrentConversion, FourThreadsGiveTheBytesOfOneThread) {
    const std::vector<std::string> sources = Sources();
    ASSERT_GE(sources.size(), 14u) << "run from the project root";
    struct TTask {
        std::string Source;
        int Destination;
    };
    std::vector<TTask> tasks;
    for (const std::string& s : sources)
        for (int d = dfBitmap; d <= dfPNG; ++d)
            tasks.push_back({s, d});

    TTempFolder tmp;
    std::map<size_t, std::string> alone;
    {
        TImageConverter converter;
        for (size_t i = 0; i < tasks.size(); ++i)
            alone[i] = Convert(converter, tasks[i].Source, tmp.File("alone" + std::to_string(i)),
                               tasks[i].Destination);
    }

    // Four threads take the tasks in turn; each has its own converter and source holder.
    std::vector<std::string> together(tasks.size());
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            TImageConverter converter;
            for (size_t i = t; i < tasks.size(); i += 4)
                together[i] =
                    Convert(converter, tasks[i].Source, tmp.File("together" + std::to_string(i)),
                            tasks[i].Destination);
        });
    for (std::thread& t : threads)
        t.join();

    size_t converted = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        EXPECT_EQ(together[i], alone[i])
            << tasks[i].Source << " to destination " << tasks[i].Destination;
        converted += alone[i].rfind("ok:", 0) == 0;
    }
    // Nearly everything converts; a comparison of failures alone would prove little.
    EXPECT_GT(converted, tasks.size() * 3 / 4);
}
