// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ReaderGraphic.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"

#include <algorithm>
#include <cmath>

const char* const gesInvalidImage = "Cannot load image. Invalid or unexpected %s image format.";
const char* const gesInvalidColorFormat = "Invalid color format in %s file.";
const char* const gesUnsupportedFeature = "Cannot load image. %s not supported for %s files.";
const char* const gesLayerDataCorrupt = "Image is invalid. Layer data is corrupt.";
const char* const gesPreparing = "Preparing...";
const char* const gesLoadingData = "Loading data...";
const char* const gesTransfering = "Transfering...";

TREVASCO_GRAPHIC_CLASS(TReaderGraphic, TBitmap)
TREVASCO_GRAPHIC_CLASS(TGIFGraphic, TReaderGraphic)
TREVASCO_GRAPHIC_CLASS(TPNGGraphic, TReaderGraphic)

TReaderGraphic::TReaderGraphic() : FColorManager(std::make_unique<TColorManager>()) {}
TReaderGraphic::~TReaderGraphic() = default;

TReaderGraphic::TReaderGraphic(const TReaderGraphic& other)
    : TBitmap(other), FImageProperties(other.FImageProperties),
      FColorManager(std::make_unique<TColorManager>()) {}

TReaderGraphic& TReaderGraphic::operator=(const TReaderGraphic& other) {
    if (this != &other) {
        TBitmap::operator=(other);
        FImageProperties = other.FImageProperties;
    }
    return *this;
}

bool TReaderGraphic::CanRead(const uint8_t* memory, size_t size) const {
    TReaderGraphic* probe = const_cast<TReaderGraphic*>(this);
    TImageProperties saved = FImageProperties;
    bool ok = false;
    try {
        ok = probe->ReadProperties(memory, 0, size);
    } catch (const Exception&) {
        ok = false;
    }
    probe->FImageProperties = saved;
    return ok;
}

void TReaderGraphic::ClearRaster() {
    Clear();
    FDecoder.reset();
}

void TReaderGraphic::ReadFromMemory(const uint8_t*, int, size_t) {
    ClearRaster();
}

bool TReaderGraphic::ReadProperties(const uint8_t*, int, size_t) {
    FImageProperties = TImageProperties();
    FImageProperties.Gamma = 1.0f;
    return true;
}

bool TReaderGraphic::ReadPropertiesFromFile(const std::string& fileName, int imageIndex) {
    std::vector<uint8_t> data = ReadWholeFile(fileName);
    return ReadProperties(data.data(), imageIndex, data.size());
}

bool TReaderGraphic::ReadPropertiesFromStream(TStream& stream, int imageIndex) {
    int64_t saved = stream.Seekable() ? stream.Position() : -1;
    if (saved >= 0) stream.SetPosition(0);
    TMemoryStream copy;
    copy.CopyFrom(stream, 0);
    if (saved >= 0) stream.SetPosition(saved);
    return ReadProperties(copy.Memory(), imageIndex, copy.Data().size());
}

void TReaderGraphic::LoadFromStream(TStream& stream) {
    if (auto* m = dynamic_cast<TMemoryStream*>(&stream)) {
        ReadFromMemory(m->Memory(), 0, m->Data().size());
        return;
    }
    if (auto* r = dynamic_cast<TReadOnlyMemoryStream*>(&stream)) {
        ReadFromMemory(r->Memory(), 0, static_cast<size_t>(r->Size()));
        return;
    }
    // Pipes and the like cannot rewind: they give what is left of them.
    if (stream.Seekable()) stream.SetPosition(0);
    TMemoryStream copy;
    copy.CopyFrom(stream, 0);
    ReadFromMemory(copy.Memory(), 0, copy.Data().size());
}

void TReaderGraphic::LoadFromFile(const std::string& fileName) {
    // Read whole, never mapped: a file truncated under a mapping would kill the process.
    std::vector<uint8_t> data = ReadWholeFile(fileName);
    ReadFromMemory(data.data(), 0, data.size());
}

void TReaderGraphic::Assign(const TGraphic& source) {
    TBitmap::Assign(source);
    if (const auto* r = dynamic_cast<const TReaderGraphic*>(&source))
        FImageProperties = r->FImageProperties;
}

void TReaderGraphic::InitProgress(int width, int height) {
    FSections = std::make_unique<std::vector<TProgressSection>>();
    FProgressRect = Rect(0, 0, width, height);
    FOverallProgress = 0;
}

void TReaderGraphic::StartProgressSection(float size, const std::string& message) {
    if (!FSections) throw EAssertionFailed("Start progress display first using InitProgress.");
    TProgressSection s;
    s.Message = message;
    if (FSections->empty()) {
        s.Share = 1;
        s.Weight = 1;
    } else {
        const TProgressSection& parent = FSections->back();
        s.Share = size == 0 ? 1 - parent.Position : size / 100;
        s.Weight = parent.Weight * s.Share;
    }
    FSections->push_back(s);
    ReportProgress(FSections->size() == 1 ? psStarting : psRunning, false, message);
}

void TReaderGraphic::StepProgress(float amount, int dx, int dy, bool redraw) {
    if (!FSections) throw EAssertionFailed("Start progress display first using InitProgress.");
    if (FSections->empty())
        throw EAssertionFailed("Initialize a progress section first using StartProgressSection.");
    TProgressSection& top = FSections->back();
    float added = std::min(amount / 100, 1 - top.Position);
    if (added < 0) added = 0;
    top.Position += added;
    FOverallProgress += top.Weight * added;
    FProgressRect.Left += dx;
    FProgressRect.Right += dx;
    FProgressRect.Top += dy;
    FProgressRect.Bottom += dy;
    ReportProgress(psRunning, redraw, top.Message);
}

void TReaderGraphic::EndProgressSection(bool redraw) {
    if (!FSections) throw EAssertionFailed("Start progress display first using InitProgress.");
    if (FSections->empty())
        throw EAssertionFailed("Initialize a progress section first using StartProgressSection.");
    TProgressSection closed = FSections->back();
    FSections->pop_back();
    if (!FSections->empty()) {
        TProgressSection& parent = FSections->back();
        parent.Position = std::min(1.0f, parent.Position + closed.Share);
    }
    if (closed.Position < 1) FOverallProgress += (1 - closed.Position) * closed.Weight;
    bool last = FSections->empty();
    if (last) FSections.reset();
    ReportProgress(last ? psEnding : psRunning, redraw, std::string());
}

void TReaderGraphic::ReportProgress(TProgressStage stage, bool redraw, const std::string& message) {
    float p = std::clamp(FOverallProgress * 100, 0.0f, 100.0f);
    Progress(stage, static_cast<uint8_t>(std::lround(p)), redraw, FProgressRect, message);
}

TProgressGuard::~TProgressGuard() {
    try {
        while (FGraphic.SectionCount() > 0)
            FGraphic.EndProgressSection(false);
    } catch (...) {
        // A progress handler that fails while a load is already failing must not end the program.
    }
}

void TGIFGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadFromMemory(memory, imageIndex, size);
    throw EInvalidGraphic(Format(gesUnsupportedFeature, "Reading", "GIF"));
}

void TPNGGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadFromMemory(memory, imageIndex, size);
    throw EInvalidGraphic(Format(gesUnsupportedFeature, "Reading", "PNG"));
}
