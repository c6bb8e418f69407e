#include "util/IniFile.h"

#include "base/StrUtils.h"
#include "base/Streams.h"
#include "util/Wildcard.h"

#include <sys/stat.h>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

std::string_view Unquote(std::string_view s) {
    if (s.size() >= 2 && IsQuote(s.front()) && s.front() == s.back())
        return s.substr(1, s.size() - 2);
    return s;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// A value that trimming or unquoting would change on the way back is written in
// quotes, so every value without a line break reads back exactly.
std::string EncodeValue(std::string_view value) {
    bool quote = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                    Unquote(value).size() != value.size());
    return quote ? "\"" + std::string(value) + "\"" : std::string(value);
}

std::string IndexKey(std::string_view section, std::string_view key) {
    std::string k = FoldCase(section);
    k.push_back('\0');
    k += FoldCase(key);
    return k;
}

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

} // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

TIniFile TIniFile::FromText(std::string_view text) {
    TIniFile ini;
    ini.FInMemory = true;
    ini.Parse(text);
    ini.FLoaded = true;
    return ini;
}

void TIniFile::Parse(std::string_view text) const {
    FLines.clear();
    FSections.clear();
    FSectionIndex.clear();
    FKeyIndex.clear();
    int current = -1;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        // CR LF ends a line too; stray CRs before the line end go with it, so a
        // line reads the same after a rewrite with LF ends.
        while (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);

        TLine line;
        line.Raw = std::string(raw);
        std::string_view t = raw;
        if (FLines.empty() && t.starts_with(Utf8Bom)) t.remove_prefix(Utf8Bom.size());
        t = Trim(t);
        if (t.empty() || t.front() == ';') {
            // comment or blank: kept, never read
        } else if (t.front() == '[') {
            std::string_view name = t.substr(1);
            name = Trim(name.substr(0, name.find(']')));
            line.Kind = TLineKind::Section;
            line.Name = std::string(name);
            auto [it, added] =
                FSectionIndex.try_emplace(FoldCase(name), static_cast<int>(FSections.size()));
            current = it->second;
            if (added) FSections.push_back({line.Name, static_cast<int>(FLines.size())});
        } else if (size_t eq = t.find('='); eq != std::string_view::npos && current >= 0) {
            std::string_view key = Trim(t.substr(0, eq));
            if (!key.empty()) {
                line.Kind = TLineKind::Key;
                line.Name = std::string(key);
                line.Value = std::string(Unquote(Trim(t.substr(eq + 1))));
                FKeyIndex.try_emplace(IndexKey(FSections[current].Name, key), FLines.size());
            }
        }
        line.Section = current;
        FLines.push_back(std::move(line));
    }
}

TIniFile::TFileStamp TIniFile::StampOf() const {
    TFileStamp stamp;
    struct stat st {};
    if (::stat(FFileName.c_str(), &st) != 0) return stamp;
    stamp.Present = true;
    stamp.Device = st.st_dev;
    stamp.Inode = st.st_ino;
    stamp.Size = static_cast<uint64_t>(st.st_size);
    stamp.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.Regular = S_ISREG(st.st_mode);
    return stamp;
}

void TIniFile::Refresh() const {
    if (FInMemory) return;
    // Another writer may have replaced the file since the last call: reads see
    // the file as it is now, like the private-profile calls.
    TFileStamp stamp = StampOf();
    if (FLoaded && stamp == FStamp) return;
    std::string text;
    if (stamp.Present && stamp.Regular) {
        try {
            std::vector<uint8_t> bytes = ReadWholeFile(FFileName);
            text.assign(bytes.begin(), bytes.end());
        } catch (const std::exception&) {
            text.clear(); // unreadable: every read gives its default
        }
    }
    Parse(text);
    FStamp = stamp;
    FLoaded = true;
}

int TIniFile::FindSection(std::string_view section) const {
    auto it = FSectionIndex.find(FoldCase(section));
    return it == FSectionIndex.end() ? -1 : it->second;
}

