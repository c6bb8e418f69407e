// SPDX-License-Identifier: GPL-3.0-or-later
// A captioned group of radio buttons with one selected index, filled at run time.
#pragma once

#include <QGroupBox>
#include <QString>
#include <QStringList>

#include <vector>

class QButtonGroup;
class QRadioButton;
class QVBoxLayout;

class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit TRadioGroup(const QString& caption, QWidget* parent = nullptr);

    void Clear();
    void AddItem(const QString& caption);
    int Count() const { return static_cast<int>(FButtons.size()); }
    QString Item(int index) const;
    QRadioButton* Button(int index) const;

    // -1 means no selection.
    int ItemIndex() const;
    // An index past the last entry selects the last one, one below -1 means none,
    // so a stray value from the settings file never leaves an invalid index behind.
    void SetItemIndex(int index);

signals:
    void ItemIndexChanged(int index);

private:
    QButtonGroup* FGroup;
    QVBoxLayout* FLayout;
    std::vector<QRadioButton*> FButtons;
};
