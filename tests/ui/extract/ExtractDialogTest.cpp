// The extraction dialog running real jobs over emulated drives: the log,
// the twelve texts, the progress bar, Cancel and Close, Save Status.
#include <QFileDialog>
#include <QGroupBox>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "UiTestSupport.h"
#include "drive/CdCommands.h"
#include "extract/JobBuilder.h"
#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"
#include "ui/extract/ExtractDialog.h"

namespace vindral::ui {
namespace {

using test::MakeDisc;
using test::UseEmulatedDrives;

// Records on which thread the dialog is told about the run.
class ObservedDialog : public ExtractDialog {
public:
    using ExtractDialog::ExtractDialog;
    void LogLineAdded(const std::string& line, int lineCount) override {
        offThread = offThread || QThread::currentThread() != qApp->thread();
        ExtractDialog::LogLineAdded(line, lineCount);
    }
    void ShowTexts(const DisplayTexts& texts) override {
        offThread = offThread || QThread::currentThread() != qApp->thread();
        ++showCount;
        ExtractDialog::ShowTexts(texts);
    }
    bool offThread = false;
    int showCount = 0;
};

QStringList LogLines(const ExtractDialog& dialog) {
    auto* list = Control<QListWidget>(dialog, kIdStatusLog);
    QStringList lines;
    for (int i = 0; i < list->count(); ++i) {
        lines << list->item(i)->text();
    }
    return lines;
}

QString TextOf(const ExtractDialog& dialog, int id) { return Control<LinkLabel>(dialog, id)->text(); }

std::string ReadAll(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ExtractDialogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;
    std::shared_ptr<const emulated::Disc> disc_;
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> drives_;

    QString Folder() const { return temp_.path() + "/"; }
    ExtractJob Job(std::vector<int> rows, bool verify) const {
        TrackTable table;
        CdCommands::TestUnitReady(0, 0); // takes the unit attention of a new disc
        ReadTrackTable(0, 0, table);
        ExtractJob job = BuildJob(table, std::move(rows), Folder().toStdString(), "Track",
                                  CdDevice{0, 0}, verify, true);
        job.readMethod = ProbeReadMethod(0, 0);
        return job;
    }
    // Runs the dialog modally; `whenFinished` acts once the run is over.
    bool RunToEnd(ExtractDialog& dialog, std::function<void()> whenFinished) {
        auto* poll = new QTimer(&dialog);
        connect(poll, &QTimer::timeout, &dialog, [&dialog, poll, whenFinished] {
            if (dialog.Protocol().Finished() || dialog.Protocol().Failed()) {
                poll->stop();
                whenFinished();
            }
        });
        poll->start(10);
        test::Watchdog watchdog(60000);
        dialog.exec();
        return !watchdog.Fired();
    }

private slots:
    void initTestCase() { QVERIFY(temp_.isValid()); }
    void init() {
        // Track 1 is 300 sectors (00:04.00), track 2 100, track 3 data.
        disc_ = MakeDisc({{1, 0}, {2, 300}, {3, 400, true}}, 700);
        drives_ = UseEmulatedDrives({disc_});
        InitialiseTransport();
    }
    void cleanup() {
        drives_.clear();
        ResetTransportForTesting();
    }

    void templateControlsAndInitialState() {
        ExtractDialog dialog(Job({0}, false));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Extracting Tracks"));
        for (const int id : {2, 1010, 1011, 1012, 1013, 1017, 1019, 1020, 1021, 1022, 1023, 1024,
                             1025, 1030, 1031, 1033, 1034, 1035, 1036, 1037, 1040, 1041, 1042}) {
            QVERIFY2(FindControl(dialog, id) != nullptr, qPrintable(QString::number(id)));
        }
        for (const int id : {1034, 1035, 1037, 1040, 1041, 1030}) {
            QVERIFY(!FindControl(dialog, id)->isEnabled());
        }
        QCOMPARE(Control<QPushButton>(dialog, kIdCancel)->text(), QStringLiteral("Cancel"));
        QCOMPARE(Control<QPushButton>(dialog, kIdSaveStatus)->text(), QStringLiteral("&Save Status"));
        auto* bar = Control<QProgressBar>(dialog, kIdTotalBar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(Control<LinkLabel>(dialog, kIdTotalSpeed)->LabelTextColor(), QColor(0, 0, 128));
        auto* position = Control<LinkLabel>(dialog, kIdPosition);
        QCOMPARE(position->LabelTextColor(), QColor(255, 255, 0));
        QCOMPARE(position->LabelBkColor(), QColor(0, 0, 0));
        QCOMPARE(position->FontDescription().height, -15);
        QCOMPARE(position->font().pixelSize(), 15);
        QCOMPARE(position->FontDescription().face, QStringLiteral("Arial"));
        for (const int id : {1010, 1012, 1020, 1024, 1036, 1042}) {
            QCOMPARE(TextOf(dialog, id), QString());
        }
    }

    void ripWithoutVerifyLogsFiveLines() {
        ObservedDialog dialog(Job({0}, false));
        QStringList lines;
        QString totalProgress;
        QString trackProgress;
        int bar = -1;
        bool saveEnabled = false;
        QString caption;
        const bool ended = RunToEnd(dialog, [&] {
            lines = LogLines(dialog);
            totalProgress = TextOf(dialog, kIdTotalProgress);
            trackProgress = TextOf(dialog, kIdTrackProgress);
            bar = Control<QProgressBar>(dialog, kIdTotalBar)->value();
            saveEnabled = Control<QPushButton>(dialog, kIdSaveStatus)->isEnabled();
            caption = Control<QPushButton>(dialog, kIdCancel)->text();
            QTest::mouseClick(Control<QPushButton>(dialog, kIdCancel), Qt::LeftButton);
        });
        QVERIFY(ended);
        QCOMPARE(lines, QStringList({
                            QStringLiteral("1 track(s) selected"),
                            QStringLiteral("---> Extracting track 01"),
                            QStringLiteral("  Start: 00:00.00 - Length: 00:04.00"),
                            QStringLiteral("  Filename: %1Track01.wav").arg(Folder()),
                            QStringLiteral("1 track(s) extracted"),
                        }));
        QCOMPARE(totalProgress, QStringLiteral("100%"));
        QCOMPARE(trackProgress, QStringLiteral("100%"));
        QCOMPARE(bar, 100);
        QVERIFY(saveEnabled);
        QCOMPARE(caption, QStringLiteral("Close"));
        QCOMPARE(TextOf(dialog, kIdTrackErrors), QStringLiteral("-"));
        QCOMPARE(TextOf(dialog, kIdTotalErrors), QStringLiteral("-"));
        QCOMPARE(Control<QGroupBox>(dialog, kIdTrackGroup)->title(), QStringLiteral("Track 1/1"));
        QVERIFY(!dialog.offThread);
        QVERIFY(dialog.showCount > 0);
        QCOMPARE(std::filesystem::file_size((Folder() + "Track01.wav").toStdString()),
                 std::uintmax_t(44 + 300 * kSectorBytes));
    }

    void ripWithVerifyLogsTheVerificationLines() {
        ObservedDialog dialog(Job({0}, true));
        QStringList lines;
        QString trackErrors;
        QString totalErrors;
        const bool ended = RunToEnd(dialog, [&] {
            lines = LogLines(dialog);
            trackErrors = TextOf(dialog, kIdTrackErrors);
            totalErrors = TextOf(dialog, kIdTotalErrors);
            dialog.reject();
        });
        QVERIFY(ended);
        // The five lines of a plain run, with the verifying line, the
        // track's errors and speed after the file name, and the run's total
        // errors and speed before the extracted count: ten in all.
        QCOMPARE(lines.size(), 10);
        QCOMPARE(lines[0], QStringLiteral("1 track(s) selected"));
        QCOMPARE(lines[1], QStringLiteral("---> Extracting track 01"));
        QCOMPARE(lines[3], QStringLiteral("  Filename: %1Track01.wav").arg(Folder()));
        QCOMPARE(lines[4], QStringLiteral("---> Verifying track 01"));
        QCOMPARE(lines[5], QStringLiteral("  Errors: 0 (0.00%)"));
        QVERIFY(lines[6].startsWith(QStringLiteral("  Speed: ")) && lines[6].endsWith(" X"));
        QCOMPARE(lines[7], QStringLiteral("Total errors: 0 (0.00%)"));
        QVERIFY(lines[8].startsWith(QStringLiteral("Speed: ")) && lines[8].endsWith(" X"));
        QCOMPARE(lines[9], QStringLiteral("1 track(s) extracted"));
        // The error texts: count and base (one reading of the track's bytes).
        QCOMPARE(trackErrors, QStringLiteral("0/%1").arg(300 * kSectorBytes));
        QCOMPARE(totalErrors, QStringLiteral("0/%1").arg(300 * kSectorBytes));
        QVERIFY(!dialog.offThread);
    }

    void logKeepsTheNewestLineInView() {
        ExtractDialog dialog(Job({0, 1}, true));
        dialog.show();
        const bool ended = RunToEnd(dialog, [&] {
            auto* list = Control<QListWidget>(dialog, kIdStatusLog);
            QVERIFY(list->count() > 5);
            const QRect last = list->visualItemRect(list->item(list->count() - 1));
            QVERIFY(list->viewport()->rect().contains(last.center()));
            const QRect first = list->visualItemRect(list->item(0));
            QVERIFY(!list->viewport()->rect().intersects(first));
            dialog.reject();
        });
        QVERIFY(ended);
    }

    void cancelThenClose() {
        // A slow drive (2 X) keeps the run going while the test cancels it.
        drives_[0]->SetSpeedLimitKBps(353);
        std::filesystem::remove((Folder() + "Track01.wav").toStdString()); // an earlier test's
        ExtractDialog dialog(Job({0, 1}, false));
        QStringList afterCancel;
        QString caption;
        bool saveEnabled = false;
        bool stillOpen = false;
        auto* steps = new QTimer(&dialog);
        int stage = 0;
        connect(steps, &QTimer::timeout, &dialog, [&] {
            if (stage == 0 && dialog.Protocol().Run().trackSectorsDone > 16) {
                QTest::keyClick(&dialog, Qt::Key_Escape); // acts as Cancel
                caption = Control<QPushButton>(dialog, kIdCancel)->text();
                saveEnabled = Control<QPushButton>(dialog, kIdSaveStatus)->isEnabled();
                stage = 1;
            } else if (stage == 1 && !dialog.Protocol().WorkerActive()) {
                afterCancel = LogLines(dialog);
                stillOpen = dialog.isVisible();
                stage = 2;
                steps->stop();
                dialog.close(); // the close box: a second Cancel ends the dialog
            }
        });
        steps->start(5);
        test::Watchdog watchdog(60000);
        dialog.exec();
        QVERIFY(!watchdog.Fired());
        QCOMPARE(stage, 2);
        QCOMPARE(caption, QStringLiteral("Close"));
        QVERIFY(saveEnabled);
        QVERIFY(stillOpen);
        QCOMPARE(afterCancel.last(), QStringLiteral("Canceled by user"));
        QVERIFY(!afterCancel.contains(QStringLiteral("2 track(s) extracted")));
        QVERIFY(dialog.Protocol().Ended());
        QVERIFY(!std::filesystem::exists((Folder() + "Track01.wav").toStdString()));
        QVERIFY(test::LeftOvers(Folder().toStdString()).isEmpty());
    }

    void closeDuringABlockLeavesNoDamagedFile() {
        drives_[0]->SetSpeedLimitKBps(353);
        const QString path = Folder() + "Track01.wav";
        std::filesystem::remove(path.toStdString());
        {
            auto dialog = std::make_unique<ExtractDialog>(Job({0}, false));
            dialog->OpenRun();
            QTRY_VERIFY(dialog->Protocol().Run().trackSectorsDone > 0);
            dialog.reset(); // the window goes away with the worker inside a block
        }
        if (std::filesystem::exists(path.toStdString())) {
            QCOMPARE(std::filesystem::file_size(path.toStdString()),
                     std::uintmax_t(44 + 300 * kSectorBytes));
        }
    }

    void saveStatusWritesTheLog() {
        ExtractDialog dialog(Job({0}, false));
        const QString target = Folder() + "saved-status.txt";
        std::filesystem::remove(target.toStdString());
        QString suggested;
        QStringList filters;
        bool askedToReplace = false;
        const bool ended = RunToEnd(dialog, [&] {
            // First save: a new file.
            test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
                suggested = chooser->selectedFiles().value(0);
                filters = chooser->nameFilters();
                chooser->setDirectory(Folder());
                test::TypeFileName(chooser, QStringLiteral("saved-status.txt"));
                static_cast<QDialog*>(chooser)->accept(); // the file dialog's own accept
            });
            Control<QPushButton>(dialog, kIdSaveStatus)->click();
            // Second save to the same name: the chooser asks first.
            test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
                test::WhenModal<QMessageBox>([&](QMessageBox* box) {
                    askedToReplace = true;
                    box->button(QMessageBox::Yes)->click();
                });
                chooser->setDirectory(Folder());
                test::TypeFileName(chooser, QStringLiteral("saved-status.txt"));
                static_cast<QDialog*>(chooser)->accept(); // the file dialog's own accept
            });
            Control<QPushButton>(dialog, kIdSaveStatus)->click();
            dialog.reject();
        });
        QVERIFY(ended);
        QVERIFY(suggested.endsWith(QStringLiteral("/status.txt")));
        QCOMPARE(filters, QStringList({QStringLiteral("TXT files (*.txt)")}));
        QVERIFY(askedToReplace);
        std::string expected;
        for (const QString& line : LogLines(dialog)) {
            expected += line.toStdString() + "\n";
        }
        QCOMPARE(QString::fromStdString(ReadAll(target)), QString::fromStdString(expected));
        QCOMPARE(std::count(expected.begin(), expected.end(), '\n'), 5L);
    }

    void saveStatusReportsAFileThatCannotBeWritten() {
        ExtractDialog dialog(Job({0}, false));
        QString message;
        QString caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        const bool ended = RunToEnd(dialog, [&] {
            test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
                test::WhenModal<QMessageBox>([&](QMessageBox* box) {
                    message = box->text();
                    caption = box->windowTitle();
                    icon = box->icon();
                    box->buttons().value(0)->click();
                });
                // A folder that is a plain file cannot hold the status file.
                std::ofstream((Folder() + "plain-file").toStdString()) << "x";
                chooser->setDirectory(Folder());
                test::TypeFileName(chooser, QStringLiteral("plain-file/status.txt"));
                static_cast<QDialog*>(chooser)->accept(); // the file dialog's own accept
            });
            Control<QPushButton>(dialog, kIdSaveStatus)->click();
            dialog.reject();
        });
        QVERIFY(ended);
        QCOMPARE(message, QStringLiteral("Error saving file"));
        QCOMPARE(caption, QStringLiteral("Vindral"));
        QCOMPARE(icon, QMessageBox::Critical);
    }

    void readErrorStopsTheRun() {
        auto damaged = std::make_shared<emulated::Disc>(*disc_);
        damaged->AddUnreadable(100, 1);
        for (const char* name : {"Track01.wav", "Track02.wav"}) {
            std::filesystem::remove((Folder() + name).toStdString());
        }
        drives_ = UseEmulatedDrives({damaged});
        InitialiseTransport();
        ExtractDialog dialog(Job({0, 1}, false));
        QStringList lines;
        const bool ended = RunToEnd(dialog, [&] {
            QTRY_VERIFY(!dialog.Protocol().WorkerActive());
            lines = LogLines(dialog);
            dialog.reject();
        });
        QVERIFY(ended);
        QCOMPARE(lines.last(), QStringLiteral("Read error (code 031100)"));
        QCOMPARE(Control<QPushButton>(dialog, kIdCancel)->text(), QStringLiteral("Close"));
        // The partial file is gone and the next track never started.
        QVERIFY(!std::filesystem::exists((Folder() + "Track01.wav").toStdString()));
        QVERIFY(!std::filesystem::exists((Folder() + "Track02.wav").toStdString()));
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::ExtractDialogTest)
#include "ExtractDialogTest.moc"
