// SPDX-License-Identifier: GPL-3.0-or-later
// The program's pictures, drawn at start-up so that no image files need shipping.
#pragma once

#include <QPixmap>

// 16 x 16 images of the progress rows and the menus: 0 in progress, 1 finished,
// 2 error, 3 exit, 4 execute, 5 home page, 6 e-mail.
QPixmap DrawProgressImage(int index);
// Header picture (138 x 59) and the header icon (48 x 48, transparent).
QPixmap DrawHeaderBackground();
QPixmap DrawHeaderIcon();
// The about box's picture (95 x 210).
QPixmap DrawAboutLogo();
