// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/BatchJob.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "batch/Switches.h"
#include "convert/Watermark.h"
#include "formats/FileFormatList.h"
#include "formats/ImageEncoder.h"
#include "util/FileUtils.h"
#include "util/IniFile.h"
#include "util/Wildcard.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>

const char* const PixelFormatNames[8] = {"Device",  "1bit",    "pf4bit",  "pf8bit",
                                         "pf15bit", "pf16bit", "pf24bit", "pf32bit"};
const char* const ColorReductionNames[10] = {"none",      "system20", "halftone", "gray4",
                                             "mono",      "gray256",  "web216",   "optimal",
                                             "optimal56", "best"};
const char* const MetadataNames[3] = {"keep", "strip", "nolocation"};

const TEffortScale WebPEffortScale{"/WEBPEFFORT", 0, TWebPEncoder::MaxEffort,
                                   TWebPEncoder::DefaultEffort};
const TEffortScale AVIFSpeedScale{"/AVIFSPEED", 0, TAVIFEncoder::MaxEffort,
                                  TAVIFEncoder::DefaultEffort};
const TEffortScale JXLEffortScale{"/JXLEFFORT", TJXLEncoder::MinEffort, TJXLEncoder::MaxEffort,
                                  TJXLEncoder::DefaultEffort};

namespace {

// What a settings file without the key has always meant: the octree; a
// fresh start takes the best quality.
constexpr int StoredColorReductionDefault = ReduceOptimal;

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A whole number of digits within 32 bits.
bool IsSwitchNumber(std::string_view s) {
    int32_t value = 0;
    return AllDigits(s) && TryStrToInt(s, value);
}

// The destination list takes a stored index past its end as its last entry
// and one below it as no entry.
std::optional<TDestinationFormat> StoredDestination(int32_t index) {
    return DestinationFromIndex(std::min<int32_t>(index, dfJXL));
}

int StoredIndex(std::optional<TDestinationFormat> d) {
    return d ? static_cast<int>(*d) : -1;
}

int StoredIndex(std::optional<TColorReduction> r) {
    return r ? static_cast<int>(*r) : -1;
}

int StoredIndex(TPixelFormat f) {
    return f >= pfDevice && f < pfCustom ? static_cast<int>(f) : -1;
}

// An effort outside its scale is the encoder's default (-1).
int EffortOnScale(int32_t value, const TEffortScale& scale) {
    return value < scale.Min || value > scale.Max ? -1 : value;
}

struct TModernSection {
    const char* Section;
    const char* Key;
    TConvertOptions::TModernFormat TConvertOptions::*Format;
    const TEffortScale* Scale;
};
const TModernSection ModernSections[3] = {
    {"WebP", "Effort", &TConvertOptions::WebP, &WebPEffortScale},
    {"AVIF", "Speed", &TConvertOptions::AVIF, &AVIFSpeedScale},
    {"JXL", "Effort", &TConvertOptions::JXL, &JXLEffortScale},
};

} // namespace

int MetadataIndex(const std::string& name) {
    for (int i = 0; i < 3; ++i)
        if (SameTextAscii(name, MetadataNames[i])) return i;
    return -1;
}

bool TBatchJob::AcceptsFile(const std::string& fileName) const {
    for (const TSourceFormat& format : SourceFormats)
        if (format.Ticked && MatchWildcard(fileName, "*" + format.Ext, true)) return true;
    return false;
}

