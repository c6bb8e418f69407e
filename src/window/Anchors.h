// SPDX-License-Identifier: GPL-3.0-or-later
// Anchors for the window's hand-placed controls: a container keeps each control
// where it was placed for the container's design size and, when the container
// grows, moves or stretches the controls anchored to its right or bottom edge.
#pragma once

#include <QSize>

class QWidget;

enum TAnchor {
    akStretchX = 1, // the right edge follows the container's
    akStretchY = 2, // the bottom edge follows the container's
    akMoveX = 4,    // the whole control moves with the right edge
    akMoveY = 8     // the whole control moves with the bottom edge
};

// Records the control's geometry now, for its parent at the design size. A
// second call for the same control replaces the first.
void Anchor(QWidget* control, int anchors, QSize design);
