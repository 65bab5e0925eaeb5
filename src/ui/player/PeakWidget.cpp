#include "ui/player/PeakWidget.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <cstring>

#include "extract/RunProtocol.h"

namespace vindral::ui {

PeakWidget::PeakWidget(const PeakDisplay& display, const PlayerState& state, QWidget* parent)
    : QWidget(parent), display_(display), state_(state) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    AreaChanged();
}

QSize PeakWidget::sizeHint() const {
    return QSize(image_.width() + 2 * kOutline, image_.height() + 2 * kOutline);
}

void PeakWidget::AreaChanged() {
    const PeakPicture& picture = display_.Picture();
    image_ = QImage(picture.Width(), picture.Height(), QImage::Format_BGR888);
    setFixedSize(sizeHint());
    PictureChanged();
}

void PeakWidget::PictureChanged() {
    const PeakPicture& picture = display_.Picture();
    if (image_.width() != picture.Width() || image_.height() != picture.Height()) {
        AreaChanged();
        return;
    }
    // The picture's rows are stored bottom-up, three bytes a pixel in the
    // same order as the image's.
    const std::size_t rowBytes = static_cast<std::size_t>(picture.Width()) * 3;
    for (int y = 0; y < picture.Height(); ++y) {
        if (rowBytes > 0) {
            std::memcpy(image_.scanLine(y), picture.Bits() + picture.Offset(0, y), rowBytes);
        }
    }
    update();
}

void PeakWidget::CopyColumn(int x) {
    const PeakPicture& picture = display_.Picture();
    for (int y = 0; y < picture.Height(); ++y) {
        std::memcpy(image_.scanLine(y) + 3 * x, picture.Bits() + picture.Offset(x, y), 3);
    }
}

void PeakWidget::ColumnChanged(int column) {
    if (column < 0 || column >= image_.width() || column >= display_.Picture().Width()) {
        return;
    }
    CopyColumn(column);
    update(QRect(kOutline + column, kOutline, 1, image_.height()));
}

QRect PeakWidget::MarkerRect(int column) const {
    return QRect(kOutline + column, kOutline, 3, image_.height());
}

void PeakWidget::MarkerChanged() {
    if (shownMarker_ >= 0) {
        update(MarkerRect(shownMarker_));
    }
    if (state_.ready) {
        update(MarkerRect(state_.markerColumn));
    }
}

void PeakWidget::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setClipRegion(event->region());
    const int w = image_.width();
    const int h = image_.height();
    // The outline, one pixel outside the picture on every side.
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawRect(0, 0, w + 2, 1);
    painter.drawRect(0, h + 1, w + 2, 1);
    painter.drawRect(0, 0, 1, h + 2);
    painter.drawRect(w + 1, 0, 1, h + 2);
    painter.drawImage(kOutline, kOutline, image_);

    shownMarker_ = -1;
    if (state_.ready && state_.markerColumn >= 0 && state_.markerColumn < w) {
        painter.setClipRect(QRect(kOutline, kOutline, w, h), Qt::IntersectClip);
        const int x = kOutline + state_.markerColumn;
        painter.fillRect(QRect(x, kOutline, 2, h), Qt::white);
        painter.fillRect(QRect(x + 2, kOutline, 1, h), Qt::black);
        shownMarker_ = state_.markerColumn;
    }
}

void PeakWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPoint p = event->position().toPoint();
        emit pictureClicked(p.x() - kOutline, p.y() - kOutline);
    }
    QWidget::mousePressEvent(event);
}

PeakPlayerView::PeakPlayerView(PeakWidget& widget, Callbacks callbacks)
    : widget_(widget), callbacks_(std::move(callbacks)) {}

void PeakPlayerView::PaintDisplay(const PlayerState& state) {
    widget_.update();
    if (state.ready && callbacks_.showPosition) {
        callbacks_.showPosition(PositionText(state.position));
    }
}

void PeakPlayerView::DrawMarker(const PlayerState& state) {
    widget_.MarkerChanged();
    if (callbacks_.showPosition) {
        callbacks_.showPosition(PositionText(state.position));
    }
}

void PeakPlayerView::TrackPictureRendered(int32_t) { widget_.PictureChanged(); }

void PeakPlayerView::ScrollLogTo(int32_t line) {
    if (callbacks_.scrollLogTo) {
        callbacks_.scrollLogTo(line);
    }
}

void PeakPlayerView::ShowTrack(int32_t track, int32_t count) {
    if (callbacks_.showTrack) {
        callbacks_.showTrack(TrackCaptionText(track, count), TrackNumberText(track));
    }
}

} // namespace vindral::ui
