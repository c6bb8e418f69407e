// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"
#include "base/Exceptions.h"
#include "formats/EPSGraphic.h"
#include "formats/HEIFGraphic.h"
#include "formats/JXLGraphic.h"
#include "formats/PCXGraphic.h"
#include "formats/PSDGraphic.h"
#include "formats/TIFFGraphic.h"
#include "formats/WebPGraphic.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace {
// Every input that once crashed a reader under the fuzzer must now load or fail
// with one of our exceptions.
template <class TReader> int Replay(const std::string& folder) {
    std::string dir = "fuzz/regressions/" + folder;
    if (!std::filesystem::is_directory(dir)) return 0;
    int count = 0;
    SetPixelLimit(int64_t(1) << 22);
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        SCOPED_TRACE(entry.path().string());
        std::vector<uint8_t> data = ReadFileBytes(entry.path().string());
        TReader reader;
        try {
            reader.ReadFromMemory(data.data(), 0, data.size());
        } catch (const Exception&) {
        }
        ++count;
    }
    SetPixelLimit(int64_t(1) << 28);
    return count;
}
} // namespace

TEST(FuzzRegressions, ReadersSurviveEveryKeptInput) {
    Replay<TPCXGraphic>("pcx");
    Replay<TPSDGraphic>("psd");
    Replay<TTIFFGraphic>("tiff");
    Replay<TEPSGraphic>("eps");
    Replay<TWebPGraphic>("webp");
    Replay<THEIFGraphic>("heif");
    Replay<TJXLGraphic>("jxl");
}
