// SPDX-License-Identifier: GPL-3.0-or-later
#include "jpeg/JPEGImage.h"

#include "base/StrUtils.h"
#include "jpeg/JPEGMetadata.h"
#include "toolkit/Canvas.h"
#include "toolkit/ColorProfile.h"
#include "toolkit/ExifOrientation.h"
#include "toolkit/PixelRows.h"

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

TJPEGDefaults JPEGDefaults;

TREVASCO_GRAPHIC_CLASS(TJPEGImage, TGraphic)

// ---- libjpeg glue
//
// libjpeg reports fatal errors by calling error_exit, which must not return.
// Ours long-jumps back to GuardedCall, whose frame owns nothing with a
// destructor; the frames it skips are libjpeg's and the Body* functions
// below, which hold only plain pointers and integers. The C++ side then
// throws from an ordinary frame.

namespace {

struct TJPEGErrorManager {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
    // The data ended before the picture did (libjpeg's premature-end warning
    // while rows were still missing); CutRows is the image rows read by then.
    bool CutShort;
    long CutRows;
    bool SawEnd; // the premature-end warning came at all
};

extern "C" void JPEGErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<TJPEGErrorManager*>(cinfo->err);
    std::longjmp(err->Jump, 1);
}
// Warnings and trace messages are ignored: a damaged but complete file gives
// what libjpeg makes of it. The one warning kept is the premature end of the
// data: libjpeg then decodes the missing part as grey. It is a cut file when
// the scan being read had rows to go, or when the decoder then needed bits
// the data did not have (libjpeg's "premature end of data segment" after the
// end of the data). A file that only lacks its end marker reads ahead past
// its last bits without needing them, and stays a picture.
extern "C" void JPEGEmitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0 || !cinfo->is_decompressor) return;
    const int code = cinfo->err->msg_code;
    auto* err = reinterpret_cast<TJPEGErrorManager*>(cinfo->err);
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    const bool rowsToGo = d->total_iMCU_rows > 0 && d->input_iMCU_row < d->total_iMCU_rows;
    bool cut = false;
    if (code == JWRN_JPEG_EOF && !err->SawEnd) {
        cut = rowsToGo && d->input_iMCU_row + 1 < d->total_iMCU_rows;
        err->SawEnd = true;
    } else if (code == JWRN_HIT_MARKER && err->SawEnd) {
        cut = rowsToGo;
    }
    if (cut && !err->CutShort) {
        err->CutShort = true;
        err->CutRows = static_cast<long>(d->input_iMCU_row) * d->max_v_samp_factor * DCTSIZE;
    }
}
extern "C" void JPEGOutputMessage(j_common_ptr) {}

void InitErrorManager(TJPEGErrorManager& err) {
    jpeg_std_error(&err.Pub);
    err.Pub.error_exit = JPEGErrorExit;
    err.Pub.emit_message = JPEGEmitMessage;
    err.Pub.output_message = JPEGOutputMessage;
    err.CutShort = err.SawEnd = false;
    err.CutRows = 0;
}

bool GuardedCall(TJPEGErrorManager& err, void (*body)(void*), void* context) {
    if (setjmp(err.Jump) != 0) return false;
    body(context);
    return true;
}

// Appends the compressed stream to a malloc'ed block the caller frees, so an
// error inside libjpeg leaks nothing and no C++ allocation throws through C frames.
struct TJPEGMemoryDestination {
    jpeg_destination_mgr Pub;
    JOCTET* Buffer;
    size_t Capacity;
    size_t Size;
};

extern "C" void DestInit(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TJPEGMemoryDestination*>(cinfo->dest);
    if (!d->Buffer) {
        d->Buffer = static_cast<JOCTET*>(std::malloc(d->Capacity));
        if (!d->Buffer) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    }
    d->Pub.next_output_byte = d->Buffer;
    d->Pub.free_in_buffer = d->Capacity;
}

extern "C" boolean DestEmpty(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TJPEGMemoryDestination*>(cinfo->dest);
    size_t grown = d->Capacity * 2;
    auto* p = static_cast<JOCTET*>(std::realloc(d->Buffer, grown));
    if (!p) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    d->Buffer = p;
    d->Pub.next_output_byte = p + d->Capacity;
    d->Pub.free_in_buffer = grown - d->Capacity;
    d->Capacity = grown;
    return TRUE;
}

