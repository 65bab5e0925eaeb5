// The real `vindral` process ended by a real signal: SIGTERM and SIGINT in
// the middle of a rip of the demo disc on a drive held to 1 X, and SIGHUP
// while the window only waits. Each time the process ends by itself with
// 128 + the signal, leaves no temporary file and no incomplete WAV file,
// and writes its settings.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <filesystem>

#include "UiTestSupport.h"

namespace vindral::ui {
namespace {

class WindowSignalTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;

    // Starts the window with its home and configuration in `home`.
    static void Start(QProcess& process, const std::filesystem::path& home,
                      const QStringList& arguments) {
        std::filesystem::create_directories(home);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.string()));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           QString::fromStdString((home / "config").string()));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("PULSE_SERVER"),
                           QStringLiteral("unix:/nonexistent/vindral-test/native"));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(VINDRAL_WINDOW_PATH), arguments);
    }

    // The name of a file of track 1 in `folder` (the track file or its
    // temporary file), or an empty string.
    static QString TrackOneFile(const std::filesystem::path& folder) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.find("Track01") != std::string::npos) {
                return QString::fromStdString(name);
            }
        }
        return {};
    }

    static void Ends(QProcess& process, int number) {
        QVERIFY2(process.waitForFinished(30000), "the window did not end");
        const QByteArray errors = process.readAllStandardError();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit); // not killed by the signal
        QVERIFY2(process.exitCode() == 128 + number,
                 qPrintable(QStringLiteral("exit %1: %2")
                                .arg(process.exitCode())
                                .arg(QString::fromLocal8Bit(errors))));
    }

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        QVERIFY2(std::filesystem::exists(VINDRAL_WINDOW_PATH), VINDRAL_WINDOW_PATH);
    }

    void aSignalDuringARipCancelsItAndTheWindowEnds_data() {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void aSignalDuringARipCancelsItAndTheWindowEnds() {
        QFETCH(int, number);
        const std::filesystem::path home =
            (temp_.path() + QStringLiteral("/rip-%1").arg(number)).toStdString();
        QProcess process;
        Start(process, home,
              {QStringLiteral("--demo"), QStringLiteral("--emulated-speed"), QStringLiteral("1"),
               QStringLiteral("--select=1"), QStringLiteral("--start")});
        QVERIFY(process.waitForStarted(10000));

        // The rip has begun when a file of track 1 is there; the track takes
        // 32 s at 1 X, so the signal comes in its middle.
        QElapsedTimer clock;
        clock.start();
        QString begun;
        while (begun.isEmpty() && clock.elapsed() < 30000 &&
               process.state() == QProcess::Running) {
            QThread::msleep(20);
            begun = TrackOneFile(home);
        }
        QVERIFY2(!begun.isEmpty(), process.readAllStandardError().constData());
        QThread::msleep(700);
        QCOMPARE(process.state(), QProcess::Running);
        QCOMPARE(::kill(static_cast<pid_t>(process.processId()), number), 0);
        Ends(process, number);
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY2(clock.elapsed() < 25000, qPrintable(QString::number(clock.elapsed())));

        QVERIFY(!std::filesystem::exists(home / "Track01.wav"));
        QCOMPARE(test::LeftOvers(home), QStringList());
        QVERIFY(std::filesystem::exists(home / "config/vindral/settings.reg"));
    }

    void aSignalWithoutARipEndsTheWindow() {
        const std::filesystem::path home = (temp_.path() + "/idle").toStdString();
        QProcess process;
        Start(process, home, {QStringLiteral("--demo")});
        QVERIFY(process.waitForStarted(10000));
        QThread::msleep(3000); // the window is up and waits
        QCOMPARE(process.state(), QProcess::Running);
        QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGHUP), 0);
        Ends(process, SIGHUP);
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY(std::filesystem::exists(home / "config/vindral/settings.reg"));
        QCOMPARE(test::LeftOvers(home), QStringList());
    }
};

} // namespace
} // namespace vindral::ui

QTEST_GUILESS_MAIN(vindral::ui::WindowSignalTest)
#include "WindowSignalTest.moc"
