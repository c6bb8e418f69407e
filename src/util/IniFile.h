// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: an INI text file of "[Section]" lines and "Key=Value"
// lines, read and written with the rules of the classic private-profile calls.
//
// Reading: section and key names ignore case; the first occurrence of a key
// wins; blanks and tabs around names and values are trimmed and one matching
// pair of surrounding quotes is stripped; lines starting with ";" and lines
// without "=" are skipped; LF and CR LF both end a line; a value reads back as
// at most 2047 characters (never a split UTF-8 sequence). A missing key, a
// missing file and a file that cannot be read all give the caller's default.
//
// Writing: every write replaces the file atomically (a temporary file renamed
// over it) with LF line ends, keeping every other line as it was; a new key goes
// after the last line of its section, a new section at the end. A failure
// raises EIniFileException "Unable to write to <file name>".
#pragma once

#include "base/Exceptions.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

TREVASCO_EXCEPTION(EIniFileException, Exception)

class TIniFile {
public:
    static constexpr size_t MaxValueLength = 2047; // characters of a value read back

    explicit TIniFile(std::string fileName);
    // The parsed lines look into the object's own text, so a copy parses its copy.
    TIniFile(const TIniFile& other);
    TIniFile(TIniFile&& other);
    TIniFile& operator=(const TIniFile& other);
    TIniFile& operator=(TIniFile&& other);
    // A settings text held in memory (no file): reads see it, writes change it.
    static TIniFile FromText(std::string_view text);

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    // Signed decimal, or "0x"/"0X"/"$" hexadecimal; anything else gives the default.
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
    // An integer; every non-zero value is true.
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    // Removes every occurrence of the section with all its lines; a missing
    // section leaves the file untouched. Fails like the writes.
    void EraseSection(std::string_view section);

    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // Section names in file order, each once (first spelling).
    std::vector<std::string> ReadSections() const;
    // Key names of a section in file order, each once (first spelling).
    std::vector<std::string> ReadSection(std::string_view section) const;

    // The text a write would store (LF line ends).
    std::string Text() const;
    // False when the file holds binary data (NUL bytes, or mostly control
    // characters) rather than text: such a file is no settings file. A missing
    // or empty file counts as text.
    bool IsText() const;
    static bool LooksLikeText(std::string_view text);

private:
    enum class TLineKind : uint8_t { Other, Section, Key };
    // Views into FText: a large file costs a few words per line, not strings.
    struct TLine {
        std::string_view Raw;   // without its line end
        std::string_view Name;  // section or key name, trimmed
        std::string_view Value; // key lines: trimmed and unquoted, not yet limited
        int Section = -1;       // index into FSections of the section the line is in
        TLineKind Kind = TLineKind::Other;
    };
    struct TSection {
        std::string_view Name;
        int FirstLine = 0; // header of its first occurrence
    };
    // Open addressing on folded-name hashes; slots hold index + 1 (0: empty).
    struct TFoldedTable {
        std::vector<uint32_t> Slots;
        size_t Count = 0;
    };

    struct TFileStamp {
        bool Present = false;
        bool Regular = false;
        uint64_t Device = 0, Inode = 0, Size = 0;
        int64_t ModifiedNs = 0;
        bool operator==(const TFileStamp&) const = default;
    };

    TIniFile() = default;
    void Parse(std::string text) const;
    void ParseFile() const; // the file as it is now (empty when missing)
    // Brings the parsed lines up to date with the file (cheap when unchanged).
    void Refresh() const;
    TFileStamp StampOf() const;
    const TLine* FindKey(std::string_view section, std::string_view key) const;
    int FindSection(std::string_view section) const;
    void Store(std::string_view section, std::string_view key, std::string value);
    [[noreturn]] void WriteFailed() const;

    std::string FFileName;
    bool FInMemory = false;
    mutable TFileStamp FStamp;
    mutable bool FLoaded = false;
    mutable std::string FText;
    mutable std::vector<TLine> FLines;
    mutable std::vector<TSection> FSections;
    mutable TFoldedTable FSectionIndex; // folded name -> FSections index
    // Section index and folded key -> first line holding the key.
    mutable TFoldedTable FKeyIndex;
};