extern "C" void DestTerm(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<TJPEGMemoryDestination*>(cinfo->dest);
    d->Size = d->Capacity - d->Pub.free_in_buffer;
}

// Progressive files with absurd scan counts make libjpeg work for minutes on a few bytes.
constexpr int MaxInputScans = 1000;

} // namespace

// The progress monitor: reports at most every 500 ms, skipping the first call
// (which only starts the clock), and only when the whole percentage changed.
struct TJPEGProgressMonitor {
    jpeg_progress_mgr Pub;
    TJPEGImage* Image;
    bool Started;
    int LastPercent;
    std::chrono::steady_clock::time_point Last;
    std::exception_ptr Failure;
    bool TooManyScans;

    // Never throws: libjpeg's frames are below us. False asks for an abort.
    bool Report(j_common_ptr cinfo) noexcept {
        if (cinfo->is_decompressor &&
            reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > MaxInputScans) {
            TooManyScans = true;
            return false;
        }
        auto now = std::chrono::steady_clock::now();
        if (!Started) {
            Started = true;
            Last = now;
            return true;
        }
        if (now - Last < std::chrono::milliseconds(500)) return true;
        if (Pub.pass_limit <= 0 || Pub.total_passes <= 0) return true;
        double done = Pub.completed_passes + static_cast<double>(Pub.pass_counter) / Pub.pass_limit;
        int percent = static_cast<int>(100.0 * done / Pub.total_passes);
        if (percent < 0) percent = 0;
        if (percent > 100) percent = 100;
        if (percent == LastPercent) return true;
        LastPercent = percent;
        Last = now;
        try {
            Image->ReportProgress(psRunning, static_cast<uint8_t>(percent));
        } catch (...) {
            Failure = std::current_exception();
            return false;
        }
        return true;
    }
};

