// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/Anchors.h"

#include <QEvent>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace {

class TAnchorKeeper : public QObject {
public:
    TAnchorKeeper(QWidget* container, QSize design)
        : QObject(container), FContainer(container), FDesign(design) {
        setObjectName(QStringLiteral("qt_anchors"));
        container->installEventFilter(this);
    }

    void Add(QWidget* control, int anchors) {
        const auto same = [control](const TEntry& e) { return e.Control == control; };
        FEntries.erase(std::remove_if(FEntries.begin(), FEntries.end(), same), FEntries.end());
        FEntries.push_back({control, control->geometry(), anchors});
        Place(FEntries.back());
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == FContainer && event->type() == QEvent::Resize)
            for (const TEntry& e : FEntries)
                Place(e);
        return false;
    }

private:
    struct TEntry {
        QPointer<QWidget> Control;
        QRect Design;
        int Anchors;
    };

    void Place(const TEntry& e) const {
        if (!e.Control) return;
        // Smaller than designed is not laid out: the window's minimum size prevents it.
        const int dx = std::max(0, FContainer->width() - FDesign.width());
        const int dy = std::max(0, FContainer->height() - FDesign.height());
        QRect r = e.Design;
        if (e.Anchors & akMoveX) r.translate(dx, 0);
        if (e.Anchors & akMoveY) r.translate(0, dy);
        if (e.Anchors & akStretchX) r.setWidth(r.width() + dx);
        if (e.Anchors & akStretchY) r.setHeight(r.height() + dy);
        if (r != e.Control->geometry()) e.Control->setGeometry(r);
    }

    QWidget* FContainer;
    QSize FDesign;
    std::vector<TEntry> FEntries;
};

} // namespace

void Anchor(QWidget* control, int anchors, QSize design) {
    QWidget* container = control->parentWidget();
    if (!container) return;
    auto* keeper = container->findChild<TAnchorKeeper*>(QStringLiteral("qt_anchors"),
                                                        Qt::FindDirectChildrenOnly);
    if (!keeper) keeper = new TAnchorKeeper(container, design);
    keeper->Add(control, anchors);
}
