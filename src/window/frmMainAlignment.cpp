// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/frmMainAlignment.h"

#include <QGuiApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QtMath>

std::vector<QPixmap> DrawAlignmentImages() {
    // 16 by 14: the item is 16 high and the picture sits one pixel down.
    constexpr int W = 16, H = 14;
    static const int lengths[4] = {14, 9, 12, 7};
    // Drawn at the screen's pixel ratio, so that the bars stay sharp when scaled.
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    const qreal ratio = app ? app->devicePixelRatio() : 1.0;
    std::vector<QPixmap> images;
    for (int kind = 0; kind < 3; ++kind) {
        QImage image(qCeil(W * ratio), qCeil(H * ratio), QImage::Format_ARGB32);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter p(&image);
        for (int line = 0; line < 4; ++line) {
            const int len = lengths[line];
            const int x = kind == 0 ? 1 : kind == 1 ? (W - len) / 2 : W - 1 - len;
            p.fillRect(x, 1 + line * 3, len, 2, QColor(0, 0, 128));
        }
        p.end();
        images.push_back(QPixmap::fromImage(image));
    }
    return images;
}

void DrawAlignmentItem(QPainter& painter, const QRect& rect, int index, const QString& text,
                       const std::vector<QPixmap>& images, const QPalette& palette, bool enabled,
                       bool selected) {
    const QPalette::ColorGroup group = enabled ? QPalette::Normal : QPalette::Disabled;
    painter.fillRect(rect, palette.brush(group, selected ? QPalette::Highlight : QPalette::Base));
    int textLeft = rect.left() + 2;
    if (index >= 0 && index < static_cast<int>(images.size())) {
        const QPixmap& image = images[static_cast<size_t>(index)];
        if (enabled) {
            painter.drawPixmap(rect.left() + 1, rect.top() + 1, image);
        } else {
            // Greyed like the list: the picture's shape in the disabled text colour.
            QPixmap grey(image.size());
            grey.setDevicePixelRatio(image.devicePixelRatio());
            grey.fill(Qt::transparent);
            QPainter g(&grey);
            g.drawPixmap(0, 0, image);
            g.setCompositionMode(QPainter::CompositionMode_SourceIn);
            g.fillRect(grey.rect(), palette.color(QPalette::Disabled, QPalette::Text));
            g.end();
            painter.drawPixmap(rect.left() + 1, rect.top() + 1, grey);
        }
        textLeft = rect.left() + qRound(image.deviceIndependentSize().width()) + 4;
    }
    painter.setPen(palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    const QRect textRect(textLeft, rect.top() + 2, rect.right() - textLeft, rect.height() - 2);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
}

void TAlignmentDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    painter->save();
    DrawAlignmentItem(*painter, option.rect, index.row(), index.data(Qt::DisplayRole).toString(),
                      *FImages, option.palette, option.state.testFlag(QStyle::State_Enabled),
                      option.state.testFlag(QStyle::State_Selected));
    painter->restore();
}

QSize TAlignmentDelegate::sizeHint(const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(TAlignmentComboBox::ItemHeight);
    return size;
}

TAlignmentComboBox::TAlignmentComboBox(const std::vector<QPixmap>* images, QWidget* parent)
    : QComboBox(parent), FImages(images) {
    setItemDelegate(new TAlignmentDelegate(images, this));
}

void TAlignmentComboBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText.clear();
    option.currentIcon = QIcon();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    DrawAlignmentItem(painter, field, currentIndex(), currentText(), *FImages, palette(),
                      isEnabled(), false);
}