namespace {

extern "C" void JPEGProgress(j_common_ptr cinfo) {
    auto* monitor = reinterpret_cast<TJPEGProgressMonitor*>(cinfo->progress);
    if (!monitor->Report(cinfo)) {
        cinfo->err->msg_code = JERR_BAD_STATE; // unused: the monitor's own failure is raised
        (*cinfo->err->error_exit)(cinfo);
    }
}

void InitProgress(TJPEGProgressMonitor& m, TJPEGImage* image) {
    std::memset(&m.Pub, 0, sizeof m.Pub);
    m.Pub.progress_monitor = JPEGProgress;
    m.Image = image;
    m.Started = false;
    m.LastPercent = -1;
    m.Failure = nullptr;
    m.TooManyScans = false;
}

// Raises what ended a guarded call: a progress handler's own exception, or EJPEG.
[[noreturn]] void RaiseJPEGError(const TJPEGErrorManager& err,
                                 const TJPEGProgressMonitor& monitor) {
    if (monitor.Failure) std::rethrow_exception(monitor.Failure);
    if (monitor.TooManyScans) throw EJPEG("JPEG error: too many scans in a progressive image");
    // Data that ended early makes libjpeg fail on the end marker it
    // invented; the real fault is the cut.
    if (err.SawEnd) throw EJPEG(CutShortMessage("the JPEG data ends before its picture."));
    // libjpeg's own text after the number, so a user learns what is wrong.
    char text[JMSG_LENGTH_MAX] = "";
    jpeg_common_struct common{};
    common.err = const_cast<jpeg_error_mgr*>(&err.Pub);
    err.Pub.format_message(&common, text);
    throw EJPEG(text[0] ? Format("JPEG error #%d: %s", err.Pub.msg_code, text)
                        : Format("JPEG error #%d", err.Pub.msg_code));
}

// Raises the cut-file error when the data ended before the picture: rows in
// a scan went missing, or (progressive) coefficients never arrived.
void CheckComplete(const TJPEGErrorManager& err, const jpeg_decompress_struct& info,
                   bool coefficientsMissing) {
    if (err.CutShort) {
        const long height = static_cast<long>(info.image_height);
        throw EJPEG(info.progressive_mode ? CutShortMessage("the JPEG data ends inside a scan.")
                                          : CutShortMessage(std::min(err.CutRows, height), height));
    }
    if (err.SawEnd && coefficientsMissing)
        throw EJPEG(CutShortMessage("the JPEG data ends before its last scan."));
}

// CMYK ink to RGB (the colour manager's formula): 255 - (C - C*K/255 + K), per channel.
const uint8_t* CMYKTable() {
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> t(256 * 256);
        for (int c = 0; c < 256; ++c)
            for (int k = 0; k < 256; ++k) {
                int v = 255 - (c - c * k / 255 + k);
                t[c * 256 + k] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        return t;
    }();
    return table.data();
}

// ---- decompression

struct TDecompressor {
    jpeg_decompress_struct Info;
    TJPEGErrorManager Err;
    TJPEGProgressMonitor Monitor;
    TDecompressor(TJPEGImage* image) {
        std::memset(&Info, 0, sizeof Info);
        InitErrorManager(Err);
        InitProgress(Monitor, image);
        Info.err = &Err.Pub;
    }
    ~TDecompressor() { jpeg_destroy_decompress(&Info); }
    TDecompressor(const TDecompressor&) = delete;
    TDecompressor& operator=(const TDecompressor&) = delete;
};

struct THeaderContext {
    j_decompress_ptr Info;
    const uint8_t* Data;
    size_t Size;
    long MaxMemory;
    bool SaveMarkers;
};

void BodyReadHeader(void* p) {
    auto* c = static_cast<THeaderContext*>(p);
    jpeg_create_decompress(c->Info);
    c->Info->mem->max_memory_to_use = c->MaxMemory;
    jpeg_mem_src(c->Info, c->Data, static_cast<unsigned long>(c->Size));
    // EXIF and XMP (APP1), ICC profile chunks (APP2) and comments are kept for the metadata.
    if (c->SaveMarkers) {
        jpeg_save_markers(c->Info, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(c->Info, JPEG_APP0 + 2, 0xFFFF);
        jpeg_save_markers(c->Info, JPEG_COM, 0xFFFF);
    }
    jpeg_read_header(c->Info, TRUE);
}

void BodyCalcDimensions(void* p) {
    jpeg_calc_output_dimensions(static_cast<j_decompress_ptr>(p));
}

struct TScanContext {
    j_decompress_ptr Info;
    JSAMPROW* Rows;  // one destination row per output line
    uint8_t* Buffer; // CMYK only: one line of 4 samples a pixel
    bool CMYK;
    bool Inverted;
    const uint8_t* Table;
    // The quantizer's colour map, copied before libjpeg frees it.
    uint8_t* ColorMap; // 256 x 3 bytes
    int ColorCount;
    // Blue-green-red-x rows straight into a 32-bit raster: libjpeg sets the
    // fourth byte to 255 and the raster keeps it 0, so it is cleared per row
    // while the row is still in the cache.
    bool ClearFourthByte;
    // Progressive only: some coefficient of some component was never
    // completed (libjpeg's coef_bits are 0 once every refinement arrived).
    bool CoefficientsMissing;
    // CMYK only: the embedded profile's conversion, used instead of the table when present.
    const TProfileTransform* Profile;
};

void BodyDecompress(void* p) {
    auto* c = static_cast<TScanContext*>(p);
    j_decompress_ptr info = c->Info;
    jpeg_start_decompress(info);
    while (info->output_scanline < info->output_height) {
        if (!c->CMYK) {
            const JDIMENSION first = info->output_scanline;
            jpeg_read_scanlines(info, c->Rows + first, info->output_height - first);
            if (c->ClearFourthByte)
                for (JDIMENSION y = first; y < info->output_scanline; ++y)
                    pixelrows::From32To32(c->Rows[y], c->Rows[y],
                                          static_cast<int>(info->output_width));
            continue;
        }
        JDIMENSION y = info->output_scanline;
        JSAMPROW line = c->Buffer;
        if (jpeg_read_scanlines(info, &line, 1) != 1) continue;
        uint8_t* out = c->Rows[y];
        const uint8_t* in = c->Buffer;
        if (c->Profile) {
            c->Profile->Convert(in, out, info->output_width);
            continue;
        }
        uint8_t flip = c->Inverted ? 0xFF : 0x00;
        for (JDIMENSION x = 0; x < info->output_width; ++x, in += 4, out += 3) {
            unsigned k = in[3] ^ flip;
            out[0] = c->Table[(in[2] ^ flip) * 256u + k];
            out[1] = c->Table[(in[1] ^ flip) * 256u + k];
            out[2] = c->Table[(in[0] ^ flip) * 256u + k];
        }
    }
    if (info->quantize_colors && info->colormap && info->out_color_components == 3) {
        int n = info->actual_number_of_colors < 256 ? info->actual_number_of_colors : 256;
        for (int i = 0; i < n; ++i)
            for (int ch = 0; ch < 3; ++ch)
                c->ColorMap[i * 3 + ch] = info->colormap[ch][i];
        c->ColorCount = n;
    }
    c->CoefficientsMissing = false;
    if (info->progressive_mode && info->coef_bits)
        for (int ci = 0; ci < info->num_components; ++ci)
            for (int k = 0; k < DCTSIZE2; ++k)
                if (info->coef_bits[ci][k] != 0) c->CoefficientsMissing = true;
    jpeg_finish_decompress(info);
}

// Decoding a band at a time: each guarded call reads one band, and the rows
// go to the caller between calls, outside libjpeg's frames.
struct TBandContext {
    j_decompress_ptr Info;
    JSAMPROW* Rows;
    int Band;
    int Got;
    bool CoefficientsMissing;
};

void BodyStartDecompress(void* p) {
    jpeg_start_decompress(static_cast<TBandContext*>(p)->Info);
}

void BodyReadBand(void* p) {
    auto* c = static_cast<TBandContext*>(p);
    c->Got = 0;
    while (c->Got < c->Band && c->Info->output_scanline < c->Info->output_height)
        c->Got += static_cast<int>(jpeg_read_scanlines(c->Info, c->Rows + c->Got,
                                                       static_cast<JDIMENSION>(c->Band - c->Got)));
}

void BodyFinishDecompress(void* p) {
    auto* c = static_cast<TBandContext*>(p);
    j_decompress_ptr info = c->Info;
    c->CoefficientsMissing = false;
    if (info->progressive_mode && info->coef_bits)
        for (int ci = 0; ci < info->num_components; ++ci)
            for (int k = 0; k < DCTSIZE2; ++k)
                if (info->coef_bits[ci][k] != 0) c->CoefficientsMissing = true;
    jpeg_finish_decompress(info);
}

// ---- compression

struct TCompressor {
    jpeg_compress_struct Info;
    TJPEGErrorManager Err;
    TJPEGProgressMonitor Monitor;
    TJPEGMemoryDestination Dest;
    TCompressor(TJPEGImage* image) {
        std::memset(&Info, 0, sizeof Info);
        std::memset(&Dest, 0, sizeof Dest);
        InitErrorManager(Err);
        InitProgress(Monitor, image);
        Info.err = &Err.Pub;
    }
    ~TCompressor() {
        jpeg_destroy_compress(&Info);
        std::free(Dest.Buffer);
    }
    TCompressor(const TCompressor&) = delete;
    TCompressor& operator=(const TCompressor&) = delete;
};

struct TCompressContext {
    j_compress_ptr Info;
    TJPEGMemoryDestination* Dest;
    jpeg_progress_mgr* Progress;
    JSAMPROW* Rows;
    JDIMENSION Width, Height;
    int Components;
    J_COLOR_SPACE InSpace;
    int Quality;
    bool Grayscale;
    bool Progressive;
    const std::vector<TJPEGSegment>* Segments; // metadata written after the frame header
};

void BodyCompress(void* p) {
    auto* c = static_cast<TCompressContext*>(p);
    j_compress_ptr info = c->Info;
    jpeg_create_compress(info);
    info->progress = c->Progress;
    c->Dest->Pub.init_destination = DestInit;
    c->Dest->Pub.empty_output_buffer = DestEmpty;
    c->Dest->Pub.term_destination = DestTerm;
    info->dest = &c->Dest->Pub;
    info->image_width = c->Width;
    info->image_height = c->Height;
    info->input_components = c->Components;
    info->in_color_space = c->InSpace;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, c->Quality, TRUE);
    if (c->Grayscale) jpeg_set_colorspace(info, JCS_GRAYSCALE);
    if (c->Progressive) jpeg_simple_progression(info);
    jpeg_start_compress(info, TRUE);
    for (const TJPEGSegment& segment : *c->Segments)
        jpeg_write_marker(info, segment.Marker,
                          reinterpret_cast<const JOCTET*>(segment.Payload.data()),
                          static_cast<unsigned>(segment.Payload.size()));
    while (info->next_scanline < info->image_height)
        jpeg_write_scanlines(info, c->Rows + info->next_scanline,
                             info->image_height - info->next_scanline);
    jpeg_finish_compress(info);
}

// A Huffman-coded block costs at least one bit (progressive DC scan), so a
// file holds no more than 512 pixels per byte of a full-resolution
// component; arithmetic coding of flat areas does far better. Both bounds
// leave generous room: they only refuse headers no data could fill.
void CheckJPEGDataBound(const jpeg_decompress_struct& info, size_t fileSize) {
    const uint64_t pixels = static_cast<uint64_t>(info.image_width) * info.image_height;
    CheckDataCanHold(fileSize, pixels, info.arith_code ? 65536 : 2048, info.image_width,
                     info.image_height);
}

long MaxDecoderMemory() {
    // Enough for the coefficient buffers of a progressive image at the pixel
    // limit; libjpeg has no backing store, so beyond this it fails cleanly.
    int64_t bytes = GetPixelLimit() * 8 + (int64_t(64) << 20);
    int64_t cap = int64_t(1) << 40;
    return static_cast<long>(bytes < cap ? bytes : cap);
}

} // namespace

