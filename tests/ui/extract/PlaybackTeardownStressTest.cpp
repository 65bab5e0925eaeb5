// The extraction dialog closed while its player streams through the real
// audio output, a few hundred times: play, seek, pause, step a track, then
// close in one of several ways. Runs against a private sound server with a
// null sink (started here, in a private runtime folder), so the sink is a
// real one and nothing is heard.
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "UiTestSupport.h"
#include "drive/DriveSearch.h"
#include "extract/JobBuilder.h"
#include "platform/media/MediaInterpreter.h"
#include "ui/common/DialogTemplate.h"
#include "ui/extract/ExtractDialog.h"
#include "ui/player/PeakWidget.h"
#include "ui/player/QtAudioOutput.h"

namespace vindral::ui {
namespace {

// A sound server of our own: started before the application object so that
// Qt Multimedia finds it, stopped at the end.
class PrivateSoundServer {
public:
    PrivateSoundServer() {
        char pattern[] = "/tmp/vindral-sound-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            return;
        }
        folder_ = pattern; // mkdtemp makes it 0700, as the server wants
        const std::string log = folder_ + "/server.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
            ::setenv("HOME", folder_.c_str(), 1);
            if (std::freopen(log.c_str(), "w", stderr) == nullptr ||
                std::freopen(log.c_str(), "a", stdout) == nullptr) {
                ::_exit(127);
            }
            ::execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                     "--use-pid-file=no", "-L", "module-null-sink sink_name=nullsink", "-L",
                     "module-native-protocol-unix auth-anonymous=1", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string socket = folder_ + "/pulse/native";
        for (int wait = 0; wait < 100 && pid_ > 0; ++wait) {
            if (std::filesystem::exists(socket)) {
                ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
                ::setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
                running_ = true;
                return;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1; // it gave up
                break;
            }
            ::usleep(50000);
        }
    }
    ~PrivateSoundServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    bool Running() const { return running_; }

private:
    std::string folder_;
    pid_t pid_ = -1;
    bool running_ = false;
};

class PlaybackTeardownStressTest : public QObject {
    Q_OBJECT

public:
    explicit PlaybackTeardownStressTest(bool serverRunning) : serverRunning_(serverRunning) {}

private:
    bool serverRunning_;
    QTemporaryDir temp_;
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> drives_;

    static void Press(const QWidget& dialog, int id) { Control<QPushButton>(dialog, id)->click(); }

    // Lets the player's poll fall due without handling it: the next event
    // loop that runs, even one nested in the teardown of a stream, calls it.
    static void LetThePollFallDue() { QThread::msleep(Player::kPollMilliseconds + 20); }

    // Lets the feeder, the player's poll and the sound server's answers run.
    static void Run(int ms) {
        QElapsedTimer timer;
        timer.start();
        do {
            QApplication::processEvents(QEventLoop::AllEvents, 2);
        } while (timer.elapsed() < ms);
    }

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        QVERIFY2(serverRunning_, "the private sound server (pulseaudio) did not start");
        // Two tracks of two seconds each.
        drives_ = test::UseEmulatedDrives({test::MakeDisc({{1, 0}, {2, 150}}, 300)});
        QVERIFY(InitialiseTransport() > 0);
    }
    void cleanupTestCase() {
        drives_.clear();
        ResetTransportForTesting();
    }

    void closingWhilePlayingSurvivesEveryTime() {
        TrackTable table;
        QCOMPARE(ReadTrackTable(0, 0, table), 1);
        const std::string folder = temp_.path().toStdString() + "/";
        const ExtractJob job = BuildJob(table, {0, 1}, folder, "Track", {0, 0}, false, false);

        constexpr int kRounds = 280;
        QElapsedTimer clock;
        clock.start();
        int realStreams = 0;
        int moved = 0;
        for (int round = 0; round < kRounds; ++round) {
            ExtractJob copy = job;
            copy.readMethod = ProbeReadMethod(0, 0);
            auto* dialog = new ExtractDialog(std::move(copy));
            dialog->OpenRun();
            QTRY_VERIFY_WITH_TIMEOUT(dialog->Protocol().Finished(), 10000);
            const PlayerState& state = dialog->Protocol().Run().player;

            Press(*dialog, kIdPlay);
            QVERIFY(state.playing);
            QVERIFY(dialog->Media().IsOpen());
            if (dynamic_cast<QtAudioOutput*>(dialog->Media().Output()) != nullptr) {
                ++realStreams;
            }
            Run(round % 5 * 4);

            // A seek: a click somewhere in the picture restarts the stream.
            if (round % 6 == 0) {
                LetThePollFallDue();
            }
            const int width = dialog->Display().Picture().Width();
            QVERIFY(dialog->ThePlayer().ClickPicture((round * 37) % width, 10));
            Run(round % 3 * 5);
            switch (round % 4) {
            case 1:
                Press(*dialog, kIdPause);
                break;
            case 2:
                Press(*dialog, kIdPreviousTrack); // closes the device
                Press(*dialog, kIdPlay);
                break;
            case 3:
                dialog->ThePlayer().Poll();
                moved += state.position > 0 ? 1 : 0;
                break;
            default:
                break;
            }
            Run(round % 2 * 3);

            // Close: the button (the run is over, so it reads Close), the
            // destructor alone, or a later deletion from the event loop.
            if (round % 6 == 3) {
                LetThePollFallDue();
            }
            switch (round % 3) {
            case 0:
                QCOMPARE(Control<QPushButton>(*dialog, kIdCancel)->text(), QStringLiteral("Close"));
                Press(*dialog, kIdCancel);
                QVERIFY(dialog->Protocol().Ended());
                QVERIFY(!dialog->Media().IsOpen());
                delete dialog;
                break;
            case 1:
                delete dialog;
                break;
            default:
                dialog->done(QDialog::Rejected);
                dialog->deleteLater();
                Run(3);
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                break;
            }
        }
        QApplication::processEvents();
        std::printf("%d rounds in %lld ms, %d through the sound server, %d polls past 0 ms\n",
                    kRounds, static_cast<long long>(clock.elapsed()), realStreams, moved);
        // Every stream went through the real output, not the silent one.
        QCOMPARE(realStreams, kRounds);
    }
};

} // namespace
} // namespace vindral::ui

int main(int argc, char** argv) {
    vindral::ui::PrivateSoundServer server;
    QApplication app(argc, argv);
    vindral::ui::PlaybackTeardownStressTest test(server.Running());
    return QTest::qExec(&test, argc, argv);
}
#include "PlaybackTeardownStressTest.moc"
