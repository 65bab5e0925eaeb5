// The program as a whole: its command line, a broken disc image, and a
// scripted rip of the demo disc from start to exit.
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "UiTestSupport.h"
#include "ui/common/AboutDialog.h"
#include "ui/common/DialogTemplate.h"
#include "ui/extract/ExtractDialog.h"
#include "ui/main/EndSignals.h"
#include "ui/main/ExtractorApp.h"
#include "ui/main/MainDialog.h"

namespace vindral::ui {
namespace {

bool Parse(std::vector<std::string> args, AppOptions& options, std::string& error) {
    args.insert(args.begin(), "vindral");
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    options = AppOptions{};
    return ParseAppOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ExtractorAppTest : public QObject {
    Q_OBJECT

public:
    explicit ExtractorAppTest(ExtractorApp& app) : app_(app) {}

private:
    ExtractorApp& app_;
    QTemporaryDir temp_;

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        qputenv("XDG_CONFIG_HOME", (temp_.path() + "/config").toUtf8());
    }
    void cleanup() { ResetTransportForTesting(); }

    void commandLine() {
        AppOptions options;
        std::string error;
        QVERIFY(Parse({"--image", "a.cue", "--image=b.cue", "--demo"}, options, error));
        QCOMPARE(options.drives.images, (std::vector<std::string>{"a.cue", "b.cue"}));
        QVERIFY(options.drives.demo);
        QVERIFY(!options.autoStart);

        QVERIFY(Parse({"--demo", "--select=3,1", "--start", "--quit-when-done"}, options, error));
        QCOMPARE(options.selectTracks, (std::vector<int>{3, 1}));
        QVERIFY(options.autoStart && options.quitWhenDone);
        QVERIFY(Parse({"--select=all"}, options, error));
        QVERIFY(options.selectAll);

        QVERIFY(!Parse({"--image"}, options, error));
        QVERIFY(!error.empty());
        QVERIFY(!Parse({"--select=1,x"}, options, error));
        QVERIFY(!Parse({"--select=100"}, options, error));
        QVERIFY(!Parse({"--frobnicate"}, options, error));
        QCOMPARE(error, std::string("unknown option --frobnicate"));
    }

    void brokenImageIsReportedAndEndsTheProgram() {
        const std::string cue = (temp_.path() + "/broken.cue").toStdString();
        std::ofstream(cue) << "FILE \"missing.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
        AppOptions options;
        options.drives.images = {cue};
        QString shown;
        QString caption;
        test::WhenModal<QMessageBox>([&](QMessageBox* box) {
            shown = box->text();
            caption = box->windowTitle();
            box->button(QMessageBox::Ok)->click();
        });
        test::Watchdog watchdog(20000);
        QCOMPARE(app_.Run(options), 1);
        QVERIFY(!watchdog.Fired());
        QVERIFY2(shown.contains(QStringLiteral("broken.cue")), qPrintable(shown));
        QVERIFY(!shown.contains(QLatin1Char('\n')));
        QCOMPARE(caption, QStringLiteral("Vindral"));
    }

    void scriptedRipOfTheDemoDisc() {
        const QString out = temp_.path() + "/rip/";
        std::filesystem::create_directories(out.toStdString());
        std::filesystem::create_directories((temp_.path() + "/config/vindral").toStdString());
        std::ofstream((temp_.path() + "/config/vindral/settings.reg").toStdString())
            << "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n\"value0\"=hex:00,00,00,00\n"
            << "\"value1\"=\"" << out.toStdString() << "\"\n";
        AppOptions options;
        options.drives.demo = true;
        options.selectTracks = {2};
        options.autoStart = true;
        options.quitWhenDone = true;
        test::Watchdog watchdog(120000);
        QCOMPARE(app_.Run(options), 0);
        QVERIFY(!watchdog.Fired());
        QVERIFY(std::filesystem::exists((out + "Track02.wav").toStdString()));
        QVERIFY(!std::filesystem::exists((out + "Track01.wav").toStdString()));
    }

    void endSignalsReachTheWindowThreadAndAreGivenBack() {
        struct sigaction before {};
        ::sigaction(SIGHUP, nullptr, &before);
        for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
            EndSignals endSignals;
            QVERIFY(endSignals.Installed());
            QSignalSpy spy(&endSignals, &EndSignals::received);
            QCOMPARE(::raise(number), 0); // still alive: handled, not the default action
            QVERIFY(spy.wait(5000));
            QCOMPARE(spy.size(), 1);
            QCOMPARE(spy.at(0).at(0).toInt(), number);
            // Only one object holds them at a time.
            EndSignals second;
            QVERIFY(!second.Installed());
        }
        struct sigaction after {};
        ::sigaction(SIGHUP, nullptr, &after);
        QVERIFY(after.sa_handler == before.sa_handler);
    }

