// The main window over emulated drives: start-up, the drive and track
// lists, disc changes, the selection figures, the Start rule, the speed
// list, the stored settings and the free-space refusal.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "UiTestSupport.h"
#include "accuracy/Checksums.h"
#include "accuracy/DbarAnswer.h"
#include "accuracy/DiscIds.h"
#include "accuracy/RipLog.h"
#include "drive/CdCommands.h"
#include "drive/DriveSource.h"
#include "drive/DiscInfo.h"
#include "drive/emulated/CueSheet.h"
#include "drive/emulated/DriveBehaviour.h"
#include "net/LocalHttpServer.h"
#include "output/FlacFiles.h"
#include "drive/linux/FakeKernel.h"
#include "drive/linux/LinuxPassThrough.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "ui/common/AboutDialog.h"
#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"
#include "ui/extract/ExtractDialog.h"
#include "ui/main/MainDialog.h"
#include "ui/main/ReleaseChooser.h"
#include "ui/main/SpeedChoice.h"

#include <nlohmann/json.hpp>

namespace vindral::ui {
namespace {

using test::MakeDisc;
using test::ThreeTrackDisc;
using test::UseEmulatedDrives;

// A backend with an adapter but no CD-ROM drive behind it.
class EmptyBusBackend : public TransportBackend {
public:
    int32_t Initialise() override { return 1; }
    int32_t Execute(uint8_t, uint8_t, const uint8_t*, int, bool, void*, uint32_t,
                    SenseResult&) override {
        return kStatusNoDrive;
    }
};

QString LabelText(const QWidget& dialog, int id) { return Control<LinkLabel>(dialog, id)->text(); }

// When the extraction dialog opens, `opened` runs once and `each` every
// `periodMs` while the run goes on; once it has finished, its log goes into
// `log` and the dialog is closed.
void CloseWhenFinished(QStringList& log, std::function<void(ExtractDialog*)> opened = {},
                       std::function<void(ExtractDialog*)> each = {}, int periodMs = 10) {
    test::WhenModal<ExtractDialog>([&log, opened, each, periodMs](ExtractDialog* run) {
        if (opened) {
            opened(run);
        }
        auto* poll = new QTimer(run);
        QObject::connect(poll, &QTimer::timeout, run, [run, poll, &log, each] {
            if (each) {
                each(run);
            }
            if (!run->Protocol().Finished()) {
                return;
            }
            poll->stop();
            for (const auto& line : run->Protocol().Log().Lines()) {
                log << QString::fromStdString(line);
            }
            run->reject(); // "Close"
        });
        poll->start(periodMs);
    });
}

class MainDialogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;
    std::string settingsPath_;

    std::unique_ptr<MainDialog> Open() {
        auto dialog = std::make_unique<MainDialog>();
        dialog->SetSettingsPath(settingsPath_);
        dialog->show(); // as its modal run shows it
        if (!dialog->Initialise()) {
            return nullptr;
        }
        return dialog;
    }
    static QTreeWidget* List(const MainDialog& dialog) {
        return Control<QTreeWidget>(dialog, kIdTrackList);
    }
    // The open in-place editor of the list, if any.
    static QLineEdit* Editor(QTreeWidget* list) {
        for (QLineEdit* edit : list->viewport()->findChildren<QLineEdit*>()) {
            if (edit->isVisible()) {
                return edit;
            }
        }
        return nullptr;
    }
    static void Select(MainDialog& dialog, std::initializer_list<int> rows) {
        QTreeWidget* list = List(dialog);
        list->clearSelection();
        for (const int row : rows) {
            list->topLevelItem(row)->setSelected(true);
        }
    }
    static bool StartEnabled(const MainDialog& dialog) {
        return Control<QPushButton>(dialog, kIdStart)->isEnabled();
    }
    std::string ReadSettingsFile() const {
        std::ifstream in(settingsPath_);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteSettingsFile(const std::string& values) const {
        std::filesystem::create_directories(std::filesystem::path(settingsPath_).parent_path());
        std::ofstream(settingsPath_) << "[HKEY_LOCAL_MACHINE\\Software\\Vindral]\n" << values;
    }
    QString Folder(const char* name) const {
        const QString path = temp_.path() + "/" + name + "/";
        std::filesystem::create_directories(path.toStdString());
        return path;
    }

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        qputenv("XDG_CONFIG_HOME", (temp_.path() + "/config").toUtf8());
    }
    void init() {
        settingsPath_ = (temp_.path() + "/config/vindral/settings.reg").toStdString();
        std::filesystem::remove(settingsPath_);
    }
    void cleanup() { ResetTransportForTesting(); }

    void startUpListsTheDrivesInOrder() {
        auto drives = UseEmulatedDrives({ThreeTrackDisc(), ThreeTrackDisc()});
        drives[1]->SetIdentity("ABC", "CD-ROM DRIVE", "1.0");
        auto dialog = Open();
        QVERIFY(dialog);
        auto* list = Control<QComboBox>(*dialog, kIdDriveList);
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->itemText(0), QStringLiteral(" [0:0]  VINDRAL EMULATED CD-ROM"));
        QCOMPARE(list->itemText(1), QStringLiteral(" [0:1]  ABC CD-ROM DRIVE"));
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(dialog->CurrentDrive(), 0);
        QCOMPARE(Control<QComboBox>(*dialog, kIdSpeedList)->currentText(), QStringLiteral("default"));
        QVERIFY(dialog->PollTimerActive());
        // Every template control is there, named by its identifier.
        for (const int id : {2, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1013, 1015, 1016,
                             1025, 1026, 1027, 1028, 1032}) {
            QVERIFY2(FindControl(*dialog, id) != nullptr, qPrintable(QString::number(id)));
        }
        // The window's icon, and the picture in its top-left frame, are the
        // icon installed for the desktop.
        auto pixels = [](const QPixmap& pixmap) {
            return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        };
        for (const int size : {16, 32, 48}) {
            const QImage installed(QStringLiteral("%1/hicolor/%2x%2/apps/org.vindral.Vindral.png")
                                       .arg(QString::fromUtf8(VINDRAL_ICON_DIR))
                                       .arg(size));
            QVERIFY(!installed.isNull());
            // Through a pixmap as the icon's picture went (premultiplied).
            const QImage expected = pixels(QPixmap::fromImage(installed));
            QCOMPARE(pixels(dialog->windowIcon().pixmap(size)), expected);
            if (size == 32) {
                int pictures = 0;
                for (QLabel* label : dialog->findChildren<QLabel*>()) {
                    if (!label->pixmap().isNull()) {
                        ++pictures;
                        QCOMPARE(pixels(label->pixmap()), expected);
                    }
                }
                QCOMPARE(pictures, 1);
            }
        }
        QCOMPARE(Control<QLineEdit>(*dialog, kIdNamePrefix)->text(), QStringLiteral("Track"));
        QVERIFY(!Control<QRadioButton>(*dialog, kIdC2Pointers)->isEnabled());
        QCOMPARE(Control<LinkLabel>(*dialog, kIdDiscTracks)->LabelTextColor(), QColor(0, 0, 128));
    }