// ---- TJPEGImage

TJPEGImage::TJPEGImage()
    : CompressionQuality(JPEGDefaults.CompressionQuality), Grayscale(JPEGDefaults.Grayscale),
      ProgressiveEncoding(JPEGDefaults.ProgressiveEncoding), Performance(JPEGDefaults.Performance),
      PixelFormat(JPEGDefaults.PixelFormat), ProgressiveDisplay(JPEGDefaults.ProgressiveDisplay),
      Scale(JPEGDefaults.Scale), Smoothing(JPEGDefaults.Smoothing) {}

TJPEGImage::~TJPEGImage() = default;

static int ScaledSide(int side, TJPEGScale scale) {
    int n = 1 << static_cast<int>(scale);
    return (side + n - 1) / n;
}

int TJPEGImage::Width() const {
    if (FBitmap) return FBitmap->Width();
    return FHasData ? ScaledSide(FHeaderWidth, Scale) : 0;
}

int TJPEGImage::Height() const {
    if (FBitmap) return FBitmap->Height();
    return FHasData ? ScaledSide(FHeaderHeight, Scale) : 0;
}

bool TJPEGImage::Empty() const {
    return !FBitmap && (!FHasData || FData.empty());
}

void TJPEGImage::SetWidth(int value) {
    if (value == Width()) return;
    if (FHasData && !FBitmap) Decode();
    if (!FBitmap) FBitmap = std::make_unique<TBitmap>(0, 0, pf24bit);
    FBitmap->SetWidth(value);
    FData.clear();
    FHasData = false;
}

