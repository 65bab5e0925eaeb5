// The extraction dialog after a verified rip of the demo disc: the peak
// picture, and the player driven through its buttons and a click.
#include <QGroupBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <atomic>

#include "drive/DriveSearch.h"
#include "drive/emulated/DemoDisc.h"
#include "extract/JobBuilder.h"
#include "platform/media/MediaInterpreter.h"
#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"
#include "ui/extract/ExtractDialog.h"
#include "ui/player/PeakWidget.h"
#include "UiTestSupport.h"

namespace vindral::ui {
namespace {

class PlayerDialogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> drives_;
    std::atomic<uint32_t> clock_{1000};

    QString Text(const QWidget& dialog, int id) { return Control<LinkLabel>(dialog, id)->text(); }
    void Press(const QWidget& dialog, int id) {
        QTest::mouseClick(Control<QPushButton>(dialog, id), Qt::LeftButton);
    }

    // Picture columns that show something; all must be of `colour`.
    static int ColumnsOf(const PeakDisplay& display, PeakColour colour, int& others) {
        const PeakPicture& picture = display.Picture();
        int drawn = 0;
        others = 0;
        for (int x = 0; x < picture.Width(); ++x) {
            bool any = false;
            for (int y = 0; y < picture.Height(); ++y) {
                const PeakColour pixel = picture.Pixel(x, y);
                if (pixel == kBlack) {
                    continue;
                }
                any = true;
                others += pixel == colour ? 0 : 1;
            }
            drawn += any ? 1 : 0;
        }
        return drawn;
    }

private slots:
    void initTestCase() { QVERIFY(temp_.isValid()); }

    void verifiedRipThenPlay() {
        drives_ = test::UseEmulatedDrives({emulated::MakeDemoDisc()});
        QVERIFY(InitialiseTransport() > 0);
        TrackTable table;
        QCOMPARE(ReadTrackTable(0, 0, table), 1);
        const std::string folder = temp_.path().toStdString() + "/";
        ExtractJob job = BuildJob(table, {0, 1}, folder, "Track", {0, 0}, true, true);
        job.readMethod = ProbeReadMethod(0, 0);

        ExtractDialog dialog(std::move(job), nullptr, platform::TickCount,
                             platform::SilentOutputFactory([this] { return clock_.load(); }));
        dialog.show();
        dialog.OpenRun();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.Protocol().Finished(), 60000);

        // Every block of the last track has its column, and every column
        // turned green in its verification pass.
        const int width = dialog.Display().Picture().Width();
        auto columnsOf = [&](int entry) {
            const int32_t sectors = dialog.Protocol().Job().tracks[static_cast<std::size_t>(entry)].track.length;
            return std::min((sectors + 15) / 16, width);
        };
        int others = 0;
        QVERIFY(ColumnsOf(dialog.Display(), {0, 255, 0}, others) >= columnsOf(1) - 1);
        QCOMPARE(others, 0);
        for (const int id : {kIdPreviousTrack, kIdNextTrack, kIdPlay, kIdPause, kIdStop}) {
            QVERIFY(Control<QPushButton>(dialog, id)->isEnabled());
        }
        QCOMPARE(Control<QGroupBox>(dialog, kIdTrackGroup)->title(), QStringLiteral("Track 2/2"));
        QCOMPARE(Text(dialog, kIdTrackNumber), QStringLiteral("02"));
        const PlayerState& state = dialog.Protocol().Run().player;
        QVERIFY(state.ready);

        // Play: a second of audio later the marker has moved.
        Press(dialog, kIdPlay);
        QVERIFY(state.deviceOpen);
        QVERIFY(state.playing);
        QVERIFY(dialog.Media().IsOpen());
        clock_ += 1000;
        dialog.ThePlayer().Poll();
        QCOMPARE(state.position, 1000u);
        QCOMPARE(Text(dialog, kIdPosition), QStringLiteral("00:01.0"));
        const int firstMarker = state.markerColumn;
        QVERIFY(firstMarker > 0);

        // Pause holds the position; polls change nothing.
        Press(dialog, kIdPause);
        QVERIFY(state.paused);
        clock_ += 2000;
        dialog.ThePlayer().Poll();
        QCOMPARE(state.position, 1000u);

        // A click in the middle of the picture moves the marker and the
        // position there.
        PeakWidget* peaks = dialog.Peaks();
        const int column = width / 2;
        QTest::mouseClick(peaks, Qt::LeftButton, {},
                          QPoint(PeakWidget::kOutline + column, PeakWidget::kOutline + 10));
        QCOMPARE(state.markerColumn, column);
        const int32_t length = dialog.Protocol().Job().tracks[1].track.length;
        QCOMPARE(state.position, MillisecondsPerColumn(length, width) * column);

        // Resume, then stop: back to the start, device still open.
        Press(dialog, kIdPause);
        QVERIFY(!state.paused);
        Press(dialog, kIdStop);
        QVERIFY(!state.playing);
        QCOMPARE(state.position, 0u);
        QCOMPARE(state.markerColumn, 0);
        QVERIFY(state.deviceOpen);

        // Previous: track 1's picture and its log lines; next: back again.
        Press(dialog, kIdPreviousTrack);
        QCOMPARE(state.currentTrack, 0);
        QVERIFY(!state.deviceOpen);
        QCOMPARE(Control<QGroupBox>(dialog, kIdTrackGroup)->title(), QStringLiteral("Track 1/2"));
        QCOMPARE(Text(dialog, kIdTrackNumber), QStringLiteral("01"));
        QVERIFY(ColumnsOf(dialog.Display(), {0, 255, 0}, others) >= columnsOf(0) - 1);
        QCOMPARE(others, 0);
        auto* log = Control<QListWidget>(dialog, kIdStatusLog);
        QCOMPARE(log->indexAt(QPoint(2, 2)).row(), dialog.Protocol().TrackLogStart(0));
        Press(dialog, kIdPreviousTrack); // nothing before the first track
        QCOMPARE(state.currentTrack, 0);
        Press(dialog, kIdNextTrack);
        QCOMPARE(state.currentTrack, 1);
        Press(dialog, kIdNextTrack);
        QCOMPARE(state.currentTrack, 1);

        // Play the second track to its end: two equal polls stop it.
        Press(dialog, kIdPlay);
        QVERIFY(state.playing);
        clock_ += static_cast<uint32_t>(length) * 1000 / 75 + 5000;
        dialog.ThePlayer().Poll();
        dialog.ThePlayer().Poll();
        QVERIFY(!state.playing);
        QCOMPARE(Text(dialog, kIdPosition), QStringLiteral("00:00.0"));

        // Close ends the dialog and closes the device.
        QCOMPARE(Control<QPushButton>(dialog, kIdCancel)->text(), QStringLiteral("Close"));
        Press(dialog, kIdCancel);
        QVERIFY(dialog.Protocol().Ended());
        QVERIFY(!dialog.Media().IsOpen());
        drives_.clear();
        ResetTransportForTesting();
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::PlayerDialogTest)
#include "PlayerDialogTest.moc"
