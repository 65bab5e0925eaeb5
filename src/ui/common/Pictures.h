// The program's pictures, drawn in code: the application icon, the track
// list's audio and data images, and the folder button.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace vindral::ui {

QPixmap AudioTrackPicture(); // 16 x 16, image 0 of the track list
QPixmap DataTrackPicture();  // 16 x 16, image 1
QPixmap FolderPicture();     // the picture of the folder button
QPixmap DiscPicture(int size); // the application's picture, a disc
QIcon ApplicationIcon();

} // namespace vindral::ui
