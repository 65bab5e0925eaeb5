#include "ui/common/Pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace vindral::ui {

namespace {

QPixmap Blank(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

} // namespace

QPixmap AudioTrackPicture() {
    // Two beamed eighth notes.
    QPixmap pixmap = Blank(16, 16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink(0, 0, 128);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QRectF(1.5, 10.5, 5, 4));
    p.drawEllipse(QRectF(9.5, 9, 5, 4));
    p.setPen(QPen(ink, 1.4));
    p.drawLine(QPointF(6, 12), QPointF(6, 2.5));
    p.drawLine(QPointF(14, 10.5), QPointF(14, 1));
    p.setPen(QPen(ink, 2.2));
    p.drawLine(QPointF(6, 3), QPointF(14, 1.5));
    return pixmap;
}

QPixmap DataTrackPicture() {
    // A page with a folded corner and lines of text.
    QPixmap pixmap = Blank(16, 16);
    QPainter p(&pixmap);
    QPainterPath page;
    page.moveTo(2.5, 0.5);
    page.lineTo(10.5, 0.5);
    page.lineTo(13.5, 3.5);
    page.lineTo(13.5, 15.5);
    page.lineTo(2.5, 15.5);
    page.closeSubpath();
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(QColor(250, 250, 240));
    p.drawPath(page);
    p.drawLine(QPointF(10.5, 0.5), QPointF(10.5, 3.5));
    p.drawLine(QPointF(10.5, 3.5), QPointF(13.5, 3.5));
    p.setPen(QPen(QColor(128, 0, 0), 1));
    for (int y = 6; y <= 13; y += 2) {
        p.drawLine(4, y, y == 13 ? 8 : 11, y);
    }
    return pixmap;
}

QPixmap FolderPicture() {
    QPixmap pixmap = Blank(16, 12);
    QPainter p(&pixmap);
    p.setPen(QPen(QColor(96, 72, 0), 1));
    p.setBrush(QColor(240, 200, 80));
    p.drawRect(QRectF(0.5, 2.5, 14, 9));
    p.drawRect(QRectF(0.5, 0.5, 6, 2));
    p.setBrush(QColor(255, 228, 128));
    p.drawRect(QRectF(0.5, 4.5, 14, 7));
    return pixmap;
}

QIcon BundledApplicationIcon() {
    QIcon icon;
    for (const int size : kApplicationIconSizes) {
        icon.addFile(QStringLiteral(":/icons/hicolor/%1x%1/apps/org.vindral.Vindral.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}

QIcon ApplicationIcon() {
    return QIcon::fromTheme(QStringLiteral("org.vindral.Vindral"), BundledApplicationIcon());
}

QPixmap ApplicationPicture(int size) { return ApplicationIcon().pixmap(size, size); }

} // namespace vindral::ui