    // SIGTERM and SIGINT during a rip on a drive held to 1 X: Cancel, the
    // worker's cancel line, no file of the track, then the window closes
    // with its settings written.
    void aSignalDuringARipCancelsItAndEndsTheProgram() {
        const QByteArray realHome = qgetenv("HOME");
        for (const int number : {SIGTERM, SIGINT}) {
            const std::filesystem::path home =
                (temp_.path() + QStringLiteral("/home-%1").arg(number)).toStdString();
            std::filesystem::create_directories(home);
            qputenv("HOME", QByteArray::fromStdString(home.string()));
            qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home / "config").string()));
            AppOptions options;
            options.drives.demo = true;
            options.drives.emulatedSpeedKBps = 176;
            options.selectTracks = {1};
            options.autoStart = true;

            QStringList log;
            bool raised = false;
            test::WhenModal<ExtractDialog>([&](ExtractDialog* run) {
                auto* list = Control<QListWidget>(*run, kIdStatusLog);
                QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, run,
                                 [list, &log](const QModelIndex&, int first, int last) {
                                     for (int row = first; row <= last; ++row) {
                                         log << list->item(row)->text();
                                     }
                                 });
                for (int row = 0; row < list->count(); ++row) {
                    log << list->item(row)->text();
                }
                // A while into the track, the signal.
                QTimer::singleShot(700, run, [number, &raised] { raised = ::raise(number) == 0; });
            });
            test::Watchdog watchdog(60000);
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(app_.Run(options), 128 + number);
            QVERIFY(!watchdog.Fired());
            QVERIFY(raised);
            // Well before the 32 s that the track takes at 1 X.
            QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY2(log.contains(QStringLiteral("---> Extracting track 01")), qPrintable(log.join('|')));
            QCOMPARE(log.constLast(), QStringLiteral("Canceled by user"));
            QVERIFY(!std::filesystem::exists(home / "Track01.wav"));
            QCOMPARE(test::LeftOvers(home), QStringList());
            // Written as on a normal close: the output folder is the home folder.
            const std::string settings = ReadFile(home / "config/vindral/settings.reg");
            QVERIFY2(settings.find("\"value1\"=\"" + home.string() + "/\"") != std::string::npos,
                     settings.c_str());
        }
        qputenv("HOME", realHome);
        qputenv("XDG_CONFIG_HOME", (temp_.path() + "/config").toUtf8());
    }

    void aSignalWithoutARipEndsTheProgram() {
        const std::filesystem::path config = (temp_.path() + "/hup-config").toStdString();
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.string()));
        AppOptions options;
        options.drives.demo = true;
        QTimer::singleShot(200, [] { ::raise(SIGHUP); });
        test::Watchdog watchdog(20000);
        QCOMPARE(app_.Run(options), 128 + SIGHUP);
        QVERIFY(!watchdog.Fired());
        QVERIFY(std::filesystem::exists(config / "vindral/settings.reg"));

        // An open message box (here the about box) is closed on the way.
        options = AppOptions{};
        options.drives.demo = true;
        bool aboutShown = false;
        test::WhenModal<AboutDialog>([&](AboutDialog* about) {
            aboutShown = about->isVisible();
            ::raise(SIGTERM);
        });
        QTimer::singleShot(100, [] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (auto* main = qobject_cast<MainDialog*>(window); main && main->isVisible()) {
                    QTimer::singleShot(0, main, [main] { main->ShowAbout(); });
                }
            }
        });
        QCOMPARE(app_.Run(options), 128 + SIGTERM);
        QVERIFY(aboutShown);
        QVERIFY(!watchdog.Fired());
        qputenv("XDG_CONFIG_HOME", (temp_.path() + "/config").toUtf8());
    }

    void scriptedStartOfADataTrackEndsWithAFailure() {
        AppOptions options;
        options.drives.demo = true;
        options.selectTracks = {6}; // the demo disc's data track
        options.autoStart = true;
        options.quitWhenDone = true;
        test::Watchdog watchdog(30000);
        QCOMPARE(app_.Run(options), 1);
        QVERIFY(!watchdog.Fired());
    }
};

} // namespace
} // namespace vindral::ui

int main(int argc, char** argv) {
    vindral::ui::ExtractorApp app(argc, argv);
    vindral::ui::ExtractorAppTest test(app);
    return QTest::qExec(&test, argc, argv);
}
#include "ExtractorAppTest.moc"
