#include "ui/player/PlayerIcons.h"

#include <QPainter>
#include <QPolygon>

namespace vindral::ui {

QPixmap PlayerIconPixmap(int id, bool enabled) {
    if (id < kIconPlay || id > kIconNext) {
        return QPixmap();
    }
    QPixmap pixmap(kPlayerIconSize, kPlayerIconSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    // Hard edges, so that every icon is the same on every machine.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(enabled ? QColor(0, 0, 0) : QColor(128, 128, 128));
    switch (id) {
    case kIconPlay:
        p.drawPolygon(QPolygon({QPoint(10, 6), QPoint(25, 16), QPoint(10, 26)}));
        break;
    case kIconStop:
        p.drawRect(11, 6, 10, 20);
        break;
    case kIconPause:
        p.drawRect(8, 6, 6, 20);
        p.drawRect(18, 6, 6, 20);
        break;
    case kIconNext:
        p.drawPolygon(QPolygon({QPoint(11, 8), QPoint(22, 16), QPoint(11, 24)}));
        break;
    case kIconPrevious:
        break; // mirrored from the next-track picture below
    default:
        break;
    }
    p.end();
    if (id == kIconPrevious) {
        // Exactly the next-track triangle, pointing the other way.
        return QPixmap::fromImage(
            PlayerIconPixmap(kIconNext, enabled).toImage().mirrored(true, false));
    }
    return pixmap;
}

QIcon PlayerButtonIcon(int id) {
    const QPixmap normal = PlayerIconPixmap(id, true);
    if (normal.isNull()) {
        return QIcon();
    }
    QIcon icon;
    icon.addPixmap(normal, QIcon::Normal);
    icon.addPixmap(PlayerIconPixmap(id, false), QIcon::Disabled);
    return icon;
}

} // namespace vindral::ui
