// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Graphic.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"

#include <atomic>

TGraphicClass TGraphic::StaticClass() {
    static const TGraphicClassInfo info{"TGraphic", nullptr, nullptr};
    return &info;
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TMemoryStream m(ReadWholeFile(fileName));
    LoadFromStream(m);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TAtomicFileStream out(fileName);
    SaveToStream(out);
    out.Commit();
}

void TGraphic::Assign(const TGraphic& source) {
    throw EInvalidGraphicOperation(
        Format("Cannot assign a %s to a %s", source.ClassType()->Name, ClassType()->Name));
}

void TGraphic::Progress(TProgressStage stage, uint8_t percent, bool redraw, const TRect& rect,
                        const std::string& msg) {
    if (OnProgress) OnProgress(this, stage, percent, redraw, rect, msg);
}

static std::atomic<int64_t> GPixelLimit{int64_t(1) << 28};

int64_t GetPixelLimit() {
    return GPixelLimit.load();
}
void SetPixelLimit(int64_t limit) {
    GPixelLimit.store(limit);
}

void CheckRasterSize(int64_t width, int64_t height) {
    if (width < 0 || height < 0) throw EInvalidGraphic("Invalid image size");
    if (width > 0 && height > 0 && (width > GetPixelLimit() || height > GetPixelLimit() / width))
        throw EImageTooLarge("Image too large");
}

std::string CutShortMessage(const std::string& detail) {
    return "The file is cut short: " + detail;
}

std::string CutShortMessage(int64_t rowsDone, int64_t height) {
    return CutShortMessage("the picture data ends after " + std::to_string(rowsDone) + " of " +
                           std::to_string(height) + " rows.");
}

void CheckDataCanHold(uint64_t available, uint64_t rawBytes, uint64_t bestRatio, int64_t width,
                      int64_t height) {
    // Divided rather than multiplied: the declared size may be near 2^64.
    const uint64_t needed = rawBytes / (bestRatio ? bestRatio : 1);
    if (needed <= available) return;
    // Uncompressed data that falls short is simply a cut file.
    if (bestRatio <= 1)
        throw ECutShort(CutShortMessage("the picture needs " + std::to_string(needed) +
                                        " bytes of data, the file holds " +
                                        std::to_string(available) + "."));
    throw EImageTooLarge("The file is too small for its declared size of " + std::to_string(width) +
                         " x " + std::to_string(height) + " pixels.");
}
