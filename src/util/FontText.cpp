// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/FontText.h"

#include "base/StrUtils.h"

std::string FontToString(const TFontDescription& font, int32_t extra) {
    return font.Name +
           Format(",%d,%d,%d,%d,%d", font.Charset, font.Color, font.Size, font.Style, extra);
}

namespace {

// Blanks and control characters at both ends go.
std::string_view TrimField(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

} // namespace

void StringToFont(std::string_view text, TFontDescription& font, int32_t& extra) {
    std::string_view rest = text;
    for (int field = 1; field <= 6; ++field) {
        std::string_view value;
        size_t comma = rest.find(',');
        if (field < 6) {
            if (comma == std::string_view::npos) return;
            value = rest.substr(0, comma);
            rest.remove_prefix(comma + 1);
        } else {
            value = rest.substr(0, comma);
        }
        value = TrimField(value);
        if (value.empty()) continue;
        if (field == 1) {
            font.Name = std::string(value);
            continue;
        }
        int32_t n = 0;
        if (!TryIniStrToInt(value, n)) continue;
        switch (field) {
        case 2:
            if (n < 0 || n > 255) return;
            font.Charset = n;
            break;
        case 3:
            font.Color = n;
            break;
        case 4:
            font.Size = n;
            break;
        case 5:
            if (n & ~fsAllStyles) return;
            font.Style = n;
            break;
        default:
            extra = n;
            break;
        }
    }
}