const TIniFile::TLine* TIniFile::FindKey(std::string_view section, std::string_view key) const {
    auto it = FKeyIndex.find(IndexKey(section, key));
    return it == FKeyIndex.end() ? nullptr : &FLines[it->second];
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
    Refresh();
    const TLine* line = FindKey(section, key);
    if (!line) return std::string(defaultValue);
    return line->Value.substr(0, Utf8PrefixBytes(line->Value, MaxValueLength));
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                              int32_t defaultValue) const {
    Refresh();
    const TLine* line = FindKey(section, key);
    if (!line) return defaultValue;
    std::string_view value(line->Value);
    return IniStrToIntDef(value.substr(0, Utf8PrefixBytes(value, MaxValueLength)), defaultValue);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(std::string_view section) const {
    Refresh();
    return FindSection(section) >= 0;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
    Refresh();
    return FindKey(section, key) != nullptr;
}

std::vector<std::string> TIniFile::ReadSections() const {
    Refresh();
    std::vector<std::string> names;
    for (const TSection& s : FSections)
        names.push_back(s.Name);
    return names;
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
    Refresh();
    std::vector<std::string> keys;
    int index = FindSection(section);
    if (index < 0) return keys;
    for (size_t i = 0; i < FLines.size(); ++i) {
        const TLine& line = FLines[i];
        if (line.Kind != TLineKind::Key || line.Section != index) continue;
        // Only the first occurrence of a key is listed, as only it is read.
        auto it = FKeyIndex.find(IndexKey(FSections[index].Name, line.Name));
        if (it != FKeyIndex.end() && it->second == i) keys.push_back(line.Name);
    }
    return keys;
}

std::string TIniFile::Text() const {
    Refresh();
    std::string text;
    for (const TLine& line : FLines) {
        text += line.Raw;
        text.push_back('\n');
    }
    return text;
}

void TIniFile::WriteFailed() const {
    throw EIniFileException(Format("Unable to write to %s", FFileName.c_str()));
}

void TIniFile::Store(std::string_view section, std::string_view key, std::string value) {
    // Names and values that the file could not give back as written are refused
    // rather than written as something else (a line break would even start a
    // new key or section).
    if (section.empty() || Trim(section).size() != section.size() || HasLineBreak(section) ||
        section.find(']') != std::string_view::npos)
        WriteFailed();
    if (key.empty() || Trim(key).size() != key.size() || HasLineBreak(key) ||
        key.find('=') != std::string_view::npos || key.front() == ';' || key.front() == '[')
        WriteFailed();
    if (HasLineBreak(value)) WriteFailed();

    if (!FInMemory) {
        // Start from the file as it is now; one that exists but cannot be read
        // must not be replaced by a file holding only this key.
        TFileStamp stamp = StampOf();
        std::string text;
        if (stamp.Present) {
            if (!stamp.Regular) WriteFailed();
            try {
                std::vector<uint8_t> bytes = ReadWholeFile(FFileName);
                text.assign(bytes.begin(), bytes.end());
            } catch (const std::exception&) {
                WriteFailed();
            }
        }
        Parse(text);
        FStamp = stamp;
        FLoaded = true;
    }

    std::string line = std::string(key) + "=" + EncodeValue(value);
    auto found = FKeyIndex.find(IndexKey(section, key));
    if (found != FKeyIndex.end()) {
        TLine& existing = FLines[found->second];
        if (existing.Value == value) return; // nothing to change, the file stays as it is
        existing.Raw = existing.Name + "=" + EncodeValue(value);
    } else if (int s = FindSection(section); s >= 0) {
        // After the last non-blank line of the section's first occurrence.
        size_t at = static_cast<size_t>(FSections[s].FirstLine);
        for (size_t i = at + 1; i < FLines.size() && FLines[i].Kind != TLineKind::Section; ++i)
            if (!Trim(FLines[i].Raw).empty()) at = i;
        TLine added;
        added.Raw = line;
        FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at + 1), std::move(added));
    } else {
        if (!FLines.empty() && !Trim(FLines.back().Raw).empty()) FLines.push_back(TLine{});
        TLine header;
        header.Raw = "[" + std::string(section) + "]";
        FLines.push_back(std::move(header));
        TLine added;
        added.Raw = line;
        FLines.push_back(std::move(added));
    }

    std::string text;
    for (const TLine& l : FLines) {
        text += l.Raw;
        text.push_back('\n');
    }
    if (!FInMemory) {
        try {
            TAtomicFileStream out(FFileName);
            out.WriteBuffer(text.data(), text.size());
            out.Commit();
        } catch (const std::exception&) {
            FLoaded = false; // the lines above were never stored
            WriteFailed();
        }
        FStamp = StampOf();
    }
    Parse(text);
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    Store(section, key, std::string(value));
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
    Store(section, key, Format("%d", value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    Store(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(std::string_view section) {
    if (!FInMemory) {
        // As in Store: start from the file as it is now, never from a stale copy.
        TFileStamp stamp = StampOf();
        std::string text;
        if (stamp.Present) {
            if (!stamp.Regular) WriteFailed();
            try {
                std::vector<uint8_t> bytes = ReadWholeFile(FFileName);
                text.assign(bytes.begin(), bytes.end());
            } catch (const std::exception&) {
                WriteFailed();
            }
        }
        Parse(text);
        FStamp = stamp;
        FLoaded = true;
    }
    const int index = FindSection(section);
    if (index < 0) return;

    std::string text;
    for (const TLine& l : FLines) {
        if (l.Section == index) continue; // header and lines of every occurrence
        text += l.Raw;
        text.push_back('\n');
    }
    if (!FInMemory) {
        try {
            TAtomicFileStream out(FFileName);
            out.WriteBuffer(text.data(), text.size());
            out.Commit();
        } catch (const std::exception&) {
            FLoaded = false;
            WriteFailed();
        }
        FStamp = StampOf();
    }
    Parse(text);
}
