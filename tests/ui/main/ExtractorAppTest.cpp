// The program as a whole: its command line, a broken disc image, and a
// scripted rip of the demo disc from start to exit.
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

#include "UiTestSupport.h"
#include "ui/common/DialogTemplate.h"
#include "ui/extract/ExtractDialog.h"
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