void TJPEGImage::SetHeight(int value) {
    if (value == Height()) return;
    if (FHasData && !FBitmap) Decode();
    if (!FBitmap) FBitmap = std::make_unique<TBitmap>(0, 0, pf24bit);
    FBitmap->SetHeight(value);
    FData.clear();
    FHasData = false;
}

void TJPEGImage::LoadFromStream(TStream& stream) {
    TMemoryStream m;
    m.LoadFromStream(stream);
    FBitmap.reset();
    FData = std::move(m.Data());
    FHasData = true;
    try {
        ReadHeader();
        const TByteRange exif = FindJPEGExif(FData.data(), FData.size());
        Metadata().Orientation = ExifOrientation(exif.Data, exif.Size);
    } catch (...) {
        FData.clear();
        FHasData = false;
        FHeaderWidth = FHeaderHeight = 0;
        throw;
    }
}

void TJPEGImage::ReadHeader() {
    TDecompressor d(this);
    THeaderContext hc{&d.Info, FData.data(), FData.size(), MaxDecoderMemory(), true};
    if (!GuardedCall(d.Err, BodyReadHeader, &hc)) RaiseJPEGError(d.Err, d.Monitor);
    CheckRasterSize(d.Info.image_width, d.Info.image_height);
    CheckJPEGDataBound(d.Info, FData.size());
    FHeaderWidth = static_cast<int>(d.Info.image_width);
    FHeaderHeight = static_cast<int>(d.Info.image_height);
    TJPEGMetadataCollector collector;
    for (jpeg_saved_marker_ptr m = d.Info.marker_list; m; m = m->next)
        collector.Add(m->marker, m->data, m->data_length);
    TImageMetadata& metadata = Metadata();
    const int orientation = metadata.Orientation;
    metadata = TImageMetadata{};
    metadata.Orientation = orientation;
    collector.Finish(metadata);
}

