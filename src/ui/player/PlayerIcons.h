// The icons of the player's buttons, drawn in code at 32 x 32:
// 140 play (a triangle pointing right), 141 stop (a filled upright bar),
// 142 pause (two upright bars), 143 previous track (a triangle pointing
// left), 144 next track (a triangle pointing right).
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vindral::ui {

enum PlayerIconId : int {
    kIconPlay = 140,
    kIconStop = 141,
    kIconPause = 142,
    kIconPrevious = 143,
    kIconNext = 144,
};

constexpr int kPlayerIconSize = 32;

// A 32 x 32 picture with a transparent background; a null pixmap for any
// other identifier. `enabled` false gives the grey picture of a disabled button.
QPixmap PlayerIconPixmap(int id, bool enabled = true);
// Both pictures in one icon (normal and disabled modes).
QIcon PlayerButtonIcon(int id);

} // namespace vindral::ui
