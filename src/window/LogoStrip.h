// SPDX-License-Identifier: GPL-3.0-or-later
// The painted strip at the window's left edge: colour bands and the product name.
#pragma once

#include <QWidget>

class TLogoStrip : public QWidget {
    Q_OBJECT
public:
    explicit TLogoStrip(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
