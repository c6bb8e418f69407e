// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/Artwork.h"

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QtMath>

namespace {

// A picture of w by h in the layout, with as many pixels as the screen shows
// there: drawn at the screen's pixel ratio it stays sharp on a high-density screen.
QPixmap Sheet(int w, int h) {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    const qreal ratio = app ? app->devicePixelRatio() : 1.0;
    QPixmap pm(QSize(qCeil(w * ratio), qCeil(h * ratio)));
    pm.setDevicePixelRatio(ratio);
    return pm;
}

QPixmap Blank(int w, int h) {
    QPixmap pm = Sheet(w, h);
    pm.fill(Qt::transparent);
    return pm;
}

void Disc(QPainter& p, const QColor& fill) {
    p.setPen(QPen(fill.darker(150), 1));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
}

} // namespace

QPixmap DrawProgressImage(int index) {
    QPixmap pm = Blank(16, 16);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
    case 0: { // in progress: a blue disc with a clock hand
        Disc(p, QColor(58, 120, 216));
        p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 8), QPointF(8, 4));
        p.drawLine(QPointF(8, 8), QPointF(11, 9.5));
        break;
    }
    case 1: { // finished: a green disc with a tick
        Disc(p, QColor(46, 160, 67));
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(4.5, 8.5), QPointF(7, 11), QPointF(11.5, 5.5)}));
        break;
    }
    case 2: { // error: a red disc with a cross
        Disc(p, QColor(207, 34, 46));
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
        p.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
        break;
    }
    case 3: { // exit: an open door with an arrow
        p.setPen(QPen(QColor(90, 60, 30), 1));
        p.setBrush(QColor(196, 140, 80));
        p.drawRect(QRectF(2.5, 1.5, 7, 13));
        p.setPen(QPen(QColor(180, 30, 30), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(7, 8), QPointF(14, 8));
        p.drawPolyline(QPolygonF({QPointF(11.5, 5.5), QPointF(14, 8), QPointF(11.5, 10.5)}));
        break;
    }
    case 4: { // execute: a green play triangle
        p.setPen(QPen(QColor(20, 100, 30), 1));
        p.setBrush(QColor(60, 180, 75));
        p.drawPolygon(QPolygonF({QPointF(3.5, 2), QPointF(13.5, 8), QPointF(3.5, 14)}));
        break;
    }
    case 5: { // home page: a house
        p.setPen(QPen(QColor(40, 60, 120), 1));
        p.setBrush(QColor(230, 230, 240));
        p.drawRect(QRectF(3.5, 7.5, 9, 7));
        p.setBrush(QColor(200, 50, 40));
        p.drawPolygon(QPolygonF({QPointF(1.5, 8), QPointF(8, 1.5), QPointF(14.5, 8)}));
        p.setBrush(QColor(40, 60, 120));
        p.drawRect(QRectF(7, 10.5, 2.5, 4));
        break;
    }
    case 6: { // e-mail: an envelope
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(250, 240, 200));
        p.drawRect(QRectF(1.5, 3.5, 13, 9));
        p.drawPolyline(QPolygonF({QPointF(1.5, 3.5), QPointF(8, 9), QPointF(14.5, 3.5)}));
        break;
    }
    case 7: { // skipped: a grey disc with a forward arrow past a bar
        Disc(p, QColor(128, 134, 140));
        p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(4, 8), QPointF(10, 8));
        p.drawPolyline(QPolygonF({QPointF(7.5, 5.5), QPointF(10, 8), QPointF(7.5, 10.5)}));
        p.drawLine(QPointF(12, 4.5), QPointF(12, 11.5));
        break;
    }
    default:
        break;
    }
    return pm;
}

QPixmap DrawHeaderBackground() {
    QPixmap pm = Sheet(138, 59);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Soft overlapping circles fading in from the white header.
    QLinearGradient fade(0, 0, 138, 0);
    fade.setColorAt(0, QColor(254, 178, 178, 0));
    fade.setColorAt(1, QColor(254, 150, 150, 160));
    p.setPen(Qt::NoPen);
    p.setBrush(fade);
    p.drawEllipse(QPointF(110, 10), 45, 45);
    p.setBrush(QColor(254, 116, 116, 60));
    p.drawEllipse(QPointF(130, 55), 30, 30);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(QPointF(80, 45), 22, 22);
    return pm;
}

QPixmap DrawHeaderIcon() {
    QPixmap pm = Blank(48, 48);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Two picture frames with an arrow between them: one image turned into another.
    auto frame = [&p](QRectF r, QColor sky) {
        p.setPen(QPen(QColor(70, 70, 70), 1));
        p.setBrush(Qt::white);
        p.drawRect(r);
        QRectF in = r.adjusted(2, 2, -2, -2);
        p.setPen(Qt::NoPen);
        p.setBrush(sky);
        p.drawRect(in);
        p.setBrush(QColor(60, 150, 60));
        p.drawPolygon(QPolygonF(
            {in.bottomLeft(), QPointF(in.left() + in.width() * 0.45, in.top() + in.height() * 0.4),
             in.bottomRight()}));
        p.setBrush(QColor(255, 210, 40));
        p.drawEllipse(QPointF(in.right() - 4, in.top() + 4), 2.5, 2.5);
    };
    frame(QRectF(1.5, 1.5, 24, 20), QColor(150, 200, 250));
    frame(QRectF(22.5, 26.5, 24, 20), QColor(250, 170, 150));
    p.setPen(QPen(QColor(200, 40, 40), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(10, 26), QPointF(10, 37));
    p.drawLine(QPointF(10, 37), QPointF(18, 37));
    p.drawPolyline(QPolygonF({QPointF(15, 33.5), QPointF(18.5, 37), QPointF(15, 40.5)}));
    return pm;
}

QPixmap DrawAboutLogo() {
    QPixmap pm = Sheet(95, 210);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 0, 210);
    g.setColorAt(0, QColor(254, 116, 116));
    g.setColorAt(1, QColor(254, 178, 178));
    p.fillRect(pm.rect(), g);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(47.5, 105);
    p.rotate(-12);
    p.setPen(QPen(QColor(70, 70, 70), 1.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(-32, -40, 64, 52));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 200, 250));
    p.drawRect(QRectF(-28, -36, 56, 44));
    p.setBrush(QColor(60, 150, 60));
    p.drawPolygon(QPolygonF(
        {QPointF(-28, 8), QPointF(-6, -18), QPointF(12, 0), QPointF(28, -10), QPointF(28, 8)}));
    p.setBrush(QColor(255, 210, 40));
    p.drawEllipse(QPointF(18, -26), 5, 5);
    p.resetTransform();
    p.setPen(QPen(QColor(255, 255, 255, 200), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(15, 140, 65, 40), 200 * 16, 140 * 16);
    return pm;
}
