// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/LogoStrip.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>

namespace {
// Integer multiply-divide, halves rounded away from zero.
int MulDivRound(int a, int b, int c) {
    long long n = static_cast<long long>(a) * b;
    long long q = (2 * (n < 0 ? -n : n) + c) / (2LL * c);
    return static_cast<int>(n < 0 ? -q : q);
}
} // namespace

TLogoStrip::TLogoStrip(QWidget* parent) : QWidget(parent) {
    QFont f(QStringLiteral("Arial"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(19);
    f.setFixedPitch(true);
    setFont(f);
}

void TLogoStrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width(), h = height();
    const int r0 = 254, g0 = 116, b0 = 116, r1 = 254, g1 = 178, b1 = 178;
    for (int k = 0; k <= 254; ++k) {
        int top = k * h / 256 - 1;
        int bottom = (k + 1) * h / 256;
        QColor c(r0 + MulDivRound(r1 - r0, k, 254), g0 + MulDivRound(g1 - g0, k, 254),
                 b0 + MulDivRound(b1 - b0, k, 254));
        p.fillRect(QRect(0, top, w, bottom - top), c);
    }
    int last = 255 * h / 256 - 1;
    p.fillRect(QRect(0, last, w, h - last), QColor(r1, g1, b1));

    // The name reads from bottom to top, starting at the strip's lower edge.
    QFontMetrics fm(font());
    int t = fm.height();
    p.setPen(QColor(128, 128, 128));
    p.translate(w / 2 - t / 2, h);
    p.rotate(-90);
    p.drawText(0, fm.ascent(), QStringLiteral(" TREVASCO"));
}