TJPEGImage::TOutputKind TJPEGImage::PrepareDecode(jpeg_decompress_struct& info,
                                                  jpeg_progress_mgr* progress, void* errors,
                                                  int colourSpace) const {
    auto& err = *static_cast<TJPEGErrorManager*>(errors);
    auto& monitor = *reinterpret_cast<TJPEGProgressMonitor*>(progress);
    THeaderContext hc{&info, FData.data(), FData.size(), MaxDecoderMemory(), false};
    if (!GuardedCall(err, BodyReadHeader, &hc)) RaiseJPEGError(err, monitor);
    CheckRasterSize(info.image_width, info.image_height);
    CheckJPEGDataBound(info, FData.size());
    info.progress = progress;

    info.scale_num = 1;
    info.scale_denom = 1u << static_cast<unsigned>(Scale);
    info.do_block_smoothing = Smoothing ? TRUE : FALSE;
    if (Performance == jpBestSpeed) {
        info.dct_method = JDCT_IFAST;
        info.dither_mode = JDITHER_ORDERED;
        info.two_pass_quantize = FALSE;
    }
    // Four-component files are read as CMYK (libjpeg turns YCCK into CMYK)
    // and converted here; greyscale keeps libjpeg's grey values exactly.
    TOutputKind kind = okColour;
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        kind = okCMYK;
        info.out_color_space = JCS_CMYK;
    } else if (Grayscale || info.jpeg_color_space == JCS_GRAYSCALE) {
        kind = okGrey;
        info.out_color_space = JCS_GRAYSCALE;
    } else if (PixelFormat == jf8Bit) {
        kind = okQuantized;
        info.out_color_space = JCS_RGB;
        info.quantize_colors = TRUE;
        info.desired_number_of_colors = 236;
    } else {
        info.out_color_space = static_cast<J_COLOR_SPACE>(colourSpace);
    }
    if (!GuardedCall(err, BodyCalcDimensions, &info)) RaiseJPEGError(err, monitor);
    CheckRasterSize(info.output_width, info.output_height);
    return kind;
}

void TJPEGImage::Decode() {
    ReportProgress(psStarting, 0);
    try {
        TDecompressor d(this);
        jpeg_decompress_struct& info = d.Info;
        const TOutputKind kind = PrepareDecode(info, &d.Monitor.Pub, &d.Err, JCS_EXT_BGR);
        const bool cmyk = kind == okCMYK, grey = kind == okGrey, quantize = kind == okQuantized;

        auto bitmap = std::make_unique<TBitmap>();
        bitmap->SetPixelFormat(grey || quantize ? pf8bit : pf24bit);
        // libjpeg writes every pixel, so the raster is not filled first.
        bitmap->SetSizeForOverwrite(static_cast<int>(info.output_width),
                                    static_cast<int>(info.output_height));
        std::vector<JSAMPROW> rows(info.output_height);
        for (JDIMENSION y = 0; y < info.output_height; ++y)
            rows[y] = bitmap->ScanLine(static_cast<int>(y));
        std::vector<uint8_t> buffer(cmyk ? static_cast<size_t>(info.output_width) * 4 : 0);

        uint8_t colorMap[256 * 3] = {};
        const bool inverted = cmyk && info.saw_Adobe_marker;
        // Ink through the file's own profile; without a usable one, the formula.
        std::unique_ptr<TProfileTransform> profile;
        if (cmyk && !Metadata().Icc.empty())
            profile = TProfileTransform::ToSRGB(Metadata().Icc, inverted ? ppInvertedCMYK : ppCMYK,
                                                ppBGR);
        TScanContext sc{&info,    rows.data(), buffer.data(), cmyk,  inverted,     CMYKTable(),
                        colorMap, 0,           false,         false, profile.get()};
        if (!GuardedCall(d.Err, BodyDecompress, &sc)) RaiseJPEGError(d.Err, d.Monitor);
        CheckComplete(d.Err, info, sc.CoefficientsMissing);

        if (grey) {
            bitmap->SetPalette(GreyPalette(256));
        } else if (quantize) {
            std::vector<TPaletteEntry> entries(static_cast<size_t>(sc.ColorCount));
            for (int i = 0; i < sc.ColorCount; ++i)
                entries[static_cast<size_t>(i)] =
                    TPaletteEntry{colorMap[i * 3], colorMap[i * 3 + 1], colorMap[i * 3 + 2], 0};
            bitmap->SetPalette(TPalette(entries));
        }
        FBitmap = std::move(bitmap);
    } catch (...) {
        ReportProgress(psEnding, 0);
        throw;
    }
    ReportProgress(psEnding, 100);
}