int MaxThreadCount() {
#ifdef __linux__
    // The cores this process may run on (taskset, a batch scheduler's cpuset),
    // not every core of the machine: one worker per core is the default.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return CPU_COUNT(&allowed);
#endif
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int EffectiveThreads(int threads) {
    // One per core, but no more workers than the box and the switch allow.
    return std::clamp(threads == 0 ? MaxThreadCount() : threads, 1, MaxParallelConversions);
}

TBatchJob NewBatchJob() {
    TBatchJob job;
    job.SourceFolder = job.DestinationFolder = DefaultFolder();
    job.LogFile = DefaultFolder() + job.LogFile;
    if (FormatRegistry) {
        std::vector<std::string> extensions;
        FormatRegistry->ListExtensions(extensions);
        for (const std::string& ext : extensions)
            job.SourceFormats.push_back({"." + ext, true});
    }
    for (const TModernSection& m : ModernSections)
        (job.Options.*m.Format).Effort = m.Scale->Default;
    return job;
}

// ---------------------------------------------------------------------------
// Settings file

void LoadBatchJob(const TIniFile& ini, TBatchJob& job) {
    LoadBatchJobGeneral(ini, job);
    LoadBatchJobImage(ini, job);
}

void SaveBatchJob(TIniFile& ini, const TBatchJob& job) {
    SaveBatchJobGeneral(ini, job);
    SaveBatchJobImage(ini, job);
}

void LoadBatchJobGeneral(const TIniFile& ini, TBatchJob& job) {
    job.SourceFolder = ini.ReadString("General", "Source", job.SourceFolder);
    job.DestinationFolder = ini.ReadString("General", "Destination", job.DestinationFolder);
    TConvertOptions& o = job.Options;
    o.Destination = StoredDestination(
        ini.ReadInteger("General", "DestinationFormat", StoredIndex(o.Destination)));
    job.SubFolders = ini.ReadBool("Log", "SubFolders", job.SubFolders);
    const bool overwrite = ini.ReadBool("Log", "Overwrite", job.Existing != TExistingFiles::Skip);
    job.LogProcessed = ini.ReadBool("Log", "LogProcessed", job.LogProcessed);
    job.LogFile = ini.ReadString("Log", "LogProcessedFile", job.LogFile);
    job.Threads =
        std::clamp(ini.ReadInteger("General", "Threads", job.Threads), 0, MaxParallelConversions);
    job.KeepFolders = ini.ReadBool("General", "KeepFolders", job.KeepFolders);
    bool keepBoth = job.Existing == TExistingFiles::Rename;
    const std::string existing = ini.ReadString("General", "ExistingFiles", "");
    if (!existing.empty()) keepBoth = SameTextAscii(existing, "rename");
    job.Existing = keepBoth    ? TExistingFiles::Rename
                   : overwrite ? TExistingFiles::Overwrite
                               : TExistingFiles::Skip;
    job.NamePattern = ini.ReadString("General", "NamePattern", job.NamePattern);
}

void LoadBatchJobImage(const TIniFile& ini, TBatchJob& job) {
    TConvertOptions& o = job.Options;
    o.Resize = ini.ReadBool("Image", "Resize", o.Resize);
    // A mode outside the list resizes nothing.
    if (!StretchModeFromIndex(ini.ReadInteger("Image", "StretchMode", o.StretchMode),
                              o.StretchMode))
        o.Resize = false;
    o.UseWidth = ini.ReadBool("Image", "StretchWidth", o.UseWidth);
    o.Width = SideFromText(ini.ReadString("Image", "Width", SideText(o.Width)));
    o.UseHeight = ini.ReadBool("Image", "StretchHeight", o.UseHeight);
    o.Height = SideFromText(ini.ReadString("Image", "Height", SideText(o.Height)));
    o.ShrinkOnly = ini.ReadBool("Image", "ShrinkOnly", o.ShrinkOnly);
    o.AutoRotate = ini.ReadBool("Image", "AutoRotate", o.AutoRotate);
    ParseResampleMode(ini.ReadString("Image", "Resample", ResampleModeName(o.Resample)),
                      o.Resample);
    ParseBackgroundColor(ini.ReadString("Image", "Background", BackgroundColorText(o.Background)),
                         o.Background);
    o.PixelFormat =
        PixelFormatFromIndex(ini.ReadInteger("Bitmap", "PixelFormat", StoredIndex(o.PixelFormat)));
    o.Quality = QualityFromText(ini.ReadString("Jpeg", "Compression", std::to_string(o.Quality)));
    // Only a fresh start takes the new default; a settings file keeps its meaning.
    o.ColorReduction = ColorReductionFromIndex(
        ini.ReadInteger("GIF", "ColorReduction",
                        ini.ReadSections().empty() ? ReduceBest : StoredColorReductionDefault));
    // An unknown name keeps everything, the safe reading of a damaged file.
    const int metadata = MetadataIndex(ini.ReadString("Image", "Metadata", MetadataNames[0]));
    o.Metadata = metadata > 0 ? static_cast<TMetadataMode>(metadata) : TMetadataMode::Keep;
    for (const TModernSection& m : ModernSections) {
        TConvertOptions::TModernFormat& format = o.*m.Format;
        format.Lossless = ini.ReadBool(m.Section, "Lossless", format.Lossless);
        format.Effort = EffortOnScale(ini.ReadInteger(m.Section, m.Key, format.Effort), *m.Scale);
    }

    TConvertOptions::TWatermark& w = o.Watermark;
    w.Enabled = ini.ReadBool("Watermark", "Enabled", w.Enabled);
    w.Text = ini.ReadString("Watermark", "Text", w.Text);
    StringToFont(
        ini.ReadString("Watermark", "Font", FontToString(w.Font, job.WatermarkFontBackground)),
        w.Font, job.WatermarkFontBackground);
    w.Alignment = ini.ReadInteger("Watermark", "Alignment", w.Alignment);
    w.Position = ini.ReadInteger("Watermark", "Position", w.Position);
    w.Rotate = ini.ReadBool("Watermark", "Rotate", w.Rotate);
    w.Angle = ini.ReadInteger("Watermark", "Angle", w.Angle);

    for (TSourceFormat& format : job.SourceFormats)
        format.Ticked = ini.ReadBool("SourceFormat", format.Ext, format.Ticked);
}

void LoadPresetMask(const TIniFile& ini, TBatchJob& job) {
    job.Mask = ini.ReadString("General", "Mask", job.Mask);
}

void SavePresetMask(TIniFile& ini, const TBatchJob& job) {
    if (job.Mask != "*.*" || ini.ValueExists("General", "Mask"))
        ini.WriteString("General", "Mask", job.Mask);
}

void SaveBatchJobGeneral(TIniFile& ini, const TBatchJob& job) {
    const TConvertOptions& o = job.Options;
    ini.WriteString("General", "Source", job.SourceFolder);
    ini.WriteString("General", "Destination", job.DestinationFolder);
    ini.WriteInteger("General", "DestinationFormat", StoredIndex(o.Destination));
    ini.WriteBool("Log", "SubFolders", job.SubFolders);
    ini.WriteBool("Log", "Overwrite", job.Existing != TExistingFiles::Skip);
    ini.WriteBool("Log", "LogProcessed", job.LogProcessed);
    ini.WriteString("Log", "LogProcessedFile", job.LogFile);
    // Keys of the additions are written once they differ from the default
    // (or the file has them already), so a usual file keeps its usual keys.
    if (job.Threads != DefaultThreads || ini.ValueExists("General", "Threads"))
        ini.WriteInteger("General", "Threads", job.Threads);
    if (job.KeepFolders || ini.ValueExists("General", "KeepFolders"))
        ini.WriteBool("General", "KeepFolders", job.KeepFolders);
    if (job.Existing == TExistingFiles::Rename || ini.ValueExists("General", "ExistingFiles"))
        ini.WriteString("General", "ExistingFiles",
                        job.Existing == TExistingFiles::Rename      ? "rename"
                        : job.Existing == TExistingFiles::Overwrite ? "overwrite"
                                                                    : "skip");
    if (job.NamePattern != "{name}" || ini.ValueExists("General", "NamePattern"))
        ini.WriteString("General", "NamePattern", job.NamePattern);
}

void SaveBatchJobImage(TIniFile& ini, const TBatchJob& job) {
    const TConvertOptions& o = job.Options;
    ini.WriteBool("Image", "Resize", o.Resize);
    ini.WriteInteger("Image", "StretchMode", o.StretchMode);
    ini.WriteBool("Image", "StretchWidth", o.UseWidth);
    ini.WriteString("Image", "Width", SideText(o.Width));
    ini.WriteBool("Image", "StretchHeight", o.UseHeight);
    ini.WriteString("Image", "Height", SideText(o.Height));
    auto writeIfSet = [&ini](const char* key, const std::string& value, const char* standard) {
        if (value != standard || ini.ValueExists("Image", key))
            ini.WriteString("Image", key, value);
    };
    writeIfSet("ShrinkOnly", o.ShrinkOnly ? "1" : "0", "0");
    writeIfSet("AutoRotate", o.AutoRotate ? "1" : "0", "1");
    writeIfSet("Resample", ResampleModeName(o.Resample), "smooth");
    writeIfSet("Background", BackgroundColorText(o.Background), "#FFFFFF");
    ini.WriteInteger("Bitmap", "PixelFormat", StoredIndex(o.PixelFormat));
    ini.WriteString("Jpeg", "Compression", std::to_string(o.Quality));
    ini.WriteInteger("GIF", "ColorReduction", StoredIndex(o.ColorReduction));
    const int metadata = static_cast<int>(o.Metadata);
    if (metadata != 0 || ini.ValueExists("Image", "Metadata"))
        ini.WriteString("Image", "Metadata", MetadataNames[metadata]);
    // These sections hold only what differs from a fresh start.
    for (const TModernSection& m : ModernSections) {
        const TConvertOptions::TModernFormat& format = o.*m.Format;
        ini.EraseSection(m.Section);
        if (format.Lossless) ini.WriteBool(m.Section, "Lossless", true);
        if (format.Effort != m.Scale->Default) ini.WriteInteger(m.Section, m.Key, format.Effort);
    }

    const TConvertOptions::TWatermark& w = o.Watermark;
    ini.WriteBool("Watermark", "Enabled", w.Enabled);
    ini.WriteString("Watermark", "Text", w.Text);
    ini.WriteString("Watermark", "Font", FontToString(w.Font, job.WatermarkFontBackground));
    ini.WriteInteger("Watermark", "Alignment", w.Alignment);
    ini.WriteInteger("Watermark", "Position", w.Position);
    ini.WriteBool("Watermark", "Rotate", w.Rotate);
    ini.WriteInteger("Watermark", "Angle", w.Angle);
    // Rows of formats no longer registered leave the file.
    ini.EraseSection("SourceFormat");
    for (const TSourceFormat& format : job.SourceFormats)
        ini.WriteBool("SourceFormat", format.Ext, format.Ticked);
}

void LoadBatchJobFrom(const std::string& fileName, TBatchJob& job) {
    CheckSettingsFile(fileName);
    const TIniFile ini(fileName);
    LoadBatchJob(ini, job);
    LoadPresetMask(ini, job);
}

void CheckSettingsFile(const std::string& fileName) {
    // The settings reader takes a missing or unreadable file for an empty one;
    // a preset named on purpose must not silently turn into the defaults.
    struct stat st {};
    const int fd = fileName.empty() ? -1 : ::open(fileName.c_str(), O_RDONLY | O_NONBLOCK);
    const bool readable = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd >= 0) ::close(fd);
    if (!readable)
        throw EFOpenError(Format("Cannot read the settings file \"%s\"", fileName.c_str()));
    if (!TIniFile(fileName).IsText())
        throw EFOpenError(Format("\"%s\" is not a settings file", fileName.c_str()));
}

