// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/IniFile.h"

#include "base/StrUtils.h"
#include "base/Streams.h"
#include "util/Wildcard.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

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
    if (!quote) return std::string(value);
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted.append(1, '"').append(value).append(1, '"');
    return quoted;
}

// FNV-1a over the folded code points, so names that differ only in case meet.
uint64_t FoldedHash(std::string_view s, uint64_t seed) {
    uint64_t h = 1469598103934665603ull ^ (seed * 0x9E3779B97F4A7C15ull);
    for (size_t pos = 0; pos < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[pos]);
        char32_t c;
        if (b < 0x80) {
            c = b >= 'a' && b <= 'z' ? b - 0x20 : b;
            ++pos;
        } else {
            c = FoldCodePoint(DecodeUtf8Next(s, pos));
        }
        h = (h ^ c) * 1099511628211ull;
    }
    // FNV's low bits alone cluster for names like k1, k2, ...: mix them all in.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

size_t TableSize(size_t entries) {
    size_t n = 16;
    while (n < entries * 2)
        n *= 2;
    return n;
}

// The slot holding an entry that matches, or the empty slot where it belongs.
template <class TMatch> uint32_t& Probe(std::vector<uint32_t>& slots, uint64_t hash, TMatch match) {
    const size_t mask = slots.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        uint32_t& slot = slots[i];
        if (slot == 0 || match(slot - 1)) return slot;
    }
}

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

} // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

TIniFile::TIniFile(const TIniFile& other) {
    *this = other;
}

TIniFile::TIniFile(TIniFile&& other) {
    *this = std::move(other);
}

TIniFile& TIniFile::operator=(const TIniFile& other) {
    if (this == &other) return *this;
    FFileName = other.FFileName;
    FInMemory = other.FInMemory;
    FStamp = other.FStamp;
    FLoaded = other.FLoaded;
    Parse(other.FText);
    return *this;
}

TIniFile& TIniFile::operator=(TIniFile&& other) {
    // Moving a short string moves its characters: parse again either way.
    return *this = static_cast<const TIniFile&>(other);
}

TIniFile TIniFile::FromText(std::string_view text) {
    TIniFile ini;
    ini.FInMemory = true;
    ini.Parse(std::string(text));
    ini.FLoaded = true;
    return ini;
}

void TIniFile::Parse(std::string text) const {
    FText = std::move(text);
    FLines.clear();
    FSections.clear();
    const std::string_view all(FText);
    // First the lines, then the two indexes sized for what was found: no
    // rehashing and no string per line, so a huge file costs little more
    // than its text.
    FLines.reserve(static_cast<size_t>(std::count(all.begin(), all.end(), '\n')) + 1);
    size_t sectionLines = 0, keyLines = 0;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string_view::npos) end = all.size();
        std::string_view raw = all.substr(start, end - start);
        start = end + 1;
        // CR LF ends a line too; stray CRs before the line end go with it, so a
        // line reads the same after a rewrite with LF ends.
        while (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);

        TLine line;
        line.Raw = raw;
        std::string_view t = raw;
        if (FLines.empty() && t.starts_with(Utf8Bom)) t.remove_prefix(Utf8Bom.size());
        t = Trim(t);
        if (t.empty() || t.front() == ';') {
            // comment or blank: kept, never read
        } else if (t.front() == '[') {
            std::string_view name = t.substr(1);
            line.Kind = TLineKind::Section;
            line.Name = Trim(name.substr(0, name.find(']')));
            ++sectionLines;
        } else if (size_t eq = t.find('='); eq != std::string_view::npos) {
            std::string_view key = Trim(t.substr(0, eq));
            if (!key.empty()) {
                line.Kind = TLineKind::Key;
                line.Name = key;
                line.Value = Unquote(Trim(t.substr(eq + 1)));
                ++keyLines;
            }
        }
        FLines.push_back(line);
    }

    FSectionIndex.Slots.assign(TableSize(sectionLines), 0);
    FKeyIndex.Slots.assign(TableSize(keyLines), 0);
    int current = -1;
    for (size_t i = 0; i < FLines.size(); ++i) {
        TLine& line = FLines[i];
        if (line.Kind == TLineKind::Section) {
            uint32_t& slot = Probe(FSectionIndex.Slots, FoldedHash(line.Name, 0), [&](uint32_t s) {
                return SameTextFolded(FSections[s].Name, line.Name);
            });
            if (slot == 0) {
                FSections.push_back({line.Name, static_cast<int>(i)});
                slot = static_cast<uint32_t>(FSections.size());
            }
            current = static_cast<int>(slot - 1);
        } else if (line.Kind == TLineKind::Key) {
            if (current < 0) {
                line.Kind = TLineKind::Other; // a key before any section is never read
            } else {
                // The first occurrence of a key wins.
                uint32_t& slot = Probe(FKeyIndex.Slots,
                                       FoldedHash(line.Name, static_cast<uint64_t>(current) + 1),
                                       [&](uint32_t k) {
                                           return FLines[k].Section == current &&
                                                  SameTextFolded(FLines[k].Name, line.Name);
                                       });
                if (slot == 0) slot = static_cast<uint32_t>(i + 1);
            }
        }
        line.Section = current;
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
    Parse(std::move(text));
    FStamp = stamp;
    FLoaded = true;
}

