// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/RadioGroup.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

TRadioGroup::TRadioGroup(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent), FGroup(new QButtonGroup(this)), FLayout(new QVBoxLayout(this)) {
    FLayout->setContentsMargins(8, 4, 8, 4);
    FLayout->setSpacing(2);
    FLayout->addStretch(1);
    connect(FGroup, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked) emit ItemIndexChanged(id);
    });
}

void TRadioGroup::Clear() {
    for (QRadioButton* b : FButtons) {
        FGroup->removeButton(b);
        delete b;
    }
    FButtons.clear();
}

void TRadioGroup::AddItem(const QString& caption) {
    auto* b = new QRadioButton(caption, this);
    b->setObjectName(objectName() + QString::number(FButtons.size()));
    FGroup->addButton(b, static_cast<int>(FButtons.size()));
    FLayout->insertWidget(static_cast<int>(FButtons.size()), b);
    FButtons.push_back(b);
}

QString TRadioGroup::Item(int index) const {
    QRadioButton* b = Button(index);
    return b ? b->text() : QString();
}

QRadioButton* TRadioGroup::Button(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return FButtons[static_cast<size_t>(index)];
}

int TRadioGroup::ItemIndex() const {
    return FGroup->checkedId();
}

void TRadioGroup::SetItemIndex(int index) {
    if (index > Count() - 1) index = Count() - 1;
    if (index < -1) index = -1;
    if (index == -1) {
        // An exclusive group refuses to uncheck its last checked button.
        FGroup->setExclusive(false);
        for (QRadioButton* b : FButtons)
            b->setChecked(false);
        FGroup->setExclusive(true);
        return;
    }
    Button(index)->setChecked(true);
}