bool TJPEGImage::DecodeInto(TBitmap& target) {
    if (FBitmap || !FHasData || FData.empty()) return false;
    const int bits = target.BitsPerPixel();
    if (bits != 24 && bits != 32) return false;
    TDecompressor d(this);
    jpeg_decompress_struct& info = d.Info;
    // The header is read before any progress is reported: a refusal leaves no trace.
    if (PrepareDecode(info, &d.Monitor.Pub, &d.Err, bits == 32 ? JCS_EXT_BGRX : JCS_EXT_BGR) !=
            okColour ||
        info.output_width != static_cast<JDIMENSION>(target.Width()) ||
        info.output_height != static_cast<JDIMENSION>(target.Height()))
        return false;
    ReportProgress(psStarting, 0);
    try {
        std::vector<JSAMPROW> rows(info.output_height);
        for (JDIMENSION y = 0; y < info.output_height; ++y)
            rows[y] = target.ScanLine(static_cast<int>(y));
        uint8_t colorMap[256 * 3] = {};
        TScanContext sc{&info,    rows.data(), nullptr,    false, false,  nullptr,
                        colorMap, 0,           bits == 32, false, nullptr};
        if (!GuardedCall(d.Err, BodyDecompress, &sc)) RaiseJPEGError(d.Err, d.Monitor);
        CheckComplete(d.Err, info, sc.CoefficientsMissing);
    } catch (...) {
        ReportProgress(psEnding, 0);
        throw;
    }
    ReportProgress(psEnding, 100);
    return true;
}

bool TJPEGImage::DecodeRows(const TRowSink& sink) {
    if (FBitmap || !FHasData || FData.empty()) return false;
    TDecompressor d(this);
    jpeg_decompress_struct& info = d.Info;
    if (PrepareDecode(info, &d.Monitor.Pub, &d.Err, JCS_EXT_BGR) != okColour) return false;
    ReportProgress(psStarting, 0);
    try {
        // Whole iMCU rows, so libjpeg never keeps a partial one for the next call.
        const int band = std::max(16, info.rec_outbuf_height);
        const size_t stride = static_cast<size_t>(info.output_width) * 3;
        std::vector<uint8_t> buffer(stride * static_cast<size_t>(band));
        std::vector<JSAMPROW> rows(static_cast<size_t>(band));
        for (int i = 0; i < band; ++i)
            rows[static_cast<size_t>(i)] = buffer.data() + static_cast<size_t>(i) * stride;
        TBandContext bc{&info, rows.data(), band, 0, false};
        if (!GuardedCall(d.Err, BodyStartDecompress, &bc)) RaiseJPEGError(d.Err, d.Monitor);
        while (info.output_scanline < info.output_height) {
            if (!GuardedCall(d.Err, BodyReadBand, &bc)) RaiseJPEGError(d.Err, d.Monitor);
            if (bc.Got == 0) break; // cannot happen with data in memory; never loop on it
            sink(buffer.data(), stride, bc.Got);
        }
        if (!GuardedCall(d.Err, BodyFinishDecompress, &bc)) RaiseJPEGError(d.Err, d.Monitor);
        CheckComplete(d.Err, info, bc.CoefficientsMissing);
    } catch (...) {
        ReportProgress(psEnding, 0);
        throw;
    }
    ReportProgress(psEnding, 100);
    return true;
}

bool TJPEGImage::ScaleForAtLeast(int width, int height) {
    if (FBitmap || !FHasData || FData.empty() || Scale != jsFullSize) return false;
    for (TJPEGScale s : {jsEighth, jsQuarter, jsHalf})
        if (ScaledSide(FHeaderWidth, s) >= width && ScaledSide(FHeaderHeight, s) >= height) {
            Scale = s;
            return true;
        }
    return false;
}

