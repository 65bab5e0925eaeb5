// The program's pictures: the application icon (the one installed with the
// program, in the icon theme, and a copy of it built into the program), and,
// drawn in code, the track list's audio and data images and the folder button.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vindral::ui {

QPixmap AudioTrackPicture(); // 16 x 16, image 0 of the track list
QPixmap DataTrackPicture();  // 16 x 16, image 1
QPixmap FolderPicture();     // the picture of the folder button
// The sizes of the icon theme's pictures built in (res/icons/hicolor).
inline constexpr int kApplicationIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
// The theme's org.vindral.Vindral where the desktop has it, else the copy
// built in.
QIcon ApplicationIcon();
QIcon BundledApplicationIcon();
QPixmap ApplicationPicture(int size); // the application's picture, size x size

} // namespace vindral::ui