    void trackListShowsTheTableOfContents() {
        UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        QTreeWidget* list = List(*dialog);
        QCOMPARE(list->columnCount(), 4);
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("Track"));
        QCOMPARE(list->headerItem()->text(3), QStringLiteral("Space"));
        QCOMPARE(list->columnWidth(0), 85);
        QCOMPARE(list->columnWidth(3), 60);
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(list->topLevelItemCount(), 3);
        const char* starts[] = {"00:00.00", "03:20.00", "06:40.00"};
        for (int row = 0; row < 3; ++row) {
            QTreeWidgetItem* item = list->topLevelItem(row);
            QCOMPARE(item->text(0), QStringLiteral("  Track %1").arg(row + 1, 2, 10, QLatin1Char('0')));
            QCOMPARE(item->text(1), QString::fromLatin1(starts[row]));
            QCOMPARE(item->text(2), QStringLiteral("03:20.00"));
            QCOMPARE(item->text(3), QStringLiteral("33.6 MB"));
            QCOMPARE(item->textAlignment(1), int(Qt::AlignCenter));
            QVERIFY(!item->icon(0).isNull());
        }
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("3"));
        QCOMPARE(LabelText(*dialog, kIdDiscLength), QStringLiteral("10:00.00"));
        QVERIFY(StartEnabled(*dialog));
    }

    void f2RenamesOnlyTheTrackColumn() {
        UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        QTreeWidget* list = List(*dialog);
        Select(*dialog, {1});
        for (int column = 0; column < 4; ++column) {
            QTreeWidgetItem* item = list->topLevelItem(1);
            const QStringList before = {item->text(0), item->text(1), item->text(2), item->text(3)};
            list->setCurrentItem(item, column, QItemSelectionModel::NoUpdate);
            QTest::keyClick(list, Qt::Key_F2);
            QVERIFY(Editor(list) != nullptr);
            QCOMPARE(list->currentIndex().column(), 0);
            QLineEdit* editor = Editor(list);
            QCOMPARE(editor->text(), before[0]);
            const QString name = QStringLiteral("Renamed from column %1").arg(column);
            editor->setText(name);
            QTest::keyClick(editor, Qt::Key_Return);
            QTRY_VERIFY_WITH_TIMEOUT(Editor(list) == nullptr, 5000);
            QCOMPARE(item->text(0), name);
            for (int figure = 1; figure < 4; ++figure) {
                QCOMPARE(item->text(figure), before[figure]);
            }
            // Renaming leaves the selection of tracks as it was.
            QVERIFY(item->isSelected());
            QVERIFY(!list->topLevelItem(0)->isSelected());
        }
        // Nothing else opens an editor on a figure: not a direct request, not
        // a double click.
        for (int column = 1; column < 4; ++column) {
            QTreeWidgetItem* item = list->topLevelItem(2);
            const QString figure = item->text(column);
            list->edit(list->model()->index(2, column));
            QVERIFY(Editor(list) == nullptr);
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                               list->visualItemRect(item).topLeft() +
                                   QPoint(list->header()->sectionPosition(column) + 5, 3));
            QVERIFY(Editor(list) == nullptr);
            QCOMPARE(item->text(column), figure);
        }
    }

    void pathLabelShowsTheWholePathOnHover() {
        UseEmulatedDrives({ThreeTrackDisc()});
        const QString folder = Folder("a folder with a name far too long for the path field of the window");
        WriteSettingsFile("\"value1\"=\"" + folder.toStdString() + "\"\n");
        auto dialog = Open();
        QVERIFY(dialog);
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        auto* label = Control<LinkLabel>(*dialog, kIdPath);
        QCOMPARE(label->text(), folder);
        QVERIFY(label->fontMetrics().horizontalAdvance(folder) > label->width());
        QCOMPARE(label->toolTip(), folder);

        // The window system asks the widget under the mouse for its tooltip.
        const QPoint centre = label->geometry().center();
        QCOMPARE(dialog->childAt(centre), label);
        test::Watchdog watchdog(20000);
        QToolTip::hideText();
        QHelpEvent help(QEvent::ToolTip, label->rect().center(),
                        label->mapToGlobal(label->rect().center()));
        QApplication::sendEvent(dialog->childAt(centre), &help);
        QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), folder, 5000);
        QToolTip::hideText();
        QTRY_VERIFY_WITH_TIMEOUT(!QToolTip::isVisible(), 5000);

        // A real hover: the mouse rests over the label until the tooltip shows.
        QTest::mouseMove(dialog->windowHandle(), centre + QPoint(0, 40));
        QTest::mouseMove(dialog->windowHandle(), centre);
        QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), folder, 5000);
        QVERIFY(QToolTip::isVisible());
        QToolTip::hideText();
        QVERIFY(!watchdog.Fired());

        // A folder chosen later is the new tooltip.
        const QString second = Folder("second");
        test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
            QString bare = second;
            bare.chop(1);
            chooser->setDirectory(bare);
            static_cast<QDialog*>(chooser)->accept();
        });
        dialog->BrowseForFolder();
        QCOMPARE(label->text(), second);
        QCOMPARE(label->toolTip(), second);
        QCOMPARE(dialog->childAt(centre), label);
    }

    void audioAndDataRowsGetDifferentPictures() {
        UseEmulatedDrives({MakeDisc({{1, 0}, {2, 300, true}}, 600)});
        auto dialog = Open();
        QVERIFY(dialog);
        const QImage audio = List(*dialog)->topLevelItem(0)->icon(0).pixmap(16, 16).toImage();
        const QImage data = List(*dialog)->topLevelItem(1)->icon(0).pixmap(16, 16).toImage();
        QCOMPARE(audio.size(), QSize(16, 16));
        QVERIFY(audio != data);
    }

    void discRemovedAndInsertedBetweenTicks() {
        const auto disc = ThreeTrackDisc();
        auto drives = UseEmulatedDrives({disc});
        auto dialog = Open();
        QVERIFY(dialog);
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);

        drives[0]->Eject();
        QTRY_COMPARE(List(*dialog)->topLevelItemCount(), 0);
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("-"));
        QCOMPARE(LabelText(*dialog, kIdDiscLength), QStringLiteral("-"));
        QVERIFY(!StartEnabled(*dialog));

        drives[0]->Insert(disc);
        QTRY_COMPARE(List(*dialog)->topLevelItemCount(), 3);
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("3"));
        QCOMPARE(LabelText(*dialog, kIdDiscLength), QStringLiteral("10:00.00"));
        // The disc check enables Start; the next tick applies the selection
        // rule, which wants a selected row.
        Select(*dialog, {1});
        QTRY_VERIFY(StartEnabled(*dialog));
    }

    void discSwapThatAnotherCommandMetFirstIsStillNoticed() {
        auto drives = UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);
        // Between two ticks the disc is swapped and the speed list sends
        // SET CD SPEED, which meets the unit attention and is sent again.
        drives[0]->Insert(MakeDisc({{1, 0}, {2, 300}}, 500));
        auto* speeds = Control<QComboBox>(*dialog, kIdSpeedList);
        speeds->setCurrentIndex(3);
        emit speeds->activated(3);
        QCOMPARE(drives[0]->CommandCount(0xBB), 2u);
        QCOMPARE(drives[0]->LastSetSpeedValue(), 16 * 177);
        // The disc check still sees the change and lists the new disc.
        dialog->RefreshTrackList();
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("2"));
    }

    // What the disc says about itself is read beside the window after the
    // disc check, and goes with the disc: the CD-Text line of the Disc
    // Information box, and a tooltip per track.
    void discDetailsShowAsALineAndTooltipsAndGoWithTheDisc() {
        auto sheet = [](const std::string& text) {
            const emulated::ImageFileOpener opener = [](const std::string&, std::string&) {
                return emulated::MakeMemoryImageFile(std::vector<uint8_t>(900 * kSectorBytes, 0x11));
            };
            std::string error;
            auto disc = emulated::ParseCueSheet(text, "details.cue", "", error, opener);
            if (!disc) {
                qWarning("%s", error.c_str());
            }
            return disc;
        };
        // A hidden track before track 1, a pregap with pre-emphasis, an ISRC,
        // the catalog number, CD-Text at disc and track level.
        const auto pressed = sheet(
            "CATALOG 0602517931596\nTITLE \"Caf\xC3\xA9\"\nPERFORMER \"Band\"\n"
            "FILE \"a.bin\" BINARY\n  TRACK 01 AUDIO\n    ISRC USABC0100001\n"
            "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
            "  TRACK 02 AUDIO\n    TITLE \"Second\"\n    PERFORMER \"Guest\"\n    FLAGS PRE\n"
            "    INDEX 00 00:04:00\n    INDEX 01 00:05:00\n");
        const QString longTitle =
            QStringLiteral("Other songs, with a title far wider than the Disc Information box");
        const auto other = sheet("TITLE \"" + longTitle.toStdString() + "\"\nFILE \"b.bin\" BINARY\n  TRACK 01 AUDIO\n"
                                 "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:03:00\n"
                                 "  TRACK 03 AUDIO\n    INDEX 01 00:06:00\n");
        QVERIFY(pressed && other);
        auto drives = UseEmulatedDrives({pressed});
        drives[0]->SetSpeedLimitKBps(176); // 1x: the reading takes a while
        auto dialog = Open();
        QVERIFY(dialog);
        test::Watchdog watchdog(60000);
        // The disc check itself shows what it always showed, and waits for
        // nothing more.
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("2"));
        QCOMPARE(LabelText(*dialog, kIdDiscText), QString());
        QVERIFY(dialog->Details() == nullptr);
        QVERIFY(dialog->TrackToolTip(0).isEmpty());

        // The reading starts from the event loop; while it runs, the poll
        // tick sends the drive nothing, and the speed list waits for it.
        QTRY_VERIFY(dialog->ReadingDetails());
        const uint64_t checks = drives[0]->CommandCount(0x00);
        const uint64_t tocReads = drives[0]->CommandCount(0x43);
        dialog->PollTick();
        dialog->PollTick();
        QVERIFY(dialog->ReadingDetails());
        QCOMPARE(drives[0]->CommandCount(0x00), checks);
        auto* speeds = Control<QComboBox>(*dialog, kIdSpeedList);
        speeds->setCurrentIndex(8);
        emit speeds->activated(8);
        QVERIFY(!dialog->ReadingDetails());
        QVERIFY(dialog->Details() != nullptr);
        QCOMPARE(drives[0]->CommandCount(0xBB), 1u);
        QVERIFY(drives[0]->CommandCount(0x43) > tocReads); // full TOC, CD-Text

        const QString line = QStringLiteral("Band \u2013 Caf\u00E9");
        const QStringList rowTips = {
            QStringLiteral("ISRC: USABC0100001\nPregap: 00:02.00 (a hidden track)\n"
                           "Pre-emphasis: no"),
            QStringLiteral("Title: Second\nPerformer: Guest\nISRC: none\nPregap: 00:01.00\n"
                           "Pre-emphasis: yes"),
        };
        QCOMPARE(LabelText(*dialog, kIdDiscText), line);
        QCOMPARE(Control<LinkLabel>(*dialog, kIdDiscText)->toolTip(),
                 QStringLiteral("Title: Caf\u00E9\nPerformer: Band\nCatalog number: 0602517931596"));
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(dialog->TrackToolTip(row), rowTips[row]);
        }
        QVERIFY(dialog->TrackToolTip(2).isEmpty());
        // The track list asks for the tip of the row under the mouse.
        QTreeWidget* list = List(*dialog);
        const QRect second = list->visualItemRect(list->topLevelItem(1));
        QToolTip::hideText();
        QHelpEvent help(QEvent::ToolTip, second.center(), list->viewport()->mapToGlobal(second.center()));
        QApplication::sendEvent(list->viewport(), &help);
        QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), rowTips[1], 5000);
        QToolTip::hideText();
        // The Parts' figures stay as they were.
        QCOMPARE(LabelText(*dialog, kIdDiscLength), QStringLiteral("00:12.00"));
        QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("00:05.00"));

        // Kept while the disc stays: the poll reads nothing again.
        const uint64_t kept = drives[0]->CommandCount(0x43);
        for (int i = 0; i < 5; ++i) {
            dialog->PollTick();
        }
        QTest::qWait(50);
        QCOMPARE(drives[0]->CommandCount(0x43), kept);
        QCOMPARE(LabelText(*dialog, kIdDiscText), line);

        // A disc change drops them with the old table, and the new disc's
        // follow; a disc without CD-Text leaves the line empty.
        drives[0]->SetSpeedLimitKBps(0);
        drives[0]->Insert(other);
        dialog->RefreshTrackList();
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);
        QVERIFY(dialog->Details() == nullptr);
        QCOMPARE(LabelText(*dialog, kIdDiscText), QString());
        QVERIFY(dialog->TrackToolTip(0).isEmpty());
        // A line too wide for the box ends in an ellipsis; its tip has it all.
        QTRY_COMPARE(Control<LinkLabel>(*dialog, kIdDiscText)->toolTip(),
                     QStringLiteral("Title: ") + longTitle);
        const QString shown = LabelText(*dialog, kIdDiscText);
        QVERIFY2(shown.endsWith(QChar(0x2026)) && longTitle.startsWith(shown.chopped(1)),
                 qPrintable(shown));
        QCOMPARE(dialog->TrackToolTip(0),
                 QStringLiteral("ISRC: none\nPregap: 00:00.00\nPre-emphasis: no"));
        drives[0]->Insert(ThreeTrackDisc());
        QTRY_VERIFY(dialog->Details() != nullptr && dialog->Details()->tracks.size() == 3 &&
                    dialog->Details()->leadOut == 45000);
        QCOMPARE(LabelText(*dialog, kIdDiscText), QString());
        QVERIFY(Control<LinkLabel>(*dialog, kIdDiscText)->toolTip().isEmpty());
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("3"));
        drives[0]->Eject();
        QTRY_COMPARE(List(*dialog)->topLevelItemCount(), 0);
        QVERIFY(dialog->Details() == nullptr);
        QVERIFY(!watchdog.Fired());
    }

    void unchangedReadinessKeepsTheListAndItsSelection() {
        auto drives = UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        Select(*dialog, {2});
        const uint64_t tocReads = drives[0]->CommandCount(0x43);
        for (int i = 0; i < 5; ++i) {
            dialog->PollTick();
        }
        QCOMPARE(drives[0]->CommandCount(0x43), tocReads);
        QVERIFY(List(*dialog)->topLevelItem(2)->isSelected());
    }

    void selectionFigures() {
        // 75 sectors, 4500 sectors, a data track.
        UseEmulatedDrives({MakeDisc({{1, 0}, {2, 75}, {3, 4575, true}}, 6000)});
        auto dialog = Open();
        QVERIFY(dialog);

        Select(*dialog, {});
        dialog->PollTick();
        QCOMPARE(LabelText(*dialog, kIdSelectedTracks), QStringLiteral("0"));
        QCOMPARE(LabelText(*dialog, kIdSelectedLength), QStringLiteral("00:00.00"));
        QCOMPARE(LabelText(*dialog, kIdSpaceNeeded), QStringLiteral("  0.0 MB"));
        QVERIFY(!StartEnabled(*dialog));

        Select(*dialog, {0});
        dialog->PollTick();
        QCOMPARE(LabelText(*dialog, kIdSelectedTracks), QStringLiteral("1"));
        QCOMPARE(LabelText(*dialog, kIdSelectedLength), QStringLiteral("00:01.00"));
        QCOMPARE(LabelText(*dialog, kIdSpaceNeeded), QStringLiteral("  0.2 MB"));
        QVERIFY(StartEnabled(*dialog));

        Select(*dialog, {1});
        dialog->PollTick();
        QCOMPARE(LabelText(*dialog, kIdSelectedLength), QStringLiteral("01:00.00"));
        QCOMPARE(LabelText(*dialog, kIdSpaceNeeded), QStringLiteral(" 10.1 MB"));

        // With the data track in the selection, Start goes off whatever else
        // is selected.
        Select(*dialog, {0, 1, 2});
        dialog->PollTick();
        QCOMPARE(LabelText(*dialog, kIdSelectedTracks), QStringLiteral("3"));
        QVERIFY(!StartEnabled(*dialog));

        Select(*dialog, {0, 1});
        QTRY_VERIFY(StartEnabled(*dialog)); // by the poll timer itself
        QCOMPARE(LabelText(*dialog, kIdSelectedLength), QStringLiteral("01:01.00"));
    }

    void drivesKeepTheirOwnTables() {
        UseEmulatedDrives({ThreeTrackDisc(), MakeDisc({{1, 0}, {2, 750}}, 1500)});
        auto dialog = Open();
        QVERIFY(dialog);
        auto* drives = Control<QComboBox>(*dialog, kIdDriveList);
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);
        drives->setCurrentIndex(1);
        QCOMPARE(dialog->CurrentDrive(), 1);
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
        QCOMPARE(LabelText(*dialog, kIdDiscLength), QStringLiteral("00:20.00"));
        drives->setCurrentIndex(0);
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);
        QCOMPARE(LabelText(*dialog, kIdDiscLength), QStringLiteral("10:00.00"));
    }

    void speedListSendsTheChosenSpeed() {
        auto drives = UseEmulatedDrives({ThreeTrackDisc()});
        drives[0]->SetReportedSpeeds(7056, 16 * 176 + 175);
        auto dialog = Open();
        QVERIFY(dialog);
        auto* speeds = Control<QComboBox>(*dialog, kIdSpeedList);
        QCOMPARE(speeds->count(), 9);
        for (int i = 0; i < speeds->count(); ++i) {
            QCOMPARE(speeds->itemText(i), QString::fromLatin1(kSpeedLabels[static_cast<std::size_t>(i)]));
        }
        QCOMPARE(speeds->itemText(5), QStringLiteral("  8 X  1375 kB/s"));
        QCOMPARE(LabelText(*dialog, kIdSpeedIndicator), QStringLiteral("16 X"));

        // "default" sends nothing but still asks for the speed.
        const uint64_t senses = drives[0]->CommandCount(0x5A);
        emit speeds->activated(0);
        QCOMPARE(drives[0]->LastSetSpeedValue(), -1);
        QCOMPARE(drives[0]->CommandCount(0xBB), uint64_t{0});
        QCOMPARE(drives[0]->CommandCount(0x5A), senses + 1);

        // Choosing with the keyboard: one step down is "maximum".
        speeds->setFocus();
        QTest::keyClick(speeds, Qt::Key_Down);
        QCOMPARE(speeds->currentIndex(), 1);
        QCOMPARE(drives[0]->LastSetSpeedValue(), 65535);

        speeds->setCurrentIndex(2);
        emit speeds->activated(2);
        QCOMPARE(drives[0]->LastSetSpeedValue(), 32 * 177);
        speeds->setCurrentIndex(8);
        emit speeds->activated(8);
        QCOMPARE(drives[0]->LastSetSpeedValue(), 177);

        // The drive now reads at the speed it was given, and the indicator
        // says so: 8 x 177 kB/s is 8 X.
        speeds->setCurrentIndex(5);
        emit speeds->activated(5);
        QCOMPARE(drives[0]->LastSetSpeedValue(), 8 * 177);
        QCOMPARE(LabelText(*dialog, kIdSpeedIndicator), QStringLiteral("8 X"));
    }

    void speedIndicatorTruncates() {
        auto drives = UseEmulatedDrives({ThreeTrackDisc(), ThreeTrackDisc()});
        drives[0]->SetReportedSpeeds(7056, 175);
        drives[1]->SetReportedSpeeds(7056, 16 * 176);
        auto dialog = Open();
        QVERIFY(dialog);
        QCOMPARE(LabelText(*dialog, kIdSpeedIndicator), QStringLiteral("0 X"));
        Control<QComboBox>(*dialog, kIdDriveList)->setCurrentIndex(1);
        QCOMPARE(LabelText(*dialog, kIdSpeedIndicator), QStringLiteral("16 X"));
    }

    void settingsAreReadAtStartAndWrittenAtClose() {
        UseEmulatedDrives({ThreeTrackDisc()});
        const QString music = Folder("music");

        // No file: verify on, read twice, the home folder.
        {
            auto dialog = Open();
            QVERIFY(dialog);
            QVERIFY(Control<QCheckBox>(*dialog, kIdVerify)->isChecked());
            QVERIFY(Control<QRadioButton>(*dialog, kIdReadTwice)->isChecked());
            QCOMPARE(dialog->PathText(), QString::fromStdString(platform::HomeFolder()));
            QCOMPARE(LabelText(*dialog, kIdPath), dialog->PathText());
            dialog->reject();
        }
        QVERIFY(ReadSettingsFile().find("\"value0\"=hex:03,00,00,00") != std::string::npos);

        // Word 0: verify off, C2 pointers chosen; the stored folder is shown.
        WriteSettingsFile("\"value0\"=hex:00,00,00,00\n\"value1\"=\"" + music.toStdString() + "\"\n");
        {
            auto dialog = Open();
            QVERIFY(dialog);
            QVERIFY(!Control<QCheckBox>(*dialog, kIdVerify)->isChecked());
            QVERIFY(Control<QRadioButton>(*dialog, kIdC2Pointers)->isChecked());
            QCOMPARE(dialog->PathText(), music);
            // The user ticks Verify and picks "Read twice".
            QTest::mouseClick(Control<QCheckBox>(*dialog, kIdVerify), Qt::LeftButton);
            Control<QRadioButton>(*dialog, kIdReadTwice)->click();
            QVERIFY(dialog->CurrentSettings().verify);
            QCOMPARE(dialog->CurrentSettings().verifyMethod, 1);
            QVERIFY(dialog->close());
        }
        std::string saved = ReadSettingsFile();
        QVERIFY2(saved.find("\"value0\"=hex:03,00,00,00") != std::string::npos, saved.c_str());
        QVERIFY(saved.find("\"value1\"=\"" + music.toStdString() + "\"") != std::string::npos);

        // Word 2: verify off, read twice.
        WriteSettingsFile("\"value0\"=hex:02,00,00,00\n");
        {
            auto dialog = Open();
            QVERIFY(dialog);
            QVERIFY(!Control<QCheckBox>(*dialog, kIdVerify)->isChecked());
            QVERIFY(Control<QRadioButton>(*dialog, kIdReadTwice)->isChecked());
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
            QVERIFY(!dialog->PollTimerActive());
        }
        QVERIFY(ReadSettingsFile().find("\"value0\"=hex:02,00,00,00") != std::string::npos);

        // A folder that is gone is not shown, but stays stored.
        const std::string gone = (temp_.path() + "/gone/").toStdString();
        WriteSettingsFile("\"value1\"=\"" + gone + "\"\n");
        {
            auto dialog = Open();
            QVERIFY(dialog);
            QCOMPARE(dialog->PathText(), QString::fromStdString(platform::HomeFolder()));
            Control<QPushButton>(*dialog, kIdExit)->click();
        }
        QVERIFY(ReadSettingsFile().find("\"value1\"=\"" + gone + "\"") != std::string::npos);
    }

    void contextMenuOpensTheAboutBox() {
        UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        QString item;
        bool aboutShown = false;
        bool pollingMeanwhile = false;
        // The menu is a popup, not a modal window.
        auto* findMenu = new QTimer(dialog.get());
        connect(findMenu, &QTimer::timeout, dialog.get(), [&, findMenu] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr || menu->actions().isEmpty()) {
                return;
            }
            findMenu->stop();
            item = menu->actions().value(0)->text();
            test::WhenModal<AboutDialog>([&](AboutDialog* about) {
                aboutShown = true;
                pollingMeanwhile = dialog->PollTimerActive();
                QTest::keyClick(about, Qt::Key_Escape);
            });
            menu->actions().value(0)->trigger();
            menu->close();
        });
        findMenu->start(10);
        test::Watchdog watchdog(20000);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                dialog->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dialog.get(), &event);
        QTRY_VERIFY(aboutShown);
        QVERIFY(!watchdog.Fired());
        QCOMPARE(item, QStringLiteral("&About Vindral..."));
        QVERIFY(pollingMeanwhile); // the main window keeps polling
        QVERIFY(dialog->isVisible());
    }

    // The context menu's texts, then triggers the one named `pick` (if any).
    QStringList UseContextMenu(MainDialog& dialog, const QString& pick) {
        QStringList texts;
        bool done = false;
        auto* findMenu = new QTimer(&dialog);
        connect(findMenu, &QTimer::timeout, &dialog, [&, findMenu] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr || menu->actions().isEmpty()) {
                return;
            }
            findMenu->stop();
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                if (!action->isSeparator()) {
                    texts << action->text();
                }
                if (action->text() == pick) {
                    chosen = action;
                }
            }
            menu->close();
            if (chosen != nullptr) {
                chosen->trigger();
            }
            done = true;
        });
        findMenu->start(10);
        test::Watchdog watchdog(20000);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                dialog.mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(&dialog, &event);
        if (!done) {
            QTest::qWait(10);
        }
        return texts;
    }

    void emulatedDrivesOfferEjectAndLoadImage() {
        auto drives = UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        // Without emulated drives known to the window: About and the read offset.
        QCOMPARE(UseContextMenu(*dialog, QString()),
                 (QStringList{"&About Vindral...", "Read offset...", "Find read offset..."}));

        dialog->SetEmulatedDrives(drives);
        QCOMPARE(UseContextMenu(*dialog, QStringLiteral("Eject")),
                 (QStringList{"&About Vindral...", "Read offset...", "Find read offset...", "Eject",
                              "Load image..."}));
        QVERIFY(!drives[0]->CurrentDisc());
        QTRY_COMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("-"));
        QCOMPARE(List(*dialog)->topLevelItemCount(), 0);
        // Without a disc the offset search has nothing to read.
        QString noDisc;
        test::WhenModal<QMessageBox>([&noDisc](QMessageBox* box) {
            noDisc = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        UseContextMenu(*dialog, QStringLiteral("Find read offset..."));
        QTRY_COMPARE(noDisc, QStringLiteral("There is no disc in the drive."));
        QCOMPARE(dialog->CurrentReadOffset(), 0);

        // A sheet of two tracks goes in; the disc check lists them.
        const QString folder = Folder("image");
        {
            std::ofstream bin((folder + "two.bin").toStdString(), std::ios::binary);
            const std::string sectors(70 * 2352, '\x11');
            bin << sectors;
            std::ofstream cue((folder + "two.cue").toStdString());
            cue << "FILE two.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                   "TRACK 02 AUDIO\nINDEX 01 00:00:40\n";
            std::ofstream broken((folder + "broken.cue").toStdString());
            broken << "FILE missing.bin BINARY\n";
        }
        dialog->SetImageChooser([folder] { return folder + "two.cue"; });
        UseContextMenu(*dialog, QStringLiteral("Load image..."));
        QVERIFY(drives[0]->CurrentDisc());
        QTRY_COMPARE(List(*dialog)->topLevelItemCount(), 2);
        QCOMPARE(LabelText(*dialog, kIdDiscTracks), QStringLiteral("2"));

        // A sheet that cannot be loaded is named; the disc stays.
        QString shown;
        test::WhenModal<QMessageBox>([&shown](QMessageBox* box) {
            shown = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        dialog->SetImageChooser([folder] { return folder + "broken.cue"; });
        UseContextMenu(*dialog, QStringLiteral("Load image..."));
        QTRY_VERIFY(!shown.isEmpty());
        QVERIFY2(shown.contains("broken.cue:1: cannot open 'missing.bin'"), qPrintable(shown));
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
        // Cancelling the chooser changes nothing.
        dialog->SetImageChooser([] { return QString(); });
        UseContextMenu(*dialog, QStringLiteral("Load image..."));
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
    }

    void readOffsetIsKeptPerDriveModelAndCorrectsTheRip() {
        const auto disc = MakeDisc({{1, 0}, {2, 40}}, 70);
        auto drives = UseEmulatedDrives({disc, disc});
        emulated::DriveBehaviour behaviour;
        behaviour.offsetSamples = 30; // sample j is the disc's sample j - 30
        drives[0]->SetBehaviour(behaviour);
        drives[1]->SetIdentity("OTHER", "DRIVE", "1.0");
        WriteSettingsFile("\"value0\"=hex:00,00,00,00\n\"value1\"=\"" +
                          Folder("offset").toStdString() + "\"\n" +
                          "\"offset:OTHER DRIVE\"=hex:64,00,00,00\n");
        auto dialog = Open();
        QVERIFY(dialog);
        auto* driveList = Control<QComboBox>(*dialog, kIdDriveList);
        QCOMPARE(dialog->CurrentDriveModel(), std::string("VINDRAL EMULATED CD-ROM"));
        QCOMPARE(dialog->CurrentReadOffset(), 0);
        QCOMPARE(driveList->toolTip(), QStringLiteral("Read offset: 0 samples"));

        // "Read offset..." asks with the model and the offset it has now.
        QString askedModel;
        int32_t askedCurrent = -1;
        dialog->SetReadOffsetChooser([&](const QString& model, int32_t current) {
            askedModel = model;
            askedCurrent = current;
            return std::optional<int32_t>(30);
        });
        UseContextMenu(*dialog, QStringLiteral("Read offset..."));
        QCOMPARE(askedModel, QStringLiteral("VINDRAL EMULATED CD-ROM"));
        QCOMPARE(askedCurrent, 0);
        QCOMPARE(dialog->CurrentReadOffset(), 30);
        QCOMPARE(driveList->toolTip(), QStringLiteral("Read offset: +30 samples"));
        // Cancelled: nothing changes.
        dialog->SetReadOffsetChooser([](const QString&, int32_t) { return std::optional<int32_t>(); });
        UseContextMenu(*dialog, QStringLiteral("Read offset..."));
        QCOMPARE(dialog->CurrentReadOffset(), 30);

        // Each model has its own.
        driveList->setCurrentIndex(1);
        QCOMPARE(dialog->CurrentReadOffset(), 100);
        QCOMPARE(driveList->toolTip(), QStringLiteral("Read offset: +100 samples"));
        driveList->setCurrentIndex(0);
        QCOMPARE(dialog->CurrentReadOffset(), 30);
        dialog->PollTick();

        // Start corrects the rip: the last track holds the disc's samples, its
        // last 30 (past the disc's end) as silence.
        Select(*dialog, {1});
        dialog->PollTick();
        QStringList log;
        CloseWhenFinished(log);
        test::Watchdog watchdog(60000);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());
        QVERIFY2(log.contains(QStringLiteral("  Offset: 30 samples past the disc's end written as silence")),
                 qPrintable(log.join('\n')));
        const QString path = dialog->PathText() + "Track02.wav";
        std::ifstream in(path.toStdString(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        QCOMPARE(bytes.size(), std::size_t(44 + 30 * kSectorBytes));
        std::vector<uint8_t> expected;
        for (SectorAddress a = 40; a < 70; ++a) {
            const auto sector = test::SectorBytes(*disc, a);
            expected.insert(expected.end(), sector.begin(), sector.end());
        }
        std::fill(expected.end() - 30 * 4, expected.end(), uint8_t{0});
        QVERIFY(std::equal(expected.begin(), expected.end(), bytes.begin() + 44));

        // The offsets are written with the settings at close.
        dialog->reject();
        const std::string text = ReadSettingsFile();
        QVERIFY2(text.find("\"offset:VINDRAL EMULATED CD-ROM\"=hex:1e,00,00,00") != std::string::npos,
                 text.c_str());
        QVERIFY2(text.find("\"offset:OTHER DRIVE\"=hex:64,00,00,00") != std::string::npos,
                 text.c_str());
    }

    void noDriveDetailNamesTheNodesTried() {
        auto kernel = std::make_shared<linuxdrive::test::FakeKernel>();
        auto& locked = kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
        locked.writable = false;
        locked.readable = false;
        kernel->groups["/dev/sr0"] = "cdrom";
        ResetTransportForTesting();
        SelectTransport(std::make_unique<linuxdrive::LinuxPassThrough>(kernel));
        QString text;
        QString detail;
        test::WhenModal<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            detail = box->detailedText();
            box->button(QMessageBox::Ok)->click();
        });
        test::Watchdog watchdog(10000);
        MainDialog dialog;
        dialog.SetSettingsPath(settingsPath_);
        QVERIFY(!dialog.Initialise());
        QVERIFY(!watchdog.Fired());
        QCOMPARE(text, QStringLiteral("Unable to reach a CD-ROM drive through SG_IO"));
        QVERIFY2(detail.startsWith("/dev/sr0: Permission denied (the user must be in the group "
                                   "'cdrom'); /dev/sr1 to /dev/sr23: No such file or directory"),
                 qPrintable(detail));
        QVERIFY(detail.contains("--demo"));
        QVERIFY(detail.contains("--image"));
    }

    void startUpFailuresShowTheirMessageAndWriteNothing() {
        struct Case {
            std::function<void()> setUp;
            QString message;
        };
        const Case cases[] = {
            {[] { UseEmulatedDrives({}); },
             QStringLiteral("Unable to reach a CD-ROM drive through SG_IO")},
            {[] {
                 ResetTransportForTesting();
                 SelectTransport(std::make_unique<EmptyBusBackend>());
             },
             QStringLiteral("No CD-ROM drives found")},
        };
        for (const Case& c : cases) {
            c.setUp();
            QString shown;
            test::WhenModal<QMessageBox>([&shown](QMessageBox* box) {
                shown = box->text();
                box->button(QMessageBox::Ok)->click();
            });
            test::Watchdog watchdog(10000);
            MainDialog dialog;
            dialog.SetSettingsPath(settingsPath_);
            QVERIFY(!dialog.Initialise());
            QVERIFY(!watchdog.Fired());
            QCOMPARE(shown, c.message);
            QVERIFY(!dialog.PollTimerActive());
            QVERIFY(!std::filesystem::exists(settingsPath_));
        }
    }

    void browsingForAFolderAppendsASlash() {
        UseEmulatedDrives({ThreeTrackDisc()});
        auto dialog = Open();
        QVERIFY(dialog);
        const QString target = Folder("picked");
        QString title;
        test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
            title = chooser->windowTitle();
            QString bare = target;
            bare.chop(1);
            chooser->setDirectory(bare);
            static_cast<QDialog*>(chooser)->accept(); // the file dialog's own accept
        });
        test::Watchdog watchdog(20000);
        Control<QPushButton>(*dialog, kIdBrowse)->click();
        QVERIFY(!watchdog.Fired());
        QCOMPARE(title, QStringLiteral("Select path"));
        QCOMPARE(dialog->PathText(), target);
        QCOMPARE(QString::fromStdString(dialog->CurrentSettings().outputFolder), target);

        // Cancelling changes nothing.
        test::WhenModal<QFileDialog>([](QFileDialog* chooser) { chooser->reject(); });
        Control<QPushButton>(*dialog, kIdBrowse)->click();
        QCOMPARE(dialog->PathText(), target);
    }

    void notEnoughSpaceRefusesTheStart() {
        auto drives = UseEmulatedDrives({MakeDisc({{1, 0}, {2, 300}}, 500)});
        // Only READ(10) works here: the probe switches the drive to audio
        // blocks, and the refusal must switch it back.
        drives[0]->SetAcceptedReads(false, false, true);
        auto dialog = Open();
        QVERIFY(dialog);
        const QString out = Folder("full");
        dialog->SetFreeSpaceQuery([](const ExtractJob&) { return uint64_t{1000}; });
        // The folder comes from the settings in a real run; here from the
        // browser.
        test::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
            chooser->setDirectory(out);
            static_cast<QDialog*>(chooser)->accept(); // the file dialog's own accept
        });
        Control<QPushButton>(*dialog, kIdBrowse)->click();
        Select(*dialog, {0, 1});
        dialog->PollTick();

        QString text;
        QString caption;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool timerDuringBox = true;
        test::WhenModal<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            caption = box->windowTitle();
            icon = box->icon();
            timerDuringBox = dialog->PollTimerActive();
            box->button(QMessageBox::Ok)->click();
        });
        test::Watchdog watchdog(20000);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());
        const uint64_t needed = uint64_t{500} * kSectorBytes;
        QCOMPARE(text, QStringLiteral("Not enough diskspace\n%1 more bytes needed").arg(needed - 1000));
        QCOMPARE(caption, QStringLiteral("Vindral"));
        QCOMPARE(icon, QMessageBox::Critical);
        QVERIFY(!timerDuringBox);
        QVERIFY(dialog->PollTimerActive());
        QCOMPARE(drives[0]->BlockLength(), uint32_t{2048});
        QVERIFY(!std::filesystem::exists((out + "Track01.wav").toStdString()));
        QVERIFY(List(*dialog)->topLevelItem(0)->isSelected());
    }

    void startRipsTheSelectedTracksInTrackOrder() {
        const auto disc = MakeDisc({{1, 0}, {2, 40}, {3, 100}, {4, 130}}, 170);
        auto drives = UseEmulatedDrives({disc});
        WriteSettingsFile("\"value0\"=hex:00,00,00,00\n\"value1\"=\"" +
                          Folder("rip").toStdString() + "\"\n");
        auto dialog = Open();
        QVERIFY(dialog);
        Control<QLineEdit>(*dialog, kIdNamePrefix)->setText(QStringLiteral("Song"));
        Select(*dialog, {2, 0});
        dialog->PollTick();

        QStringList log;
        bool timerDuringRun = true;
        CloseWhenFinished(log, [&](ExtractDialog*) { timerDuringRun = dialog->PollTimerActive(); });
        test::Watchdog watchdog(60000);
        const uint64_t tocReads = drives[0]->CommandCount(0x43);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());
        QVERIFY(!timerDuringRun);
        QVERIFY(dialog->PollTimerActive());
        QVERIFY(dialog->RunningExtraction() == nullptr);

        const QString folder = dialog->PathText();
        QCOMPARE(log.size(), 8);
        QCOMPARE(log[1], QStringLiteral("---> Extracting track 01"));
        QCOMPARE(log[3], QStringLiteral("  Filename: %1Song01.wav").arg(folder));
        QCOMPARE(log[4], QStringLiteral("---> Extracting track 03"));
        QCOMPARE(log[6], QStringLiteral("  Filename: %1Song03.wav").arg(folder));
        QCOMPARE(log[7], QStringLiteral("2 track(s) extracted"));

        // The files hold the sectors of their tracks after the header.
        const struct {
            const char* name;
            SectorAddress start;
            int32_t length;
        } files[] = {{"Song01.wav", 0, 40}, {"Song03.wav", 100, 30}};
        for (const auto& f : files) {
            std::ifstream in((folder + f.name).toStdString(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
            QCOMPARE(bytes.size(), std::size_t(44 + f.length * kSectorBytes));
            for (const int32_t offset : {0, f.length - 1}) {
                const auto expected = test::SectorBytes(*disc, f.start + offset);
                const auto mismatch = std::mismatch(expected.begin(), expected.end(),
                                                    bytes.begin() + 44 + offset * kSectorBytes);
                QVERIFY2(mismatch.first == expected.end(),
                         qPrintable(QStringLiteral("%1 sector %2 byte %3: %4 against %5")
                                        .arg(f.name).arg(offset)
                                        .arg(mismatch.first - expected.begin())
                                        .arg(int(*mismatch.first)).arg(int(*mismatch.second))));
            }
        }
        QVERIFY(!std::filesystem::exists((folder + "Song02.wav").toStdString()));
        // Same disc, same readiness: the list and its selection stay.
        QCOMPARE(drives[0]->CommandCount(0x43), tocReads);
        QVERIFY(List(*dialog)->topLevelItem(2)->isSelected());
    }

    // "Find read offset...": an image whose emulated drive has read offset
    // +667, its AccurateRip answer served from 127.0.0.1 (the settings name
    // the server); the result is shown, and kept for the drive model when
    // the user accepts it.
    void findReadOffsetKeepsTheAcceptedOffset() {
        const QString folder = Folder("findoffset");
        const int32_t starts[] = {0, 470, 970};
        const int32_t lengths[] = {470, 500, 463};
        std::vector<uint8_t> audio(1433u * kSectorBytes);
        uint32_t state = 4711;
        for (uint8_t& byte : audio) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 16);
        }
        std::ofstream((folder + "disc.bin").toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(audio.data()),
                   static_cast<std::streamsize>(audio.size()));
        std::ofstream((folder + "disc.cue").toStdString())
            << "REM DRIVE OFFSET 667\nFILE \"disc.bin\" BINARY\n"
            << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
            << "  TRACK 02 AUDIO\n    INDEX 01 00:06:20\n"
            << "  TRACK 03 AUDIO\n    INDEX 01 00:12:70\n";

        // The pressed disc's sums, one pressing.
        accuracy::AccurateRipResponse pressing;
        pressing.id = test::AccurateRipIdOfTable(test::AudioTable(
            {{starts[0], lengths[0]}, {starts[1], lengths[1]}, {starts[2], lengths[2]}}));
        for (int t = 0; t < 3; ++t) {
            accuracy::TrackChecksums sums(static_cast<uint64_t>(lengths[t]) * 588, {t == 0, t == 2});
            sums.Add(audio.data() + static_cast<std::size_t>(starts[t]) * kSectorBytes,
                     static_cast<std::size_t>(lengths[t]) * kSectorBytes);
            pressing.tracks.push_back({5, sums.Result().arV2, sums.Result().arOffsetFinding});
        }
        const accuracy::AccurateRipId& id = pressing.id;
        const std::string dbar = test::DbarBytes({pressing});
        test::LocalHttpServer server;
        qputenv("XDG_CACHE_HOME", (temp_.path() + "/findcache").toUtf8());
        WriteSettingsFile("\"accurateRipUrl\"=\"" + server.Url() + "/ar\"\n");

        DriveSourceOptions source;
        source.images.push_back((folder + "disc.cue").toStdString());
        std::string error;
        QVERIFY2(SetUpDrives(source, error), error.c_str());
        auto dialog = Open();
        QVERIFY(dialog);
        const QString model = QString::fromStdString(dialog->CurrentDriveModel());
        QVERIFY(!model.isEmpty());
        QCOMPARE(dialog->CurrentReadOffset(), 0);

        // Not in the database yet: said so, nothing kept.
        QString shown;
        auto answer = [&shown](QMessageBox::StandardButton button) {
            test::WhenModal<QMessageBox>([&shown, button](QMessageBox* box) {
                shown = box->text();
                box->button(button)->click();
            });
        };
        answer(QMessageBox::Ok);
        UseContextMenu(*dialog, QStringLiteral("Find read offset..."));
        QTRY_VERIFY(!shown.isEmpty());
        QCOMPARE(shown, QStringLiteral("AccurateRip: not in database"));
        QCOMPARE(dialog->CurrentReadOffset(), 0);

        // Found, declined: nothing kept.
        server.Set("/ar/" + id.DatabasePath(), dbar);
        const QString expected = QStringLiteral("Read offset +667: 3 of 3 tracks agree\n\n"
                                                "Use +667 samples as the read offset of %1?")
                                     .arg(model);
        shown.clear();
        answer(QMessageBox::No);
        UseContextMenu(*dialog, QStringLiteral("Find read offset..."));
        QTRY_VERIFY(!shown.isEmpty());
        QCOMPARE(shown, expected);
        QCOMPARE(dialog->CurrentReadOffset(), 0);

        // Accepted: kept for the model (the answer now comes from the cache).
        shown.clear();
        answer(QMessageBox::Yes);
        UseContextMenu(*dialog, QStringLiteral("Find read offset..."));
        QTRY_VERIFY(!shown.isEmpty());
        QCOMPARE(shown, expected);
        QCOMPARE(dialog->CurrentReadOffset(), 667);
        QCOMPARE(Control<QComboBox>(*dialog, kIdDriveList)->toolTip(),
                 QStringLiteral("Read offset: +667 samples"));
        QCOMPARE(server.Requests().size(), std::size_t(2));
        dialog->reject();
        const std::string text = ReadSettingsFile();
        const std::string value = "\"offset:" + model.toStdString() + "\"=hex:9b,02,00,00";
        QVERIFY2(text.find(value) != std::string::npos, text.c_str());
        qunsetenv("XDG_CACHE_HOME");
    }

    // "Skip verification of tracks the databases confirm": the databases (a
    // server on 127.0.0.1 named in the settings) confirm every track, so a
    // verified run reads the disc once, adds the results after its last
    // line and writes the sealed rip log; the choice is kept.
    void skipConfirmedReadsAConfirmedDiscOnce() {
        const auto disc = MakeDisc({{1, 0}, {2, 600}, {3, 1100}}, 1600);
        auto drives = UseEmulatedDrives({disc});
        const int lengths[] = {600, 500, 500};
        std::vector<accuracy::TrackSums> sums;
        SectorAddress start = 0;
        for (int t = 0; t < 3; ++t) {
            const accuracy::TrackPlace place{t == 0, t == 2};
            accuracy::TrackChecksums track(static_cast<uint64_t>(lengths[t]) * 588, place,
                                           accuracy::CtdbTrimFor(place, 1600ull * 588));
            for (int k = 0; k < lengths[t]; ++k) {
                const auto bytes = test::SectorBytes(*disc, start + k);
                track.Add(bytes.data(), bytes.size());
            }
            sums.push_back(track.Result());
            start += lengths[t];
        }
        accuracy::AccurateRipResponse pressing;
        pressing.id = test::AccurateRipIdOfTable(test::AudioTable({{0, 600}, {600, 500}, {1100, 500}}));
        for (const auto& track : sums) {
            pressing.tracks.push_back({9, track.arV2, 0});
        }
        const accuracy::AccurateRipId& id = pressing.id;
        const std::string dbar = test::DbarBytes({pressing});
        test::LocalHttpServer server;
        server.Set("/accuraterip/" + id.DatabasePath(), dbar);
        qputenv("XDG_CACHE_HOME", (temp_.path() + "/cache").toUtf8());

        const QString out = Folder("confirmed");
        WriteSettingsFile("\"value0\"=hex:03,00,00,00\n\"checkAccuracy\"=hex:01,00,00,00\n"
                          "\"skipConfirmed\"=hex:01,00,00,00\n"
                          "\"value1\"=\"" + out.toStdString() +
                          "\"\n\"accurateRipUrl\"=\"" + server.Url() + "/accuraterip\"\n"
                          "\"ctdbUrl\"=\"" + server.Url() + "\"\n");
        auto dialog = Open();
        QVERIFY(dialog);
        auto* check = Control<QCheckBox>(*dialog, kIdCheckAccuracy);
        QVERIFY(check->isChecked());
        QCOMPARE(check->text(), QStringLiteral("Check the rip against AccurateRip and CTDB"));
        auto* skip = Control<QCheckBox>(*dialog, kIdSkipConfirmed);
        QVERIFY(skip->isChecked());
        QVERIFY(skip->isEnabled());
        QCOMPARE(skip->text(), QStringLiteral("Skip verification of tracks the databases confirm"));
        // The CTDB repair, off until chosen, and only with the check.
        auto* repair = Control<QCheckBox>(*dialog, kIdRepairFromCtdb);
        QVERIFY(repair->isEnabled() && !repair->isChecked());
        repair->click();
        QVERIFY(dialog->CurrentSettings().repairFromCtdb);
        repair->click();
        QVERIFY(!dialog->CurrentSettings().repairFromCtdb);
        Select(*dialog, {0, 1, 2});
        dialog->PollTick();

        QStringList log;
        CloseWhenFinished(log);
        test::Watchdog watchdog(60000);
        const uint64_t reads = drives[0]->CommandCount(0xBE);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());

        // One reading: 38 + 32 + 32 blocks, and at most the read-method probe.
        const uint64_t used = drives[0]->CommandCount(0xBE) - reads;
        QVERIFY2(used >= 102 && used <= 104, qPrintable(QString::number(used)));
        QVERIFY2(!log.join("\n").contains("---> Verifying"), qPrintable(log.join("\n")));
        QCOMPARE(log.count(QStringLiteral("  Verification skipped: AccurateRip confirms the copy "
                                          "(confidence 9)")),
                 3);
        const int extracted = log.indexOf(QStringLiteral("3 track(s) extracted"));
        QVERIFY(extracted > 0);
        QCOMPARE(log.size(), extracted + 8);
        char first[96];
        std::snprintf(first, sizeof first,
                      "Track 01: accurate (AccurateRip v2, confidence 9 of 9) [%08X]", sums[0].arV2);
        QCOMPARE(log[extracted + 1], QString::fromLatin1(first));
        QCOMPARE(log[extracted + 2].left(34), QStringLiteral("Track 01: not in database (CTDB) ["));
        QCOMPARE(log.last(), QStringLiteral("Accuracy: 3 of 3 track(s) accurate, 0 not accurate, "
                                            "0 not in database"));

        // The rip log beside the files, sealed.
        std::ifstream in((out + "Track.log").toStdString(), std::ios::binary);
        std::ostringstream ripLog;
        ripLog << in.rdbuf();
        QCOMPARE(accuracy::VerifyRipLog(ripLog.str()), accuracy::RipLogState::Matches);
        QVERIFY(ripLog.str().find("AccurateRip ID: " + id.Text()) != std::string::npos);

        // The check without skipping: every track is read twice, and the
        // results and the rip log are there all the same.
        skip->click();
        QVERIFY(!dialog->CurrentSettings().skipConfirmed);
        auto run = [&](const QString& prefix) {
            Control<QLineEdit>(*dialog, kIdNamePrefix)->setText(prefix);
            Select(*dialog, {0, 1, 2});
            dialog->PollTick();
            QStringList lines;
            CloseWhenFinished(lines);
            test::Watchdog again(60000);
            Control<QPushButton>(*dialog, kIdStart)->click();
            return lines;
        };
        const QStringList checked = run(QStringLiteral("Checked"));
        QCOMPARE(checked.filter(QRegularExpression(QStringLiteral("^---> Verifying"))).size(), 3);
        QCOMPARE(checked.last(), log.last());
        QVERIFY(QFileInfo::exists(out + "Checked.log"));

        // Without the check: skipping is greyed, nobody is asked, no results
        // and no rip log.
        check->click();
        QVERIFY(!dialog->CurrentSettings().checkAccuracy);
        QVERIFY(!skip->isEnabled());
        QVERIFY(!repair->isEnabled());
        skip->click(); // greyed: no effect
        QVERIFY(!dialog->CurrentSettings().skipConfirmed);
        const std::size_t asked = server.Requests().size();
        const QStringList plain = run(QStringLiteral("Plain"));
        QVERIFY(plain.contains(QStringLiteral("3 track(s) extracted")));
        QVERIFY2(plain.filter(QStringLiteral("ccura")).isEmpty(), qPrintable(plain.join("\n")));
        QCOMPARE(server.Requests().size(), asked);
        QVERIFY(!QFileInfo::exists(out + "Plain.log"));

        // Unticked, the choices are stored as such: neither value is kept.
        dialog->reject();
        QVERIFY2(ReadSettingsFile().find("\"value0\"=hex:03,00,00,00") != std::string::npos,
                 ReadSettingsFile().c_str());
        QVERIFY2(ReadSettingsFile().find("checkAccuracy") == std::string::npos, ReadSettingsFile().c_str());
        QVERIFY2(ReadSettingsFile().find("skipConfirmed") == std::string::npos, ReadSettingsFile().c_str());
        qunsetenv("XDG_CACHE_HOME");
    }

    // "Secure reading", kept with the settings as a value of its own: the run
    // re-reads what fails or carries C2 errors, names the places in the log,
    // goes on past the suspicious track and marks the columns of the peak
    // display, repaired ones blue and suspicious ones red.
    // The databases are asked beside the window: while a slow answer is on
    // its way the window is disabled but goes on taking events, and ending
    // the program then ends it without reading the disc.
    void databaseLookUpLeavesTheWindowAliveAndCanEndIt() {
        const auto disc = MakeDisc({{1, 0}, {2, 600}, {3, 1100}}, 1600);
        auto drives = UseEmulatedDrives({disc});
        const accuracy::AccurateRipId id =
            test::AccurateRipIdOfTable(test::AudioTable({{0, 600}, {600, 500}, {1100, 500}}));
        test::LocalHttpServer server;
        server.Set("/accuraterip/" + id.DatabasePath(),
                   test::LocalHttpServer::Answer{404, "", 1500});
        qputenv("XDG_CACHE_HOME", (temp_.path() + "/slowcache").toUtf8());
        WriteSettingsFile("\"value0\"=hex:01,00,00,00\n\"skipConfirmed\"=hex:01,00,00,00\n"
                          "\"value1\"=\"" + Folder("slow").toStdString() +
                          "\"\n\"accurateRipUrl\"=\"" + server.Url() + "/accuraterip\"\n"
                          "\"ctdbUrl\"=\"" + server.Url() + "\"\n");
        for (const bool end : {false, true}) {
            auto dialog = Open();
            QVERIFY(dialog);
            Select(*dialog, {0});
            dialog->PollTick();
            bool disabledMeanwhile = false;
            QTimer::singleShot(300, dialog.get(), [&dialog, &disabledMeanwhile, end] {
                disabledMeanwhile = !dialog->isEnabled();
                if (end) {
                    dialog->EndProgram(); // as SIGTERM does
                }
            });
            QStringList log;
            if (!end) {
                CloseWhenFinished(log);
            }
            test::Watchdog watchdog(30000);
            const uint64_t reads = drives[0]->CommandCount(0xBE);
            const std::size_t asked = server.Requests().size();
            Control<QPushButton>(*dialog, kIdStart)->click();
            QVERIFY(!watchdog.Fired());
            QVERIFY2(disabledMeanwhile, end ? "ending" : "running");
            QCOMPARE(server.Requests().size() - asked, std::size_t{2}); // AccurateRip, CTDB
            const uint64_t used = drives[0]->CommandCount(0xBE) - reads;
            if (end) {
                QVERIFY2(used <= 1, qPrintable(QString::number(used))); // the read-method probe
                QVERIFY(!dialog->isVisible());
                QCOMPARE(dialog->result(), int(QDialog::Rejected));
            } else {
                QVERIFY(used > 30);
                QVERIFY(dialog->isEnabled());
                QVERIFY2(log.contains(QStringLiteral("1 track(s) extracted")),
                         qPrintable(log.join("\n")));
                QCOMPARE(log.last(), QStringLiteral("Accuracy: 0 of 1 track(s) accurate, "
                                                    "0 not accurate, 1 not in database"));
                dialog->reject();
            }
        }
        qunsetenv("XDG_CACHE_HOME");
    }

    // "FLAC" in File Options: the files are FLAC files, tagged with the
    // disc's numbers, and the choice is a settings value of its own.
    void flacFilesAndCueSheetChosenInFileOptions() {
        UseEmulatedDrives({MakeDisc({{1, 0}, {2, 300}}, 500)});
        const QString out = Folder("flac");
        WriteSettingsFile("\"value0\"=hex:00,00,00,00\n\"value1\"=\"" + out.toStdString() +
                          "\"\n");
        auto dialog = Open();
        QVERIFY(dialog);
        auto* format = Control<QComboBox>(*dialog, kIdFileFormat);
        QCOMPARE(format->currentText(), QStringLiteral("WAV"));
        format->setCurrentIndex(1);
        emit format->activated(1);
        QVERIFY(dialog->CurrentSettings().flacFiles);
        Select(*dialog, {0});
        dialog->PollTick();
        QStringList log;
        CloseWhenFinished(log);
        test::Watchdog watchdog(60000);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());
        QVERIFY2(log.contains(QStringLiteral("  Filename: ") + out + QStringLiteral("Track01.flac")),
                 qPrintable(log.join("\n")));
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("Track01.flac")});
        const test::DecodedFlac flac = test::DecodeFlac((out + "Track01.flac").toStdString());
        QVERIFY(flac.decoded);
        QCOMPARE(flac.pcm.size(), std::size_t{300} * 2352);
        QVERIFY(flac.HasComment("TRACKNUMBER=1"));
        QVERIFY(flac.HasComment("TRACKTOTAL=2"));
        dialog->reject();
        QVERIFY2(ReadSettingsFile().find("\"flacFiles\"=hex:01,00,00,00") != std::string::npos,
                 ReadSettingsFile().c_str());
        QVERIFY2(ReadSettingsFile().find("cueSheet") == std::string::npos,
                 ReadSettingsFile().c_str());

        // "Write cue sheet": a rip of some tracks writes none, a rip of every
        // track the sheet and playlist of rip --cue, naming the FLAC files.
        dialog = Open();
        auto* cueSheet = Control<QCheckBox>(*dialog, kIdCueSheet);
        QCOMPARE(cueSheet->text(), QStringLiteral("Write cue sheet"));
        QVERIFY(!cueSheet->isChecked());
        cueSheet->click();
        QVERIFY(dialog->CurrentSettings().cueSheet);
        for (const auto& rows : {std::initializer_list<int>{1}, {0, 1}}) {
            QDir(out).removeRecursively();
            QVERIFY(QDir().mkpath(out));
            Select(*dialog, rows);
            dialog->PollTick();
            CloseWhenFinished(log);
            test::Watchdog run(60000);
            Control<QPushButton>(*dialog, kIdStart)->click();
            QVERIFY(!run.Fired());
        }
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("Track.cue"), QStringLiteral("Track.m3u"),
                              QStringLiteral("Track01.flac"), QStringLiteral("Track02.flac")}));
        QFile sheet(out + "Track.cue");
        QVERIFY(sheet.open(QIODevice::ReadOnly));
        const std::string text = sheet.readAll().toStdString();
        for (const char* line : {"FILE \"Track01.flac\" WAVE\n  TRACK 01 AUDIO\n",
                                 "FILE \"Track02.flac\" WAVE\n", "  TRACK 02 AUDIO\n"}) {
            QVERIFY2(text.find(line) != std::string::npos, text.c_str());
        }
        dialog->reject();
        QVERIFY2(ReadSettingsFile().find("\"cueSheet\"=hex:01,00,00,00") != std::string::npos,
                 ReadSettingsFile().c_str());

        // Read back; WAV again, and no sheet, leave the settings file without
        // the values.
        dialog = Open();
        format = Control<QComboBox>(*dialog, kIdFileFormat);
        QCOMPARE(format->currentText(), QStringLiteral("FLAC"));
        format->setCurrentIndex(0);
        emit format->activated(0);
        cueSheet = Control<QCheckBox>(*dialog, kIdCueSheet);
        QVERIFY(cueSheet->isChecked());
        cueSheet->click();
        dialog->reject();
        QVERIFY2(ReadSettingsFile().find("flacFiles") == std::string::npos,
                 ReadSettingsFile().c_str());
        QVERIFY2(ReadSettingsFile().find("cueSheet") == std::string::npos,
                 ReadSettingsFile().c_str());
    }

    // "Look up track names online" against MusicBrainz on 127.0.0.1 with two
    // releases for the disc: the window stays alive while it asks, the names
    // fill the rows but a row the user renamed keeps its name, the box shows
    // album, artist and year, the chooser switches the release, a template
    // names the files with them and the tags carry them; off, the window is
    // as it was. With VINDRAL_SCREENSHOTS set, the window and the chooser are
    // saved there as pictures.
    void lookedUpNamesFillTheListTheBoxAndTheFiles() {
        auto drives = UseEmulatedDrives({MakeDisc({{1, 0}, {2, 600}, {3, 1100}}, 1600)});
        const QString out = Folder("named");
        test::LocalHttpServer server;
        qputenv("XDG_CACHE_HOME", (temp_.path() + "/namecache").toUtf8());
        qputenv("LC_ALL", "en_GB.UTF-8"); // the user's country: GB, the first release's
        qunsetenv("VINDRAL_NO_METADATA");
        const std::string url = server.Url();
        WriteSettingsFile("\"value0\"=hex:00,00,00,00\n\"value1\"=\"" + out.toStdString() +
                          "\"\n\"flacFiles\"=hex:01,00,00,00\n\"naming\"=\"%A/%d/%t %n\"\n"
                          "\"musicBrainzUrl\"=\"" + url + "\"\n\"gnudbUrl\"=\"" + url +
                          "\"\n\"coverArtUrl\"=\"" + url + "\"\n");
        const std::string id = accuracy::MusicBrainzId(accuracy::DiscTocFromTable(
            test::AudioTable({{0, 600}, {600, 500}, {1100, 500}})));
        const nlohmann::json disc = {{"id", id}, {"sectors", 1750}, {"offset-count", 3},
                                     {"offsets", {150, 750, 1250}}};
        auto credit = [](const std::string& name) {
            return nlohmann::json::array({{{"name", name}, {"joinphrase", ""},
                                           {"artist", {{"id", "a-" + name}, {"name", name}}}}});
        };
        auto release = [&](const std::string& tag, const std::string& album,
                           const std::string& artist, const char* country, const char* date,
                           const char* barcode, const std::vector<std::string>& titles) {
            const std::string mbid = "00000000-0000-4000-8000-00000000000" + tag;
            nlohmann::json tracks = nlohmann::json::array();
            for (std::size_t k = 0; k < titles.size(); ++k) {
                const std::string n = std::to_string(k + 1);
                const nlohmann::json recording = {{"id", mbid + "-r" + n}, {"title", titles[k]},
                                                  {"length", 6667},
                                                  {"isrcs", nlohmann::json::array()}};
                tracks.push_back({{"id", mbid + "-t" + n}, {"number", n}, {"position", k + 1},
                                  {"title", titles[k]}, {"length", 6667},
                                  {"artist-credit", credit(artist)}, {"recording", recording}});
            }
            return nlohmann::json{
                {"id", mbid}, {"title", album}, {"status", "Official"}, {"date", date},
                {"country", country}, {"barcode", barcode}, {"artist-credit", credit(artist)},
                {"label-info", {{{"catalog-number", "CAT-r" + tag},
                                 {"label", {{"id", "l-" + mbid}, {"name", "Label r" + tag}}}}}},
                {"release-group", {{"id", "g-" + mbid}, {"title", album}}},
                {"media", {{{"position", 1}, {"format", "CD"}, {"track-count", titles.size()},
                            {"discs", {disc}}, {"tracks", tracks}}}}};
        };
        nlohmann::json answer = disc;
        answer["releases"] = {
            release("1", "First Album", "The Artist", "GB", "1998-04-06", "5012345678900",
                    {"Opening", "Middle", "Closing"}),
            release("2", "Second Album: Remastered", "Other Artist", "US", "2001", "0123456789012",
                    {"Opening (2001)", "Middle (2001)", "Closing (2001)"})};
        server.Set("/ws/2/discid/" + id +
                       "?toc=1+3+1750+150+750+1250&inc=artist-credits+recordings+isrcs+labels+"
                       "release-groups&fmt=json",
                   test::LocalHttpServer::Answer{200, answer.dump(), 700});
        // The second release's front cover: a JPEG's SOI, SOF0 of 500 x 500, EOI.
        const std::string jpeg("\xFF\xD8\xFF\xC0\0\x11\x08\x01\xF4\x01\xF4\x03\x01\x22\0"
                               "\x02\x11\x01\x03\x11\x01\xFF\xD9", 23);
        server.Set("/release/00000000-0000-4000-8000-000000000002/front-500", jpeg);
        auto dialog = Open();
        QVERIFY(dialog);
        test::Watchdog watchdog(60000);
        auto* line = Control<LinkLabel>(*dialog, kIdDiscText);
        QTreeWidget* list = List(*dialog);
        // Renamed before the answer comes: the user's name stays.
        list->setCurrentItem(list->topLevelItem(1), 0);
        QTest::keyClick(list, Qt::Key_F2);
        QVERIFY(Editor(list) != nullptr);
        Editor(list)->setText(QStringLiteral("My name: mine/ours"));
        QTest::keyClick(Editor(list), Qt::Key_Return);
        // Asked aside: the window goes on.
        QTRY_VERIFY(dialog->LookingUp());
        QVERIFY(dialog->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(dialog->Metadata() != nullptr, 20000);
        QVERIFY2(dialog->Metadata()->Known(), qPrintable(QString::fromStdString(
                     server.Requests().empty() ? "no request" : server.Requests().front())));
        auto rows = [list] {
            QStringList names;
            for (int row = 0; row < list->topLevelItemCount(); ++row) {
                names << list->topLevelItem(row)->text(0);
            }
            return names;
        };
        QCOMPARE(rows(), (QStringList{"Opening", "My name: mine/ours", "Closing"}));
        QCOMPARE(line->text(), QStringLiteral("The Artist \u2013 First Album (1998)"));
        QVERIFY2(line->toolTip().contains("Country: GB") &&
                     line->toolTip().contains("Label: Label r1, CAT-r1") &&
                     line->toolTip().contains("2 releases match: click to choose another"),
                 qPrintable(line->toolTip()));
        const QString screenshots = qEnvironmentVariable("VINDRAL_SCREENSHOTS");
        if (!screenshots.isEmpty()) {
            Select(*dialog, {0, 1, 2});
            dialog->PollTick();
            QVERIFY(dialog->grab().save(screenshots + "/main-window-names.png"));
        }

        // A click on the line opens the chooser; its lines name each release.
        QStringList seen;
        test::WhenModal<ReleaseChooser>([&seen, &screenshots](ReleaseChooser* chooser) {
            auto* releases = Control<QTreeWidget>(*chooser, kIdReleaseList);
            for (int row = 0; row < releases->topLevelItemCount(); ++row) {
                QStringList cells;
                for (int column = 0; column < releases->columnCount(); ++column) {
                    cells << releases->topLevelItem(row)->text(column);
                }
                seen << cells.join('|');
            }
            releases->setCurrentItem(releases->topLevelItem(1));
            if (!screenshots.isEmpty()) {
                chooser->grab().save(screenshots + "/release-chooser.png");
            }
            Control<QPushButton>(*chooser, kIdReleaseOk)->click();
        });
        QTest::mouseClick(line, Qt::LeftButton);
        QTRY_VERIFY2(line->text().startsWith(QStringLiteral("Other Artist \u2013 Second Album")),
                     qPrintable(line->text()));
        QCOMPARE(seen,
                 (QStringList{"First Album|The Artist|GB|1998-04-06|Label r1|5012345678900|CD",
                              "Second Album: Remastered|Other Artist|US|2001|Label r2|"
                              "0123456789012|CD"}));
        QCOMPARE(rows(), (QStringList{"Opening (2001)", "My name: mine/ours", "Closing (2001)"}));

        // The template names the files, made safe, and the tags carry the names.
        Select(*dialog, {0, 1});
        dialog->PollTick();
        QStringList log;
        CloseWhenFinished(log);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());
        const QString folder = out + "Other Artist/Second Album_ Remastered/";
        QCOMPARE(QDir(folder).entryList(QDir::Files),
                 (QStringList{"01 Opening (2001).flac", "02 My name_ mine-ours.flac",
                              "cover.jpg"}));
        QFile coverFile(folder + "cover.jpg");
        QVERIFY(coverFile.open(QIODevice::ReadOnly) && coverFile.readAll().toStdString() == jpeg);
        const auto flac = test::DecodeFlac((folder + "02 My name_ mine-ours.flac").toStdString());
        QCOMPARE(flac.pictureType, 3);
        for (const char* tag : {"TITLE=My name: mine/ours", "ALBUM=Second Album: Remastered",
                                "ARTIST=Other Artist", "DATE=2001", "TRACKNUMBER=2"}) {
            QVERIFY2(flac.HasComment(tag), tag);
        }
        for (const std::string& request : server.Requests()) { // no other service asked
            QVERIFY2(request.rfind("/ws/2/", 0) == 0 || request.rfind("/release/", 0) == 0,
                     request.c_str());
        }

        // Off: the rows the program named, and the box, are as without.
        QVERIFY(Control<QCheckBox>(*dialog, kIdLookUpNames)->isChecked());
        Control<QCheckBox>(*dialog, kIdLookUpNames)->click();
        QVERIFY(dialog->CurrentSettings().noMetadata);
        QCOMPARE(rows(), (QStringList{"  Track 01", "My name: mine/ours", "  Track 03"}));
        QCOMPARE(line->text(), QString());
        // On again, a new disc is looked up; closing the window while the
        // service is slow ends the look-up at once.
        Control<QCheckBox>(*dialog, kIdLookUpNames)->click();
        const std::string slow = accuracy::MusicBrainzId(accuracy::DiscTocFromTable(
            test::AudioTable({{0, 15000}, {15000, 15000}, {30000, 15000}})));
        server.Set("/ws/2/discid/" + slow + "?toc=1+3+45150+150+15150+30150&inc=artist-credits+"
                   "recordings+isrcs+labels+release-groups&fmt=json", {404, "", 3000});
        drives[0]->Insert(ThreeTrackDisc());
        dialog->RefreshTrackList();
        QTRY_VERIFY(dialog->LookingUp() && server.Requests().back().find(slow) != std::string::npos);
        QElapsedTimer closing;
        closing.start();
        dialog->reject();
        dialog.reset();
        QVERIFY2(closing.elapsed() < 1000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY2(ReadSettingsFile().find("\"naming\"=\"%A/%d/%t %n\"") != std::string::npos,
                 ReadSettingsFile().c_str());
        qunsetenv("LC_ALL");
        qunsetenv("XDG_CACHE_HOME");
        qputenv("VINDRAL_NO_METADATA", "1");
    }

    void secureReadingRepairsNamesAndMarks() {
        auto disc = std::const_pointer_cast<emulated::Disc>(MakeDisc({{1, 0}, {2, 300}}, 500));
        disc->AddUnreadableTries(100, 1, 3); // track 1, 00:01.25: reads on the fourth try
        disc->AddUnstable(400, 1);           // track 2, 00:01.25: never agrees
        UseEmulatedDrives({disc});
        const QString out = Folder("secure");
        WriteSettingsFile("\"value0\"=hex:00,00,00,00\n\"secureReading\"=hex:01,00,00,00\n"
                          "\"value1\"=\"" + out.toStdString() + "\"\n");
        auto dialog = Open();
        QVERIFY(dialog);
        auto* secure = Control<QCheckBox>(*dialog, kIdSecureReading);
        QVERIFY(secure->isChecked());
        QCOMPARE(secure->text(), QStringLiteral("Secure reading: re-read until readings agree"));
        Select(*dialog, {0, 1});
        dialog->PollTick();

        QStringList log;
        std::vector<PeakColour> firstTrack;
        std::vector<PeakColour> secondTrack;
        CloseWhenFinished(
            log, {},
            [&](ExtractDialog* run) {
                const PeakPicture& picture = run->Display().Picture();
                const int32_t track = run->Protocol().Run().player.currentTrack;
                std::vector<PeakColour>& columns = track == 0 ? firstTrack : secondTrack;
                columns.clear();
                for (int32_t x = 0; x < picture.Width(); ++x) {
                    columns.push_back(picture.Pixel(x, picture.Height() / 4));
                }
            },
            1);
        test::Watchdog watchdog(60000);
        Control<QPushButton>(*dialog, kIdStart)->click();
        QVERIFY(!watchdog.Fired());

        QVERIFY2(log.contains(QStringLiteral("  Repaired: 00:01.25 (4 readings, 2 agreed)")),
                 qPrintable(log.join("\n")));
        // Ten readings, all different: given up at half the limit. The
        // second reading of the track leaves it as the first gave it up,
        // and does not name it again.
        QVERIFY2(log.contains(QStringLiteral("  Suspicious: 00:01.25 (10 readings, 1 agreed)")),
                 qPrintable(log.join("\n")));
        QVERIFY(log.contains(QStringLiteral("---> Verifying track 02")));
        QCOMPARE(log.filter(QStringLiteral("  Suspicious: ")).size(), 1);
        // Re-reads: three of the first sector (one an answer that may have
        // come from the cache, read again after it is emptied), nine of the
        // second.
        QVERIFY2(log.contains(QStringLiteral(
                     "Secure reading: 0 exact, 1 repaired, 1 suspicious, 0 failed (12 re-reads)")),
                 qPrintable(log.join("\n")));
        QVERIFY(QFile::exists(out + "Track02.wav"));
        const auto count = [](const std::vector<PeakColour>& columns, PeakColour colour) {
            return std::count(columns.begin(), columns.end(), colour);
        };
        QVERIFY(count(secondTrack, kSuspiciousColour) > 0);
        QCOMPARE(count(secondTrack, kRepairedColour), 0);

        // Unticked, the value goes from the settings file.
        secure->click();
        QVERIFY(!dialog->CurrentSettings().secureReading);
        dialog->reject();
        QVERIFY2(ReadSettingsFile().find("secureReading") == std::string::npos,
                 ReadSettingsFile().c_str());
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::MainDialogTest)
#include "MainDialogTest.moc"
