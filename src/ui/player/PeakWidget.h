// The peak display on the screen: the PeakDisplay's picture copied unscaled,
// the outline one pixel outside it, and the player's marker once the run has
// finished. The widget is two pixels wider and higher than the picture; the
// picture's origin is at (1, 1).
#pragma once

#include <QImage>
#include <QWidget>

#include <functional>
#include <string>

#include "extract/ExtractRun.h"
#include "player/PeakDisplay.h"
#include "player/Player.h"

namespace vindral::ui {

class PeakWidget : public QWidget {
    Q_OBJECT

public:
    // `display` and `state` outlive the widget.
    PeakWidget(const PeakDisplay& display, const PlayerState& state, QWidget* parent = nullptr);

    // Where the picture's origin lies inside the widget.
    static constexpr int kOutline = 1;

    // The display was (re)initialised: new size, whole picture.
    void AreaChanged();
    // The whole picture changed (start of a track, a rebuilt track).
    void PictureChanged();
    // One column changed, as PeakDisplay::DrawBlockColumn returns it; -1 is
    // ignored.
    void ColumnChanged(int column);
    // The marker or the ready flag changed: repaint the old and the new marker.
    void MarkerChanged();

    QSize sizeHint() const override;
    // The picture as it is shown, for tests.
    const QImage& ShownPicture() const { return image_; }

signals:
    // A left button press, in picture coordinates ((0, 0) its top-left pixel).
    void pictureClicked(int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void CopyColumn(int x);
    QRect MarkerRect(int column) const;

    const PeakDisplay& display_;
    const PlayerState& state_;
    QImage image_;
    int shownMarker_ = -1; // the marker column last painted, -1 none
};

// The player's screen side over a PeakWidget: repaints and markers go to the
// widget, the texts and the log to the dialog's callbacks.
class PeakPlayerView : public PlayerView {
public:
    struct Callbacks {
        std::function<void(const std::string&)> showPosition; // static 1036
        std::function<void(int32_t)> scrollLogTo;               // list 1017, top line
        std::function<void(const std::string& caption, const std::string& number)>
            showTrack; // group box 1031 and static 1042
    };

    PeakPlayerView(PeakWidget& widget, Callbacks callbacks);

    void PaintDisplay(const PlayerState& state) override;
    void DrawMarker(const PlayerState& state) override;
    void TrackPictureRendered(int32_t track) override;
    void ScrollLogTo(int32_t line) override;
    void ShowTrack(int32_t track, int32_t count) override;

private:
    PeakWidget& widget_;
    Callbacks callbacks_;
};

} // namespace vindral::ui
