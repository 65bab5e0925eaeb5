// The peak display widget, the player's button icons and the Qt audio output
// without a sound server.
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <cstdlib>

#include "platform/media/MediaInterpreter.h"
#include "ui/player/PeakWidget.h"
#include "ui/player/PlayerIcons.h"
#include "ui/player/QtAudioOutput.h"

namespace vindral::ui {
namespace {

const QColor kBlackColour(0, 0, 0);
const QColor kWhiteColour(255, 255, 255);
const QColor kGreyColour(192, 192, 192);

QColor At(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }

class PeakWidgetTest : public QObject {
    Q_OBJECT

private:
    // 20 x 12: centre rows 3 (left) and 9 (right).
    void Make() {
        display = PeakDisplay();
        display.Initialise(PeakArea{30, 60, 20, 12});
        table = PeakTable();
        state = PlayerState();
    }

    PeakDisplay display;
    PeakTable table;
    PlayerState state;

private slots:
    void init() { Make(); }

    void isThePictureSizePlusTheOutline() {
        PeakWidget widget(display, state);
        QCOMPARE(widget.size(), QSize(22, 14));
    }

    void showsThePictureUnscaledInsideABlackOutline() {
        table.At(0)->leftMax = 127; // up (12 * 127 / 254) >> 1 = 3: rows 1 ... 3
        QCOMPARE(display.DrawBlockColumn(0, 80, 320, table), 5);
        PeakWidget widget(display, state);
        const QImage shot = widget.grab().toImage();
        for (int x = 0; x < 22; ++x) {
            QCOMPARE(At(shot, x, 0), kBlackColour);
            QCOMPARE(At(shot, x, 13), kBlackColour);
        }
        for (int y = 0; y < 14; ++y) {
            QCOMPARE(At(shot, 0, y), kBlackColour);
            QCOMPARE(At(shot, 21, y), kBlackColour);
        }
        // Picture pixel (x, y) at widget pixel (x + 1, y + 1), top row on top.
        for (int y = 0; y < 12; ++y) {
            for (int x = 0; x < 20; ++x) {
                const PeakColour c = display.Picture().Pixel(x, y);
                QCOMPARE(At(shot, x + 1, y + 1), QColor(c.red, c.green, c.blue));
            }
        }
        QCOMPARE(At(shot, 6, 2), kGreyColour);
        QCOMPARE(At(shot, 6, 4), kGreyColour);
        QCOMPARE(At(shot, 6, 10), kGreyColour); // the right channel's centre pixel
        QCOMPARE(At(shot, 6, 5), kBlackColour);
    }

    void showsAColumnOnlyOnceItIsReported() {
        PeakWidget widget(display, state);
        table.At(0)->leftErrors = 0;
        QCOMPARE(display.DrawBlockColumn(0, 16, 32, table), 10);
        QCOMPARE(At(widget.grab().toImage(), 11, 4), kBlackColour);
        widget.ColumnChanged(10);
        QCOMPARE(At(widget.grab().toImage(), 11, 4), QColor(0, 255, 0));
        widget.ColumnChanged(-1); // nothing drawn
        widget.ColumnChanged(20); // outside
    }

    void showsARebuiltPictureAfterPictureChanged() {
        PeakWidget widget(display, state);
        display.RenderTrackPicture(0, 320, table); // 20 blocks, one per column
        QCOMPARE(At(widget.grab().toImage(), 8, 4), kBlackColour);
        widget.PictureChanged();
        QCOMPARE(At(widget.grab().toImage(), 8, 4), kGreyColour);
    }

    void drawsNoMarkerBeforeThePlayerIsReady() {
        state.markerColumn = 5;
        PeakWidget widget(display, state);
        const QImage shot = widget.grab().toImage();
        for (int y = 1; y <= 12; ++y) {
            QCOMPARE(At(shot, 6, y), kBlackColour);
        }
    }

    void drawsTwoWhiteColumnsAndOneBlackOverTheWholeHeight() {
        table.At(0)->leftMax = 127;
        table.At(0)->rightMax = 127;
        for (int x = 0; x < 20; ++x) {
            display.DrawBlockColumn(0, 16 * x, 320, table);
        }
        state.ready = true;
        state.markerColumn = 5;
        PeakWidget widget(display, state);
        const QImage shot = widget.grab().toImage();
        for (int y = 1; y <= 12; ++y) {
            QCOMPARE(At(shot, 6, y), kWhiteColour);
            QCOMPARE(At(shot, 7, y), kWhiteColour);
            QCOMPARE(At(shot, 8, y), kBlackColour);
        }
        QCOMPARE(At(shot, 9, 3), kGreyColour); // the picture goes on beside it
        QCOMPARE(At(shot, 6, 0), kBlackColour); // outline untouched

        // The marker moves; the picture comes back where it was.
        state.markerColumn = 12;
        widget.MarkerChanged();
        const QImage moved = widget.grab().toImage();
        QCOMPARE(At(moved, 6, 3), kGreyColour);
        QCOMPARE(At(moved, 13, 3), kWhiteColour);
        // The marker never reaches the picture itself.
        QCOMPARE(display.Picture().Pixel(12, 3), (PeakColour{192, 192, 192}));
    }

    void clipsTheMarkerAtTheRightEdge() {
        state.ready = true;
        state.markerColumn = 19;
        PeakWidget widget(display, state);
        const QImage shot = widget.grab().toImage();
        QCOMPARE(At(shot, 20, 5), kWhiteColour);
        QCOMPARE(At(shot, 21, 5), kBlackColour); // the outline, not a marker column
    }

