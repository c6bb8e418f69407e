// SPDX-License-Identifier: GPL-3.0-or-later
// The watermark's horizontal-position list: an owner-drawn drop-down whose
// items show a small picture of left, centred or right alignment before their text.
#pragma once

#include <QComboBox>
#include <QPixmap>
#include <QStyledItemDelegate>

#include <vector>

// The three pictures (left, center, right), drawn here: four text-like bars
// of different lengths set against one side or centred.
std::vector<QPixmap> DrawAlignmentImages();

// Paints one item as the window wants it: the combo box's background, picture
// number index at (left + 1, top + 1) when the index has a picture (greyed
// when the list is disabled), then the text at (left + picture width + 4, top + 2).
void DrawAlignmentItem(QPainter& painter, const QRect& rect, int index, const QString& text,
                       const std::vector<QPixmap>& images, const QPalette& palette, bool enabled,
                       bool selected);

class TAlignmentDelegate : public QStyledItemDelegate {
public:
    TAlignmentDelegate(const std::vector<QPixmap>* images, QObject* parent)
        : QStyledItemDelegate(parent), FImages(images) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    const std::vector<QPixmap>* FImages;
};

// The drop-down itself: its closed face is drawn the same way as its items.
class TAlignmentComboBox : public QComboBox {
public:
    static constexpr int ItemHeight = 16;
    TAlignmentComboBox(const std::vector<QPixmap>* images, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const std::vector<QPixmap>* FImages;
};