const TBitmap& TJPEGImage::Bitmap() {
    if (!FBitmap) {
        if (FHasData && !FData.empty())
            Decode();
        else
            FBitmap = std::make_unique<TBitmap>(0, 0, pf24bit);
    }
    return *FBitmap;
}

void TJPEGImage::Compress() {
    FData.clear();
    FHasData = false;
    if (!FBitmap || FBitmap->Width() == 0 || FBitmap->Height() == 0) {
        // Nothing to compress: the data stays empty.
        FHasData = true;
        return;
    }
    // 24- and 32-bit rows go to libjpeg as they are stored (it reads blue
    // first); any other format is expanded to a 24-bit copy first.
    const TBitmap* source = FBitmap.get();
    std::unique_ptr<TBitmap> copy;
    J_COLOR_SPACE space = JCS_EXT_BGR;
    TPixelFormat pf = source->PixelFormat();
    if (pf == pf32bit || pf == pfDevice) {
        space = JCS_EXT_BGRX;
    } else if (pf != pf24bit) {
        copy = std::make_unique<TBitmap>(*source);
        copy->SetPixelFormat(pf24bit);
        source = copy.get();
    }
    std::vector<JSAMPROW> rows(static_cast<size_t>(source->Height()));
    for (int y = 0; y < source->Height(); ++y)
        rows[static_cast<size_t>(y)] = const_cast<uint8_t*>(source->ScanLine(y));

    TImageMetadata written = Metadata();
    if (Grayscale) written.Icc.clear(); // a colour profile does not describe grey samples
    const std::vector<TJPEGSegment> segments = JPEGMetadataSegments(written);
    TCompressor c(this);
    int64_t estimate = static_cast<int64_t>(source->Width()) * source->Height() / 4;
    c.Dest.Capacity = static_cast<size_t>(estimate < 65536        ? 65536
                                          : estimate > (64 << 20) ? (64 << 20)
                                                                  : estimate);
    TCompressContext cc{&c.Info,
                        &c.Dest,
                        &c.Monitor.Pub,
                        rows.data(),
                        static_cast<JDIMENSION>(source->Width()),
                        static_cast<JDIMENSION>(source->Height()),
                        space == JCS_EXT_BGRX ? 4 : 3,
                        space,
                        CompressionQuality,
                        Grayscale,
                        ProgressiveEncoding,
                        &segments};
    ReportProgress(psStarting, 0);
    if (!GuardedCall(c.Err, BodyCompress, &cc)) {
        ReportProgress(psEnding, 0);
        RaiseJPEGError(c.Err, c.Monitor);
    }
    FData.assign(c.Dest.Buffer, c.Dest.Buffer + c.Dest.Size);
    FHasData = true;
    ReportProgress(psEnding, 100);
}

void TJPEGImage::SaveToStream(TStream& stream) {
    if (!FHasData) Compress();
    if (!FData.empty()) stream.WriteBuffer(FData.data(), FData.size());
}

void TJPEGImage::TakeBitmap(std::unique_ptr<TBitmap> bitmap) {
    FData.clear();
    FHasData = false;
    FBitmap = std::move(bitmap);
}

void TJPEGImage::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* j = dynamic_cast<const TJPEGImage*>(&source)) {
        FData = j->FData;
        FHasData = j->FHasData;
        FHeaderWidth = j->FHeaderWidth;
        FHeaderHeight = j->FHeaderHeight;
        FBitmap = j->FBitmap ? std::make_unique<TBitmap>(*j->FBitmap) : nullptr;
        CompressionQuality = j->CompressionQuality;
        Grayscale = j->Grayscale;
        ProgressiveEncoding = j->ProgressiveEncoding;
        Performance = j->Performance;
        PixelFormat = j->PixelFormat;
        ProgressiveDisplay = j->ProgressiveDisplay;
        Scale = j->Scale;
        Smoothing = j->Smoothing;
        Metadata() = j->Metadata();
        return;
    }
    if (const auto* b = dynamic_cast<const TBitmap*>(&source)) {
        TakeBitmap(std::make_unique<TBitmap>(*b));
        return;
    }
    // Any other graphic is drawn onto a bitmap first.
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->Assign(source);
    TakeBitmap(std::move(bitmap));
}

void TJPEGImage::Draw(TCanvas& canvas, const TRect& rect) {
    if (Empty()) return;
    canvas.StretchBitmap(rect, Bitmap());
}