    void reportsPressesInPictureCoordinates() {
        PeakWidget widget(display, state);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QSignalSpy spy(&widget, &PeakWidget::pictureClicked);
        QTest::mouseClick(&widget, Qt::LeftButton, {}, QPoint(11, 6));
        QTest::mouseClick(&widget, Qt::RightButton, {}, QPoint(3, 3));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 10);
        QCOMPARE(spy.at(0).at(1).toInt(), 5);
    }

    void playerViewPassesTextsAndRepaints() {
        PeakWidget widget(display, state);
        std::vector<std::string> texts;
        int scrolled = -1;
        PeakPlayerView view(widget, {
            [&](const std::string& text) { texts.push_back(text); },
            [&](int32_t line) { scrolled = line; },
            [&](const std::string& caption, const std::string& number) {
                texts.push_back(caption + "|" + number);
            },
        });
        state.position = 83456;
        view.DrawMarker(state);
        view.ShowTrack(2, 5);
        view.ScrollLogTo(14);
        view.PaintDisplay(state); // not ready: no position text
        state.ready = true;
        state.position = 0;
        view.PaintDisplay(state);
        QCOMPARE(texts, (std::vector<std::string>{"01:23.4", "Track 3/5|03", "00:00.0"}));
        QCOMPARE(scrolled, 14);
    }
};

class PlayerIconsTest : public QObject {
    Q_OBJECT

private:
    static bool Dark(const QImage& image, int x, int y) {
        const QColor c = QColor::fromRgba(image.pixel(x, y));
        return c.alpha() == 255 && c.red() < 64;
    }
    static bool Clear(const QImage& image, int x, int y) {
        return QColor::fromRgba(image.pixel(x, y)).alpha() == 0;
    }
    static QImage Image(int id) { return PlayerIconPixmap(id).toImage(); }

private slots:
    void fiveIconsOf32Pixels() {
        for (int id = kIconPlay; id <= kIconNext; ++id) {
            QCOMPARE(PlayerIconPixmap(id).size(), QSize(32, 32));
            QVERIFY(!PlayerButtonIcon(id).isNull());
        }
        QVERIFY(PlayerIconPixmap(139).isNull());
        QVERIFY(PlayerIconPixmap(145).isNull());
        QVERIFY(PlayerButtonIcon(145).isNull());
    }

    void playPointsRight() {
        const QImage play = Image(kIconPlay);
        QVERIFY(Dark(play, 12, 16));
        QVERIFY(Dark(play, 22, 16)); // near the tip, on the centre line
        QVERIFY(Clear(play, 22, 8)); // the top right corner of its box is empty
        QVERIFY(Clear(play, 4, 16));
    }

    void stopIsOneFilledBarAndPauseTwo() {
        const QImage stop = Image(kIconStop);
        const QImage pause = Image(kIconPause);
        QVERIFY(Dark(stop, 16, 16));
        QVERIFY(Dark(stop, 12, 7));
        QVERIFY(Clear(stop, 16, 28));
        QVERIFY(Dark(pause, 10, 16));
        QVERIFY(Dark(pause, 21, 16));
        QVERIFY(Clear(pause, 16, 16)); // the gap between the bars
        // Both upright: taller than wide.
        QVERIFY(Dark(stop, 16, 24) && Clear(stop, 24, 16));
    }

    void nextPointsRightAndPreviousLeft() {
        const QImage next = Image(kIconNext);
        const QImage previous = Image(kIconPrevious);
        // Next: broad on the left, the tip on the right.
        QVERIFY(Dark(next, 12, 10));
        QVERIFY(Clear(next, 20, 10));
        QVERIFY(Dark(next, 20, 16));
        QVERIFY(Clear(next, 7, 16));
        // Previous: the same the other way round.
        QVERIFY(Dark(previous, 19, 10));
        QVERIFY(Clear(previous, 11, 10));
        QVERIFY(Dark(previous, 11, 16));
        QVERIFY(Clear(previous, 24, 16));
    }

    void disabledIconsAreGrey() {
        const QImage grey = PlayerIconPixmap(kIconStop, false).toImage();
        const QColor c = QColor::fromRgba(grey.pixel(16, 16));
        QCOMPARE(c.alpha(), 255);
        QVERIFY(c.red() > 64 && c.red() == c.green() && c.green() == c.blue());
    }
};

class QtAudioOutputTest : public QObject {
    Q_OBJECT

private slots:
    // The test runs with PULSE_SERVER naming a socket that does not exist.
    void refusesAtOnceWithoutASoundServer() {
        QElapsedTimer timer;
        timer.start();
        QtAudioOutput output;
        QVERIFY(!output.Open(44100, 16, 2));
        QVERIFY(!output.Start(nullptr));
        QCOMPARE(output.FramesPlayed(), uint64_t{0});
        output.Pause();
        output.Resume();
        output.Stop();
        // Generous: a refusal must not hang the window thread on a device.
        QVERIFY(timer.elapsed() < 10000);
    }

    void theFactoryFallsBackToTheSilentOutput() {
        const auto output = QtAudioOutput::FactoryWithFallback()();
        QVERIFY(output != nullptr);
        QVERIFY(dynamic_cast<platform::SilentAudioOutput*>(output.get()) != nullptr);
    }

    void refusesFormatsOtherThan16Bits() {
        QtAudioOutput output;
        QVERIFY(!output.Open(44100, 8, 2));
    }
};

} // namespace
} // namespace vindral::ui

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (std::getenv("PULSE_SERVER") == nullptr) {
        setenv("PULSE_SERVER", "unix:/nonexistent/vindral-test/native", 1);
    }
    QApplication app(argc, argv);
    int failed = 0;
    {
        vindral::ui::PeakWidgetTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        vindral::ui::PlayerIconsTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        vindral::ui::QtAudioOutputTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}

#include "PlayerUiTests.moc"
