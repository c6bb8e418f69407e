// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Watermark.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "toolkit/Bitmap.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

// Font sizes beyond this many points are taken as this: the text would not fit any picture.
constexpr int MaxPoints = 3000;

int NormalizedAngle(int degrees) {
    return ((degrees % 360) + 360) % 360;
}

TMetafileFont MetafileFontOf(const TWatermark& w) {
    TMetafileFont f;
    f.Face = w.Font.Name;
    const int points = w.Font.Size > 0 ? std::min(w.Font.Size, MaxPoints) : 8;
    f.EmHeight = std::max(1, static_cast<int>(std::lround(points * 96.0 / 72)));
    f.Weight = (w.Font.Style & fsBold) ? 700 : 400;
    f.Italic = (w.Font.Style & fsItalic) != 0;
    f.Underline = (w.Font.Style & fsUnderline) != 0;
    f.StrikeOut = (w.Font.Style & fsStrikeOut) != 0;
    f.Escapement = w.Rotate ? NormalizedAngle(w.Angle) * 10 : 0;
    return f;
}

TRect Intersect(const TRect& a, const TRect& b) {
    TRect r = Rect(std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
                   std::min(a.Bottom, b.Bottom));
    if (r.IsEmpty()) r = TRect{};
    return r;
}

int ClampToInt(double v) {
    return static_cast<int>(std::clamp(v, -1e9, 1e9));
}

} // namespace

bool WatermarkShown(const TWatermark& w) {
    return w.Enabled && !w.Text.empty();
}

namespace {
// A metafile's text record holds at most 32767 UTF-16 units; the same limit
// for every destination, so that no format draws what another refuses.
void CheckTextLength(const std::string& text) {
    size_t units = 0;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) ++units;
        if ((b & 0xF8) == 0xF0) ++units; // a pair of surrogates
    }
    if (units > 0x7FFF)
        throw EInvalidGraphicOperation("The watermark text is too long (at most 32767 characters)");
}
} // namespace

TWatermarkLayout LayOutWatermark(const TWatermark& w, int width, int height) {
    TWatermarkLayout l;
    l.Font = MetafileFontOf(w);
    l.Color = ColorToRGB(static_cast<TColor>(w.Font.Color)) & 0xFFFFFF;
    const TTextExtent e = MeasureMetafileText(l.Font, w.Text);
    // The cell's corners about the baseline's start, turned counter-clockwise
    // (y grows downwards).
    const double turn = l.Font.Escapement / 10.0 * std::numbers::pi / 180;
    const double ux = std::cos(turn), uy = -std::sin(turn), dx = -uy, dy = ux;
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    for (double along : {0.0, e.Advance})
        for (double down : {-e.Ascent, e.Descent}) {
            const double x = along * ux + down * dx, y = along * uy + down * dy;
            x0 = std::min(x0, x);
            y0 = std::min(y0, y);
            x1 = std::max(x1, x);
            y1 = std::max(y1, y);
        }
    const double margin = std::round(l.Font.EmHeight / 2.0);
    // Indexes outside the lists (a damaged settings file) read as left and top.
    auto start = [margin](int place, double room, double size) {
        if (place == 1) return std::floor((room - size) / 2);
        if (place == 2) return room - margin - size;
        return margin;
    };
    const double left = start(w.Alignment, width, x1 - x0);
    const double top = start(w.Position, height, y1 - y0);
    l.Origin = TPoint{ClampToInt(std::round(left - x0)), ClampToInt(std::round(top - y0))};
    l.Box = Rect(ClampToInt(std::floor(l.Origin.X + x0)), ClampToInt(std::floor(l.Origin.Y + y0)),
                 ClampToInt(std::ceil(l.Origin.X + x1)), ClampToInt(std::ceil(l.Origin.Y + y1)));
    const int pad = l.Font.EmHeight / 4 + 2;
    l.Reach =
        Intersect(Rect(l.Box.Left - pad, l.Box.Top - pad, l.Box.Right + pad, l.Box.Bottom + pad),
                  Rect(0, 0, width, height));
    return l;
}

