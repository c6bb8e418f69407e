// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"
#include "base/Exceptions.h"
#include "formats/AVIFGrid.h"
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
template <class TReader> void Replay(const std::string& target) {
    const std::vector<std::string> inputs = KeptFuzzInputs(target);
    ASSERT_FALSE(inputs.empty()) << "no kept inputs for " << target;
    SetPixelLimit(int64_t(1) << 22);
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> data = ReadFileBytes(path);
        TReader reader;
        try {
            reader.ReadFromMemory(data.data(), 0, data.size());
        } catch (const Exception&) {
        }
    }
    SetPixelLimit(int64_t(1) << 28);
}
} // namespace

// One test a reader, so a failure names the reader.
TEST(FuzzRegressions, PCX) {
    Replay<TPCXGraphic>("pcx");
}
TEST(FuzzRegressions, PSD) {
    Replay<TPSDGraphic>("psd");
}
TEST(FuzzRegressions, TIFF) {
    Replay<TTIFFGraphic>("tiff");
}
TEST(FuzzRegressions, EPS) {
    Replay<TEPSGraphic>("eps");
}
TEST(FuzzRegressions, WebP) {
    Replay<TWebPGraphic>("webp");
}
TEST(FuzzRegressions, HEIF) {
    Replay<THEIFGraphic>("heif");
}
TEST(FuzzRegressions, JXL) {
    Replay<TJXLGraphic>("jxl");
}
TEST(FuzzRegressions, AVIFStill) {
    const std::vector<std::string> inputs = KeptFuzzInputs("avif_still");
    ASSERT_FALSE(inputs.empty());
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> data = ReadFileBytes(path);
        try {
            ReadAvifStill(data.data(), data.size());
        } catch (const EInvalidGraphic&) {
        }
    }
}