// ---------------------------------------------------------------------------
// Switches

namespace {

using TJobSetter = void (*)(TSwitchContext& c, const std::string& value);

void Error(TSwitchContext& c, const std::string& message) {
    c.Errors.push_back(message);
}

void SetResize(TSwitchContext& c, const std::string& value) {
    TConvertOptions& o = c.Job.Options;
    std::string sizeText = AsciiLower(value);
    if (sizeText == "off" || sizeText == "none") {
        o.Resize = false;
        return;
    }
    // "fit:" keeps the proportions inside both sides; a trailing ">" only shrinks.
    const bool shrinkOnly = sizeText.ends_with(">");
    if (shrinkOnly) sizeText.pop_back();
    const bool fit = sizeText.starts_with("fit:");
    if (fit) sizeText.erase(0, 4);
    TStretchMode mode = smPixels;
    if (sizeText.ends_with("%") && !fit) {
        mode = smPercent;
        sizeText.pop_back();
    } else if (sizeText.ends_with("px")) {
        sizeText.resize(sizeText.size() - 2);
    }
    std::string width, height;
    bool valid;
    if (size_t x = sizeText.find('x'); x != std::string::npos) {
        width = sizeText.substr(0, x);
        height = sizeText.substr(x + 1);
        valid = (width.empty() || IsSwitchNumber(width)) &&
                (height.empty() || IsSwitchNumber(height)) && !(width.empty() && height.empty());
    } else {
        // One number scales both sides alike; in pixels that would be a square, so it
        // must be said as WIDTHxHEIGHT.
        width = height = sizeText;
        valid = mode == smPercent && IsSwitchNumber(sizeText);
    }
    if (fit) {
        valid = valid && !width.empty() && !height.empty();
        mode = smFitInside;
    }
    if (!valid) {
        Error(c, Format("/RESIZE=%s: expected WIDTHxHEIGHT in pixels (800x600, 800x, "
                        "x600), percent (50%%, 50x25%%) or fit:WIDTHxHEIGHT, each "
                        "with an optional > to only shrink; or off",
                        value.c_str()));
        return;
    }
    o.Resize = true;
    o.ShrinkOnly = shrinkOnly;
    o.StretchMode = mode;
    o.UseWidth = !width.empty();
    if (!width.empty()) o.Width = SideFromText(width);
    o.UseHeight = !height.empty();
    if (!height.empty()) o.Height = SideFromText(height);
}

void SetSourceFormats(TSwitchContext& c, const std::string& value) {
    std::vector<std::string> wanted;
    std::string unknown;
    for (const std::string& ext : SourceExtensionsFromSwitch(value)) {
        const bool known =
            std::any_of(c.Job.SourceFormats.begin(), c.Job.SourceFormats.end(),
                        [&](const TSourceFormat& f) { return AsciiLower(f.Ext) == "." + ext; });
        if (known)
            wanted.push_back("." + ext);
        else
            unknown += (unknown.empty() ? "" : ", ") + ext;
    }
    if (!unknown.empty() || wanted.empty()) {
        Error(c, Format("/SRCFORMAT=%s: no reader for %s", value.c_str(),
                        unknown.empty() ? "an empty list" : unknown.c_str()));
        return;
    }
    for (TSourceFormat& f : c.Job.SourceFormats)
        f.Ticked = std::find(wanted.begin(), wanted.end(), AsciiLower(f.Ext)) != wanted.end();
}

// An index or one of the names, ignoring case; -1 for anything else.
int NamedIndex(const std::string& value, const char* const* names, int count) {
    int index = -1;
    for (int i = 0; i < count; ++i)
        if (SameTextAscii(value, names[i]) || value == std::to_string(i)) index = i;
    return index;
}

template <const TEffortScale& Scale, TConvertOptions::TModernFormat TConvertOptions::*Member>
void SetEffort(TSwitchContext& c, const std::string& value) {
    int32_t effort = -1;
    if (!AllDigits(value) || !TryStrToInt(value, effort) || effort < Scale.Min ||
        effort > Scale.Max)
        Error(c, Format("%s=%s: expected a number from %d to %d", Scale.Switch, value.c_str(),
                        Scale.Min, Scale.Max));
    else
        (c.Job.Options.*Member).Effort = effort;
}

const std::map<std::string, TJobSetter>& JobSetters() {
    static const std::map<std::string, TJobSetter> setters = {
        {"/SRC", [](TSwitchContext& c, const std::string& v) { c.Job.SourceFolder = v; }},
        {"/SUBDIR", [](TSwitchContext& c, const std::string&) { c.Job.SubFolders = true; }},
        {"/MASK", [](TSwitchContext& c, const std::string& v) { c.Job.Mask = v; }},
        {"/SRCFORMAT", SetSourceFormats},
        {"/DST", [](TSwitchContext& c, const std::string& v) { c.Job.DestinationFolder = v; }},
        {"/DSTFORMAT",
         [](TSwitchContext& c, const std::string& v) {
             const int index = DestinationIndexFromSwitch(v);
             if (index < 0)
                 Error(c, Format("/DSTFORMAT=%s: expected %s", v.c_str(),
                                 AcceptedDestinationFormats().c_str()));
             else
                 c.Job.Options.Destination = DestinationFromIndex(index);
         }},
        {"/OVERRIDE",
         [](TSwitchContext& c, const std::string&) { c.Job.Existing = TExistingFiles::Overwrite; }},
        {"/NOOVERRIDE",
         [](TSwitchContext& c, const std::string&) { c.Job.Existing = TExistingFiles::Skip; }},
        {"/RENAME",
         [](TSwitchContext& c, const std::string&) { c.Job.Existing = TExistingFiles::Rename; }},
        {"/KEEPFOLDERS", [](TSwitchContext& c, const std::string&) { c.Job.KeepFolders = true; }},
        {"/NAME", [](TSwitchContext& c, const std::string& v) { c.Job.NamePattern = v; }},
        {"/LOGFILE",
         [](TSwitchContext& c, const std::string& v) {
             c.Job.LogProcessed = true;
             c.Job.LogFile = v;
         }},
        {"/SETTINGS",
         [](TSwitchContext& c, const std::string& v) {
             // Applied now, so switches after it override it and switches before it are
             // overridden.
             try {
                 if (c.LoadPreset)
                     c.LoadPreset(v);
                 else
                     LoadBatchJobFrom(v, c.Job);
             } catch (const std::exception& e) {
                 Error(c, e.what());
             }
         }},
        {"/RESIZE", SetResize},
        {"/RESAMPLE",
         [](TSwitchContext& c, const std::string& v) {
             if (!ParseResampleMode(v, c.Job.Options.Resample))
                 Error(c, Format("/RESAMPLE=%s: expected smooth or nearest", v.c_str()));
         }},
        {"/AUTOROTATE",
         [](TSwitchContext& c, const std::string&) { c.Job.Options.AutoRotate = true; }},
        {"/NOAUTOROTATE",
         [](TSwitchContext& c, const std::string&) { c.Job.Options.AutoRotate = false; }},
        {"/BACKGROUND",
         [](TSwitchContext& c, const std::string& v) {
             if (!ParseBackgroundColor(v, c.Job.Options.Background))
                 Error(c, Format("/BACKGROUND=%s: expected a colour as #RRGGBB (#FFFFFF is white)",
                                 v.c_str()));
         }},
        {"/PIXELFORMAT",
         [](TSwitchContext& c, const std::string& v) {
             const int index = NamedIndex(v, PixelFormatNames, 8);
             if (index < 0)
                 Error(c, Format("/PIXELFORMAT=%s: expected Device, 1bit, pf4bit, pf8bit, "
                                 "pf15bit, pf16bit, pf24bit, pf32bit or 0 to 7",
                                 v.c_str()));
             else
                 c.Job.Options.PixelFormat = PixelFormatFromIndex(index);
         }},
        {"/QUALITY",
         [](TSwitchContext& c, const std::string& v) {
             int32_t quality = 0;
             if (!AllDigits(v) || !TryStrToInt(v, quality) || quality < 1 || quality > 100)
                 Error(c, Format("/QUALITY=%s: expected a JPEG quality from 1 to 100", v.c_str()));
             else
                 c.Job.Options.Quality = quality;
         }},
        {"/LOSSLESS",
         [](TSwitchContext& c, const std::string&) {
             c.Job.Options.WebP.Lossless = c.Job.Options.AVIF.Lossless =
                 c.Job.Options.JXL.Lossless = true;
         }},
        {"/WEBPEFFORT", SetEffort<WebPEffortScale, &TConvertOptions::WebP>},
        {"/AVIFSPEED", SetEffort<AVIFSpeedScale, &TConvertOptions::AVIF>},
        {"/JXLEFFORT", SetEffort<JXLEffortScale, &TConvertOptions::JXL>},
        {"/COLORREDUCTION",
         [](TSwitchContext& c, const std::string& v) {
             const int index = NamedIndex(v, ColorReductionNames, 10);
             if (index < 0)
                 Error(c, Format("/COLORREDUCTION=%s: expected none, system20, halftone, "
                                 "gray4, mono, gray256, web216, optimal, optimal56, best or 0 to 9",
                                 v.c_str()));
             else
                 c.Job.Options.ColorReduction = ColorReductionFromIndex(index);
         }},
        {"/METADATA",
         [](TSwitchContext& c, const std::string& v) {
             const int index = MetadataIndex(v);
             if (index < 0)
                 Error(c, Format("/METADATA=%s: expected keep, strip or nolocation", v.c_str()));
             else
                 c.Job.Options.Metadata = static_cast<TMetadataMode>(index);
         }},
        {"/WATERMARK",
         [](TSwitchContext& c, const std::string& v) {
             if (v.empty()) {
                 Error(c, "/WATERMARK=: expected the text to draw");
                 return;
             }
             // A settings file holds no longer value: a preset must give the same files.
             const auto codePoints = std::count_if(v.begin(), v.end(), [](char ch) {
                 return (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
             });
             if (codePoints > 2047) {
                 Error(c, "/WATERMARK=: the text is longer than 2047 characters");
                 return;
             }
             c.Job.Options.Watermark.Text = v;
             c.Job.Options.Watermark.Enabled = true;
         }},
        {"/NOWATERMARK",
         [](TSwitchContext& c, const std::string&) { c.Job.Options.Watermark.Enabled = false; }},
        {"/WATERMARKFONT",
         [](TSwitchContext& c, const std::string& v) {
             if (!ParseWatermarkFont(v, c.Job.Options.Watermark.Font))
                 Error(c, Format("/WATERMARKFONT=%s: expected FACE,SIZE in points from 1 to "
                                 "3000, optionally ,STYLE (bold, italic, underline, "
                                 "strikeout, joined with +)",
                                 v.c_str()));
         }},
        {"/WATERMARKCOLOR",
         [](TSwitchContext& c, const std::string& v) {
             uint32_t rgb;
             if (!ParseBackgroundColor(v, rgb)) {
                 Error(c, Format("/WATERMARKCOLOR=%s: expected a colour as #RRGGBB (#000000 "
                                 "is black)",
                                 v.c_str()));
                 return;
             }
             c.Job.Options.Watermark.Font.Color = static_cast<int32_t>(
                 RGBColor(static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
                          static_cast<uint8_t>(rgb)));
         }},
        {"/WATERMARKPOS",
         [](TSwitchContext& c, const std::string& v) {
             int alignment = 0, position = 0;
             if (ParseWatermarkPlace(v, alignment, position)) {
                 c.Job.Options.Watermark.Alignment = alignment;
                 c.Job.Options.Watermark.Position = position;
             } else {
                 Error(c, Format("/WATERMARKPOS=%s: expected top-left, top, top-right, left, "
                                 "center, right, bottom-left, bottom, bottom-right or 1 to 9",
                                 v.c_str()));
             }
         }},
        {"/WATERMARKANGLE",
         [](TSwitchContext& c, const std::string& v) {
             int degrees = 0;
             if (ParseWatermarkAngle(v, degrees)) {
                 c.Job.Options.Watermark.Rotate = degrees != 0;
                 c.Job.Options.Watermark.Angle = degrees;
             } else {
                 Error(c, Format("/WATERMARKANGLE=%s: expected degrees counter-clockwise from "
                                 "-359 to 359",
                                 v.c_str()));
             }
         }},
        {"/THREADS",
         [](TSwitchContext& c, const std::string& v) {
             int32_t threads = -1;
             if (!AllDigits(v) || !TryStrToInt(v, threads))
                 Error(c, Format("/THREADS=%s: expected a number of parallel conversions "
                                 "(0 for one per core)",
                                 v.c_str()));
             else
                 // 0 stays "one per core", so a preset made on one machine suits another.
                 c.Job.Threads = std::min(threads, MaxParallelConversions);
         }},
        {"/LIST", [](TSwitchContext& c, const std::string&) { c.Job.DryRun = true; }},
        {"/SHARD",
         [](TSwitchContext& c, const std::string& v) {
             if (!ParseShard(v, c.Job.Shard))
                 Error(c, Format("/SHARD=%s: expected k/n with 1 <= k <= n, e.g. 2/8", v.c_str()));
         }},
        {"/QUIET", [](TSwitchContext& c, const std::string&) { c.Job.Quiet = true; }},
        {"/EXECUTE", [](TSwitchContext& c, const std::string&) { c.Job.Execute = true; }},
    };
    return setters;
}

} // namespace

bool HasJobSetter(const char* switchName) {
    return JobSetters().count(switchName) != 0;
}

bool ApplySwitch(TSwitchContext& context, const std::string& arg) {
    std::string value;
    const TSwitchInfo* info = FindSwitch(arg, value);
    if (!info) return false;
    const auto setter = JobSetters().find(info->Name);
    if (setter == JobSetters().end()) return false;
    setter->second(context, value);
    return true;
}

// ---------------------------------------------------------------------------
// The job as a command line

namespace {

bool HoldsMetadata(std::optional<TDestinationFormat> d) {
    return d == dfJPEG || d == dfPNG || d == dfWebP || d == dfAVIF || d == dfJXL;
}

// Formats without alpha: transparent pixels are put on the background.
bool UsesBackground(std::optional<TDestinationFormat> d) {
    return d == dfBitmap || d == dfJPEG || d == dfGIF || d == dfWMF || d == dfEMF;
}

bool UsesQuality(std::optional<TDestinationFormat> d) {
    return d == dfJPEG || d == dfWebP || d == dfAVIF || d == dfJXL;
}

// The watermark's switches (none while it is off).
void AddWatermarkArguments(const TConvertOptions::TWatermark& w, std::vector<std::string>& args) {
    if (!w.Enabled || w.Text.empty()) return;
    args.push_back("/WATERMARK=" + w.Text);
    const TFontDescription standard;
    TFontDescription font = w.Font;
    // Sizes the drawing would not take as they are are written as it takes them.
    font.Size = font.Size > 0 ? std::min(font.Size, 3000) : 8;
    if (font.Name != standard.Name || font.Size != standard.Size || font.Style != standard.Style)
        args.push_back("/WATERMARKFONT=" + WatermarkFontText(font));
    const TColor color = ColorToRGB(static_cast<TColor>(w.Font.Color));
    if (color != clBlack)
        args.push_back("/WATERMARKCOLOR=" +
                       BackgroundColorText(static_cast<uint32_t>(GetRValue(color)) << 16 |
                                           static_cast<uint32_t>(GetGValue(color)) << 8 |
                                           GetBValue(color)));
    if ((w.Alignment > 0 && w.Alignment < 3) || (w.Position > 0 && w.Position < 3))
        args.push_back("/WATERMARKPOS=" + WatermarkPlaceName(w.Alignment, w.Position));
    const int angle = ((w.Angle % 360) + 360) % 360;
    if (w.Rotate && angle != 0) args.push_back("/WATERMARKANGLE=" + std::to_string(angle));
}

std::string ResizeArgument(const TConvertOptions& o) {
    if (!o.Resize || (!o.UseWidth && !o.UseHeight)) return "";
    const std::string shrink = o.ShrinkOnly ? ">" : "";
    if (o.StretchMode == smFitInside && o.UseWidth && o.UseHeight)
        return "/RESIZE=fit:" + SideText(o.Width) + "x" + SideText(o.Height) + shrink;
    // Fit inside with one side is that side in pixels, the other in proportion.
    const TStretchMode mode = o.StretchMode == smFitInside ? smPixels : o.StretchMode;
    // A side that is no number is the source's own: 100 percent.
    auto side = [mode](bool used, std::optional<int32_t> value) -> std::string {
        if (!used) return "";
        if (mode == smPixels || (value && *value >= 0)) return SideText(value);
        return "100";
    };
    return "/RESIZE=" + side(o.UseWidth, o.Width) + "x" + side(o.UseHeight, o.Height) +
           (mode == smPercent ? "%" : "") + shrink;
}

} // namespace

std::vector<std::string> JobArguments(const TBatchJob& job) {
    std::vector<std::string> args;
    const TBatchJob fresh = NewBatchJob();
    const TConvertOptions& o = job.Options;
    const std::optional<TDestinationFormat> destination = o.Destination;
    if (job.SourceFolder != fresh.SourceFolder) args.push_back("/SRC=" + job.SourceFolder);
    if (job.SubFolders) args.push_back("/SUBDIR");
    if (job.Mask != "*.*") args.push_back("/MASK=" + job.Mask);
    if (job.DestinationFolder != fresh.DestinationFolder)
        args.push_back("/DST=" + job.DestinationFolder);
    if (job.KeepFolders) args.push_back("/KEEPFOLDERS");
    if (job.Existing == TExistingFiles::Rename)
        args.push_back("/RENAME");
    else if (job.Existing == TExistingFiles::Skip)
        args.push_back("/NOOVERRIDE");
    if (job.NamePattern != "{name}") args.push_back("/NAME=" + job.NamePattern);
    if (job.LogProcessed) args.push_back("/LOGFILE=" + job.LogFile);
    if (destination && *destination != dfBitmap)
        args.push_back("/DSTFORMAT=" + DestinationExtension(destination).substr(1));

    std::string formats;
    bool all = true;
    for (const TSourceFormat& format : job.SourceFormats) {
        if (!format.Ticked) {
            all = false;
            continue;
        }
        formats += (formats.empty() ? "*" : ";*") + format.Ext;
    }
    if (!all) args.push_back("/SRCFORMAT=" + formats);

    if (const std::string resize = ResizeArgument(o); !resize.empty()) args.push_back(resize);
    if (o.Resample == rmNearest) args.push_back("/RESAMPLE=nearest");
    if (!o.AutoRotate) args.push_back("/NOAUTOROTATE");
    // The options below only where the destination uses them.
    if (o.Background != 0xFFFFFF && UsesBackground(destination))
        args.push_back("/BACKGROUND=" + BackgroundColorText(o.Background));
    if (destination == dfBitmap && o.PixelFormat > pfDevice && o.PixelFormat < pfCustom)
        args.push_back(std::string("/PIXELFORMAT=") + PixelFormatNames[o.PixelFormat]);
    if (o.Quality != fresh.Options.Quality && UsesQuality(destination))
        args.push_back("/QUALITY=" + std::to_string(o.Quality));
    if (destination == dfGIF && o.ColorReduction && o.ColorReduction != ReduceBest)
        args.push_back(std::string("/COLORREDUCTION=") + ColorReductionNames[*o.ColorReduction]);
    if (o.Metadata != TMetadataMode::Keep && HoldsMetadata(destination))
        args.push_back(std::string("/METADATA=") + MetadataNames[static_cast<int>(o.Metadata)]);
    // Lossless and effort of the chosen format only: the others write nothing in this job.
    for (const TModernSection& m : ModernSections) {
        const std::string_view section = m.Section;
        const bool chosen = (section == "WebP" && destination == dfWebP) ||
                            (section == "AVIF" && destination == dfAVIF) ||
                            (section == "JXL" && destination == dfJXL);
        if (!chosen) continue;
        const TConvertOptions::TModernFormat& format = o.*m.Format;
        if (format.Lossless) args.push_back("/LOSSLESS");
        if (format.Effort >= 0 && format.Effort != m.Scale->Default)
            args.push_back(std::string(m.Scale->Switch) + "=" + std::to_string(format.Effort));
    }
    AddWatermarkArguments(job.Options.Watermark, args);
    if (job.Threads != DefaultThreads) args.push_back("/THREADS=" + std::to_string(job.Threads));
    args.push_back("/EXECUTE");
    return args;
}

std::vector<std::string> JobPartsWithoutSwitch(const TBatchJob& job, size_t untickedFiles) {
    std::vector<std::string> parts;
    if (untickedFiles == 1)
        parts.push_back("1 unticked file (the command line converts it)");
    else if (untickedFiles > 1)
        parts.push_back(std::to_string(untickedFiles) +
                        " unticked files (the command line converts them)");
    // Every option has its switch now; a new one without belongs here.
    (void)job;
    return parts;
}