bool TIniFile::LooksLikeText(std::string_view text) {
    // A NUL never occurs in a text file; other control characters may stray
    // into one, but not make up a good part of it.
    size_t control = 0;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == 0) return false;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1A) ++control;
    }
    return control * 20 <= text.size();
}

bool TIniFile::IsText() const {
    Refresh();
    return LooksLikeText(FText);
}

int TIniFile::FindSection(std::string_view section) const {
    if (FSectionIndex.Slots.empty()) return -1;
    const uint32_t slot = Probe(FSectionIndex.Slots, FoldedHash(section, 0), [&](uint32_t s) {
        return SameTextFolded(FSections[s].Name, section);
    });
    return static_cast<int>(slot) - 1;
}

const TIniFile::TLine* TIniFile::FindKey(std::string_view section, std::string_view key) const {
    const int s = FindSection(section);
    if (s < 0 || FKeyIndex.Slots.empty()) return nullptr;
    const uint32_t slot =
        Probe(FKeyIndex.Slots, FoldedHash(key, static_cast<uint64_t>(s) + 1), [&](uint32_t k) {
            return FLines[k].Section == s && SameTextFolded(FLines[k].Name, key);
        });
    return slot == 0 ? nullptr : &FLines[slot - 1];
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
    Refresh();
    const TLine* line = FindKey(section, key);
    if (!line) return std::string(defaultValue);
    return std::string(line->Value.substr(0, Utf8PrefixBytes(line->Value, MaxValueLength)));
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
        names.emplace_back(s.Name);
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
        if (FindKey(FSections[index].Name, line.Name) == &line) keys.emplace_back(line.Name);
    }
    return keys;
}

std::string TIniFile::Text() const {
    Refresh();
    std::string text;
    text.reserve(FText.size() + 1);
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
        ParseFile();
    }

    // The new text: every line as it is, with the key's line replaced,
    // inserted after the last non-blank line of its section's first
    // occurrence, or appended in a new section.
    const std::string line = std::string(key) + "=" + EncodeValue(value);
    size_t replace = SIZE_MAX, insertAfter = SIZE_MAX;
    bool append = false;
    if (const TLine* existing = FindKey(section, key)) {
        if (existing->Value == value) return; // nothing to change, the file stays as it is
        replace = static_cast<size_t>(existing - FLines.data());
    } else if (int s = FindSection(section); s >= 0) {
        size_t at = static_cast<size_t>(FSections[s].FirstLine);
        for (size_t i = at + 1; i < FLines.size() && FLines[i].Kind != TLineKind::Section; ++i)
            if (!Trim(FLines[i].Raw).empty()) at = i;
        insertAfter = at;
    } else {
        append = true;
    }
    std::string text;
    text.reserve(FText.size() + line.size() + section.size() + 8);
    for (size_t i = 0; i < FLines.size(); ++i) {
        if (i == replace)
            text += std::string(FLines[i].Name) + "=" + EncodeValue(value);
        else
            text += FLines[i].Raw;
        text.push_back('\n');
        if (i == insertAfter) text += line + "\n";
    }
    if (append) {
        if (!FLines.empty() && !Trim(FLines.back().Raw).empty()) text.push_back('\n');
        text.append(1, '[').append(section).append("]\n").append(line).append(1, '\n');
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
    Parse(std::move(text));
}

void TIniFile::ParseFile() const {
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
    Parse(std::move(text));
    FStamp = stamp;
    FLoaded = true;
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
    // As in Store: start from the file as it is now, never from a stale copy.
    if (!FInMemory) ParseFile();
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
    Parse(std::move(text));
}
