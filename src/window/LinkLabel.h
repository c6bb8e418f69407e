// SPDX-License-Identifier: GPL-3.0-or-later
// A label that behaves like a web link: blue, underlined, hand cursor, click signal.
#pragma once

#include <QLabel>

class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& caption, QWidget* parent = nullptr);
    int Tag = 0;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
