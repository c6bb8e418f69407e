// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/Wildcard.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

struct TUpperRun {
    char32_t First;
    char32_t Last;
    uint8_t Stride; // 2 for alternating upper/lower pairs
    int32_t Delta;
};

constexpr TUpperRun UpperRuns[] = {
#include "util/UnicodeUpper.inc"
};

} // namespace

char32_t FoldCodePoint(char32_t c) {
    if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 0x20 : c;
    auto it = std::upper_bound(std::begin(UpperRuns), std::end(UpperRuns), c,
                               [](char32_t v, const TUpperRun& r) { return v < r.First; });
    if (it == std::begin(UpperRuns)) return c;
    const TUpperRun& run = *std::prev(it);
    if (c > run.Last || (c - run.First) % run.Stride != 0) return c;
    return static_cast<char32_t>(static_cast<int32_t>(c) + run.Delta);
}

std::u32string FoldCodePoints(std::string_view utf8) {
    std::u32string out = DecodeUtf8(utf8);
    for (char32_t& c : out)
        c = FoldCodePoint(c);
    return out;
}

std::string FoldCase(std::string_view utf8) {
    return EncodeUtf8(FoldCodePoints(utf8));
}

int CompareFolded(std::string_view a, std::string_view b) {
    size_t pa = 0, pb = 0;
    while (pa < a.size() && pb < b.size()) {
        char32_t ca = FoldCodePoint(DecodeUtf8Next(a, pa));
        char32_t cb = FoldCodePoint(DecodeUtf8Next(b, pb));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (pa < a.size()) return 1;
    if (pb < b.size()) return -1;
    int raw = a.compare(b); // std::char_traits<char> compares as unsigned char
    return raw < 0 ? -1 : raw > 0 ? 1 : 0;
}

bool SameTextFolded(std::string_view a, std::string_view b) {
    size_t pa = 0, pb = 0;
    while (pa < a.size() && pb < b.size())
        if (FoldCodePoint(DecodeUtf8Next(a, pa)) != FoldCodePoint(DecodeUtf8Next(b, pb)))
            return false;
    return pa == a.size() && pb == b.size();
}

namespace {

bool SegmentMatchesAt(std::u32string_view segment, std::u32string_view text, size_t at) {
    for (size_t k = 0; k < segment.size(); ++k)
        if (segment[k] != U'?' && segment[k] != text[at + k]) return false;
    return true;
}

} // namespace

size_t FindWildcardSegment(std::u32string_view segment, std::u32string_view text) {
    if (segment.empty() || segment.size() > text.size()) return 0;
    for (size_t at = 0; at + segment.size() <= text.size(); ++at)
        if (SegmentMatchesAt(segment, text, at)) return at + 1;
    return 0;
}

size_t FindWildcardSegment(std::string_view segment, std::string_view text) {
    return FindWildcardSegment(DecodeUtf8(segment), DecodeUtf8(text));
}

bool MatchWildcard(std::string_view name, std::string_view mask, bool ignoreCase) {
    if (mask == name) return true;

    std::u32string m = DecodeUtf8(mask);
    // Runs of stars mean one star; afterwards no two stars are adjacent, so every
    // segment between stars is non-empty.
    m.erase(std::unique(m.begin(), m.end(),
                        [](char32_t x, char32_t y) { return x == U'*' && y == U'*'; }),
            m.end());
    if (m == U"*" || m == U"*.*") return true;

    std::u32string n = DecodeUtf8(name);
    if (ignoreCase) {
        for (char32_t& c : n)
            c = FoldCodePoint(c);
        for (char32_t& c : m)
            c = FoldCodePoint(c);
    }
    if (n.empty() || m.empty()) return false;

    // Up to the first star the mask and the name go character by character.
    size_t i = 0, j = 0;
    for (; j < m.size() && m[j] != U'*'; ++i, ++j) {
        if (i >= n.size()) return false; // name used up while mask characters remain
        if (m[j] != U'?' && m[j] != n[i]) return false;
    }
    if (j == m.size()) return i == n.size();

    // m[j] is a star: each following segment is searched leftmost in what is
    // left of the name; the last one must end the name.
    while (true) {
        ++j;
        size_t end = m.find(U'*', j);
        std::u32string_view segment = std::u32string_view(m).substr(
            j, end == std::u32string::npos ? std::u32string::npos : end - j);
        std::u32string_view rest = std::u32string_view(n).substr(i);
        if (end == std::u32string::npos) {
            if (segment.empty()) return true;
            if (rest.size() < segment.size()) return false;
            return SegmentMatchesAt(segment, rest, rest.size() - segment.size());
        }
        size_t found = FindWildcardSegment(segment, rest);
        if (found == 0) return false;
        i += found - 1 + segment.size();
        j = end;
    }
}