void DrawWatermark(TBitmap& picture, bool hasAlpha, const TWatermark& w) {
    if (!WatermarkShown(w)) return;
    const int bits = picture.BitsPerPixel();
    if (bits != 24 && bits != 32)
        throw EInvalidGraphicOperation("The watermark needs a 24- or 32-bit picture");
    if (hasAlpha && bits != 32) hasAlpha = false;
    CheckTextLength(w.Text);
    const TWatermarkLayout l = LayOutWatermark(w, picture.Width(), picture.Height());
    if (l.Reach.IsEmpty()) return;
    const TRect reach = l.Reach;

    // The text is played in white on black over the reach only: the mask's
    // level is the text's coverage of each pixel, antialiased as playback draws it.
    TMetafile text;
    {
        TMetafileCanvas canvas(text, "", "");
        text.SetWidth(reach.Width());
        text.SetHeight(reach.Height());
        canvas.TextOut(l.Font, clWhite, TPoint{l.Origin.X - reach.Left, l.Origin.Y - reach.Top},
                       w.Text);
        canvas.Close();
    }
    TBitmap mask;
    mask.SetPixelFormat(pf24bit);
    mask.SetSize(reach.Width(), reach.Height());
    mask.Canvas().BrushColor = clBlack;
    mask.Canvas().FillRect(Rect(0, 0, reach.Width(), reach.Height()));
    mask.Canvas().StretchDraw(Rect(0, 0, reach.Width(), reach.Height()), text);

    const int color[3] = {GetBValue(l.Color), GetGValue(l.Color), GetRValue(l.Color)};
    const int step = bits / 8;
    for (int y = 0; y < reach.Height(); ++y) {
        const uint8_t* m = mask.ScanLine(y);
        uint8_t* p = picture.ScanLine(reach.Top + y) + static_cast<size_t>(reach.Left) * step;
        for (int x = 0; x < reach.Width(); ++x, p += step) {
            const int c = m[3 * x + 1];
            if (c == 0) continue; // untouched pixels keep their exact bytes
            if (!hasAlpha) {
                for (int k = 0; k < 3; ++k)
                    p[k] = static_cast<uint8_t>((color[k] * c + p[k] * (255 - c) + 127) / 255);
                continue;
            }
            // Straight alpha: the text over the pixel, "over" in 0..255 units.
            const int a = p[3];
            const int under = a * (255 - c); // pixel's share, x 255
            const int out = c * 255 + under; // result alpha, x 255
            for (int k = 0; k < 3; ++k)
                p[k] = static_cast<uint8_t>((color[k] * c * 255 + p[k] * under + out / 2) / out);
            p[3] = static_cast<uint8_t>((out + 127) / 255);
        }
    }
}

void RecordWatermark(TMetafileCanvas& canvas, const TWatermark& w, int width, int height) {
    if (!WatermarkShown(w)) return;
    CheckTextLength(w.Text);
    const TWatermarkLayout l = LayOutWatermark(w, width, height);
    canvas.TextOut(l.Font, l.Color, l.Origin, w.Text);
}

// ---- The switches' values

namespace {

struct TStyleName {
    const char* Name;
    int Bit;
};
const TStyleName StyleNames[] = {
    {"bold", fsBold}, {"italic", fsItalic}, {"underline", fsUnderline}, {"strikeout", fsStrikeOut}};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string Trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

} // namespace

bool ParseWatermarkFont(const std::string& value, TFontDescription& font) {
    const std::vector<std::string> parts = Split(value, ',');
    if (parts.size() < 2 || parts.size() > 3) return false;
    const std::string face = Trimmed(parts[0]);
    int32_t size = 0;
    if (face.empty() || !TryStrToInt(Trimmed(parts[1]), size) || size < 1 || size > MaxPoints)
        return false;
    int style = 0;
    if (parts.size() == 3) {
        const std::string styles = AsciiLower(Trimmed(parts[2]));
        if (styles != "regular" && !styles.empty()) {
            for (const std::string& word : Split(styles, '+')) {
                const std::string name = Trimmed(word);
                int bit = 0;
                for (const TStyleName& s : StyleNames)
                    if (name == s.Name) bit = s.Bit;
                if (bit == 0) return false;
                style |= bit;
            }
        }
    }
    font.Name = face;
    font.Size = size;
    font.Style = style;
    return true;
}

std::string WatermarkFontText(const TFontDescription& font) {
    std::string text = font.Name;
    text.append(1, ',').append(std::to_string(font.Size));
    char separator = ',';
    for (const TStyleName& s : StyleNames)
        if (font.Style & s.Bit) {
            text.append(1, separator).append(s.Name);
            separator = '+';
        }
    return text;
}

namespace {
const char* const PlaceNames[9] = {"top-left", "top",         "top-right", "left",        "center",
                                   "right",    "bottom-left", "bottom",    "bottom-right"};
}

bool ParseWatermarkPlace(const std::string& value, int& alignment, int& position) {
    std::string wanted;
    for (char c : AsciiLower(value))
        if (c != '-' && c != ' ') wanted += c;
    if (wanted == "centre") wanted = "center";
    for (int i = 0; i < 9; ++i) {
        std::string name;
        for (const char* c = PlaceNames[i]; *c; ++c)
            if (*c != '-') name += *c;
        if (wanted == name || wanted == std::to_string(i + 1)) {
            alignment = i % 3;
            position = i / 3;
            return true;
        }
    }
    return false;
}

std::string WatermarkPlaceName(int alignment, int position) {
    alignment = alignment >= 0 && alignment < 3 ? alignment : 0;
    position = position >= 0 && position < 3 ? position : 0;
    return PlaceNames[position * 3 + alignment];
}

bool ParseWatermarkAngle(const std::string& value, int& degrees) {
    int32_t v = 0;
    if (!TryStrToInt(value, v) || v < -359 || v > 359) return false;
    degrees = NormalizedAngle(v);
    return true;
}
