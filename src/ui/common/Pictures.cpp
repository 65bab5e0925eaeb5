#include "ui/common/Pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

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

QPixmap DiscPicture(int size) {
    QPixmap pixmap = Blank(size, size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF outer(0.5, 0.5, size - 1.0, size - 1.0);
    QRadialGradient shine(outer.center(), size / 2.0, QPointF(size * 0.3, size * 0.3));
    shine.setColorAt(0.0, QColor(250, 250, 255));
    shine.setColorAt(0.5, QColor(190, 200, 225));
    shine.setColorAt(0.8, QColor(215, 190, 230));
    shine.setColorAt(1.0, QColor(160, 170, 200));
    p.setPen(QPen(QColor(80, 80, 110), std::max(1.0, size / 32.0)));
    p.setBrush(shine);
    p.drawEllipse(outer);
    const double hub = size * 0.3;
    p.setBrush(QColor(235, 235, 240));
    p.drawEllipse(outer.center(), hub / 2, hub / 2);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setBrush(Qt::black);
    p.setPen(Qt::NoPen);
    p.drawEllipse(outer.center(), size * 0.07, size * 0.07);
    return pixmap;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        icon.addPixmap(DiscPicture(size));
    }
    return icon;
}

} // namespace vindral::ui
