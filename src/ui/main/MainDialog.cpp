#include "ui/main/MainDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

#include "drive/CdCommands.h"
#include "drive/DiscInfo.h"
#include "drive/DriveSource.h"
#include "drive/Transport.h"
#include "accuracy/DiscIds.h"
#include "accuracy/DriveOffset.h"
#include "accuracy/RipAccuracy.h"
#include "accuracy/RipLog.h"
#include "metadata/DiscMetadata.h"
#include "drive/emulated/CueSheet.h"
#include "extract/JobBuilder.h"
#include "net/HttpClient.h"
#include "output/CueSheetWriter.h"
#include "output/FlacEncoder.h"
#include "output/Naming.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"
#include "ui/common/AboutDialog.h"
#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"
#include "ui/common/Pictures.h"
#include "ui/extract/ExtractDialog.h"
#include "ui/main/ReleaseChooser.h"
#include "ui/main/SpeedChoice.h"

namespace vindral::ui {

namespace {

using K = ControlKind;

// Template 102, in tab order.
constexpr ControlTemplate kMainControls[] = {
    {kIdExit, K::PushButton, "E&xit", 301, 55, 45, 14},
    {kIdStart, K::DefaultPushButton, "&Start", 301, 29, 45, 14},
    {kIdDriveList, K::DropDownList, "", 205, 6, 141, 80},
    {kIdTrackList, K::ListView, "", 7, 27, 196, 249},
    {kNoId, K::Text, "Tracks:", 224, 88, 25, 8},
    {kNoId, K::Text, "Length:", 224, 99, 25, 8},
    {kIdDiscTracks, K::RightLabel, "", 294, 88, 38, 8},
    {kIdDiscLength, K::RightLabel, "", 294, 99, 38, 8},
    {kIdDiscText, K::RightLabel, "", 219, 110, 121, 8},
    {kNoId, K::GroupBox, "Disc Information", 211, 77, 135, 47},
    {kNoId, K::GroupBox, "Selection", 211, 127, 135, 50},
    {kNoId, K::Text, "Tracks:", 224, 139, 25, 8},
    {kNoId, K::Text, "Length:", 224, 150, 25, 8},
    {kIdSelectedTracks, K::RightLabel, "", 294, 139, 38, 8},
    {kIdSelectedLength, K::RightLabel, "", 294, 150, 38, 8},
    {kNoId, K::Text, "Diskspace needed:", 224, 162, 62, 8},
    {kIdSpaceNeeded, K::RightLabel, "", 294, 162, 38, 8},
    {kIdBrowse, K::IconButton, "", 323, 202, 15, 12},
    {kNoId, K::GroupBox, "File Options", 211, 181, 135, 95},
    {kIdPath, K::SunkenLabel, "", 219, 202, 95, 11},
    {kNoId, K::Text, "Path", 219, 191, 16, 8},
    {kNoId, K::Text, "Filename (+2 digits + .wav)", 219, 220, 84, 8},
    {kIdNamePrefix, K::EditBox, "", 219, 230, 78, 12},
    {kIdFileFormat, K::DropDownList, "", 300, 230, 39, 40},
    {kNoId, K::Text, "File names", 219, 248, 36, 8},
    {kIdNaming, K::DropDownList, "", 257, 246, 82, 80},
    {kIdCueSheet, K::CheckBox, "Write cue sheet", 219, 261, 120, 10},
    {kIdVerify, K::CheckBox, "Verify", 222, 33, 33, 10},
    {kIdC2Pointers, K::RadioButton, "C2 pointers", 229, 47, 51, 10, true},
    {kIdReadTwice, K::RadioButton, "Read twice", 229, 59, 52, 10},
    {kIdCheckAccuracy, K::CheckBox, "Check the rip against AccurateRip and CTDB", 7, 281, 339,
     10},
    {kIdSkipConfirmed, K::CheckBox, "Skip verification of tracks the databases confirm", 17, 293,
     329, 10},
    {kIdSecureReading, K::CheckBox, "Secure reading: re-read until readings agree", 7, 305, 339,
     10},
    {kIdRepairFromCtdb, K::CheckBox,
     "Repair from the CTDB's parity what secure reading could not", 17, 317, 329, 10},
    {kIdLookUpNames, K::CheckBox, "Look up track names online (MusicBrainz, GnuDB)", 7, 329, 339,
     10},
    {kIdSpeedList, K::DropDownList, "", 74, 6, 69, 80},
    {kNoId, K::Text, "Speed", 47, 8, 22, 8},
    {kNoId, K::Text, "Drive", 181, 8, 18, 8},
    {kNoId, K::GroupBox, "", 211, 22, 82, 52},
    {kNoId, K::Icon, "", 10, 3, 20, 20},
    {kNoId, K::EtchedFrame, "", 0, 0, 40, 25},
    {kNoId, K::EtchedFrame, "", 40, 0, 135, 25},
    {kNoId, K::EtchedFrame, "", 175, 0, 178, 25},
    {kIdSpeedIndicator, K::RightLabel, "", 149, 8, 17, 8},
};

constexpr DialogTemplate kMainTemplate{"Vindral", 353, 343, kMainControls};

// The choices of "File names": what a file of track 1 would be called, and
// the template behind it (empty: the prefix and the track number).
struct NamingChoice {
    const char* label;
    const char* naming;
};
constexpr NamingChoice kNamingChoices[] = {
    {"Prefix + 2 digits", ""},
    {"01 Title", "%t %n"},
    {"01 Artist - Title", "%t %a - %n"},
    {"Artist - Album/01 Title", "%A - %d/%t %n"},
    {"Artist/Album/01 Title", "%A/%d/%t %n"},
};

// Where a row keeps the name the program gave it: a different text is the
// user's.
constexpr int kGivenNameRole = Qt::UserRole + 1;

const QColor kNavy(0, 0, 128);

template <class T>
T* Need(QWidget& dialog, int id) {
    T* widget = Control<T>(dialog, id);
    Q_ASSERT(widget != nullptr);
    return widget;
}

QString Text(const std::string& text) { return QString::fromStdString(text); }

// "+667", "-1164", "0".
std::string FormatOffset(int32_t samples) {
    char text[16];
    std::snprintf(text, sizeof text, samples == 0 ? "%d" : "%+d", samples);
    return text;
}

// The Start, Length and Space figures come from the disc: whatever asks for
// an editor there gets none.
class FigureColumnDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* /*parent*/, const QStyleOptionViewItem& /*option*/,
                          const QModelIndex& /*index*/) const override {
        return nullptr;
    }
};

std::string Format(const char* format, auto... values) {
    char text[128];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

} // namespace

MainDialog::MainDialog(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      settingsPath_(platform::DefaultSettingsPath()),
      freeSpace_([](const ExtractJob& job) { return FreeSpaceForJob(job); }) {
    BuildDialog(*this, kMainTemplate);
    setWindowIcon(ApplicationIcon());

    driveList_ = Need<QComboBox>(*this, kIdDriveList);
    speedList_ = Need<QComboBox>(*this, kIdSpeedList);
    trackList_ = Need<QTreeWidget>(*this, kIdTrackList);
    discTracks_ = Need<LinkLabel>(*this, kIdDiscTracks);
    discLength_ = Need<LinkLabel>(*this, kIdDiscLength);
    discText_ = Need<LinkLabel>(*this, kIdDiscText);
    discText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    selectedTracks_ = Need<LinkLabel>(*this, kIdSelectedTracks);
    selectedLength_ = Need<LinkLabel>(*this, kIdSelectedLength);
    spaceNeeded_ = Need<LinkLabel>(*this, kIdSpaceNeeded);
    path_ = Need<LinkLabel>(*this, kIdPath);
    speedIndicator_ = Need<LinkLabel>(*this, kIdSpeedIndicator);
    start_ = Need<QPushButton>(*this, kIdStart);
    browse_ = Need<QPushButton>(*this, kIdBrowse);
    verify_ = Need<QCheckBox>(*this, kIdVerify);
    checkAccuracy_ = Need<QCheckBox>(*this, kIdCheckAccuracy);
    skipConfirmed_ = Need<QCheckBox>(*this, kIdSkipConfirmed);
    secureReading_ = Need<QCheckBox>(*this, kIdSecureReading);
    c2Pointers_ = Need<QRadioButton>(*this, kIdC2Pointers);
    readTwice_ = Need<QRadioButton>(*this, kIdReadTwice);
    namePrefix_ = Need<QLineEdit>(*this, kIdNamePrefix);
    fileFormat_ = Need<QComboBox>(*this, kIdFileFormat);
    fileFormat_->addItems({QStringLiteral("WAV"), QStringLiteral("FLAC")});
    cueSheet_ = Need<QCheckBox>(*this, kIdCueSheet);
    naming_ = Need<QComboBox>(*this, kIdNaming);
    for (const NamingChoice& choice : kNamingChoices) {
        naming_->addItem(QString::fromUtf8(choice.label), QString::fromUtf8(choice.naming));
    }
    naming_->setToolTip(QStringLiteral("The files' names: the prefix and the track number, or "
                                       "a template of %1")
                            .arg(Text(output::KnownNamingFields())));
    lookUpNames_ = Need<QCheckBox>(*this, kIdLookUpNames);
    repairFromCtdb_ = Need<QCheckBox>(*this, kIdRepairFromCtdb);
    discText_->installEventFilter(this);

    // The initial field values: the home folder stands for the system drive's
    // root, and every run starts with the prefix "Track".
    path_->setText(Text(platform::HomeFolder()));
    path_->setToolTip(path_->text());
    namePrefix_->setText(QStringLiteral("Track"));
    settings_.outputFolder = platform::HomeFolder();

    for (const char* label : kSpeedLabels) {
        speedList_->addItem(QString::fromUtf8(label));
    }

    // The picture in the top-left frame.
    for (QLabel* label : findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (label->objectName().isEmpty() && label->text().isEmpty()) {
            label->setPixmap(ApplicationPicture(32));
        }
    }

    trackList_->setColumnCount(4);
    trackList_->setHeaderLabels({QStringLiteral("Track"), QStringLiteral("Start"),
                                 QStringLiteral("Length"), QStringLiteral("Space")});
    trackList_->setColumnWidth(0, 85);
    trackList_->setColumnWidth(1, 60);
    trackList_->setColumnWidth(2, 60);
    trackList_->setColumnWidth(3, 60);
    trackList_->header()->setDefaultAlignment(Qt::AlignCenter);
    trackList_->header()->setStretchLastSection(false);
    trackList_->setIconSize(QSize(16, 16));
    trackList_->setEditTriggers(QAbstractItemView::EditKeyPressed);
    trackList_->viewport()->installEventFilter(this);
    // Only the track column is the user's to rename.
    auto* figures = new FigureColumnDelegate(trackList_);
    for (int column = 1; column < 4; ++column) {
        trackList_->setItemDelegateForColumn(column, figures);
    }
    // The row is what counts: the current cell stays in the track column, so
    // F2 renames the track whichever cell was clicked.
    connect(trackList_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid() && current.column() != 0) {
                    trackList_->selectionModel()->setCurrentIndex(current.siblingAtColumn(0),
                                                                  QItemSelectionModel::NoUpdate);
                }
            });

    browse_->setIcon(QIcon(FolderPicture()));
    browse_->setIconSize(QSize(16, 12));

    for (LinkLabel* label : {discTracks_, discLength_, discText_, selectedTracks_,
                             selectedLength_, spaceNeeded_, path_, speedIndicator_}) {
        label->SetLabelTextColor(kNavy);
    }

    pollTimer_.setInterval(kPollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, &MainDialog::PollTick);
    connect(start_, &QPushButton::clicked, this, &MainDialog::Start);
    connect(browse_, &QPushButton::clicked, this, &MainDialog::BrowseForFolder);
    connect(Need<QPushButton>(*this, kIdExit), &QPushButton::clicked, this, &MainDialog::reject);
    connect(verify_, &QCheckBox::clicked, this, [this](bool checked) { settings_.verify = checked; });
    connect(checkAccuracy_, &QCheckBox::clicked, this, [this](bool checked) {
        settings_.checkAccuracy = checked;
        skipConfirmed_->setEnabled(checked); // skipping needs the databases' answers
        repairFromCtdb_->setEnabled(checked); // so does a repair
    });
    connect(repairFromCtdb_, &QCheckBox::clicked, this,
            [this](bool checked) { settings_.repairFromCtdb = checked; });
    connect(skipConfirmed_, &QCheckBox::clicked, this,
            [this](bool checked) { settings_.skipConfirmed = checked; });
    connect(secureReading_, &QCheckBox::clicked, this,
            [this](bool checked) { settings_.secureReading = checked; });
    connect(fileFormat_, &QComboBox::activated, this,
            [this](int index) { settings_.flacFiles = index == 1; });
    connect(cueSheet_, &QCheckBox::clicked, this,
            [this](bool checked) { settings_.cueSheet = checked; });
    connect(naming_, &QComboBox::activated, this, [this](int index) {
        settings_.naming = naming_->itemData(index).toString().toStdString();
    });
    connect(lookUpNames_, &QCheckBox::clicked, this, [this](bool checked) {
        settings_.noMetadata = !checked;
        if (checked) {
            StartLookUp(details_);
            return;
        }
        // Off: the window shows what it showed without.
        CancelLookUps();
        metadata_.reset();
        FillTrackNames();
        ShowDiscDetails();
    });
    connect(c2Pointers_, &QRadioButton::clicked, this, [this] { settings_.verifyMethod = 0; });
    connect(readTwice_, &QRadioButton::clicked, this, [this] { settings_.verifyMethod = 1; });
    connect(speedList_, &QComboBox::activated, this, &MainDialog::SpeedChosen);

    readiness_.fill(-1);
}

MainDialog::~MainDialog() {
    // The reading never waits for the window, so this ends; what it posts
    // back dies with the window.
    if (detailsThread_.joinable()) {
        detailsThread_.join();
    }
    CancelLookUps(); // a request on its way ends at once
    for (auto& [generation, run] : lookUps_) {
        run->thread.join();
    }
}

bool MainDialog::Initialise() {
    if (InitialiseTransport() == 0) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vindral"),
                        Text(NoDriveMessage()), QMessageBox::Ok, this);
        // Which device nodes were tried and why each failed.
        box.setDetailedText(Text(NoDriveDetail()));
        box.exec();
        return false;
    }

    for (const DriveLine& line : FindDrives()) {
        drives_.push_back(line.device);
        driveModels_.push_back(line.model);
        driveList_->addItem(Text(line.text));
    }
    if (drives_.empty()) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vindral"),
                        QStringLiteral("No CD-ROM drives found"), QMessageBox::Ok, this);
        box.exec();
        return false;
    }

    readiness_.fill(-1);
    driveList_->setCurrentIndex(0);
    speedList_->setCurrentIndex(0);
    currentDrive_ = 0;
    RefreshTrackList();
    ShowSpeedIndicator();

    LoadStoredSettings();
    ShowReadOffset();
    verify_->setChecked(settings_.verify);
    checkAccuracy_->setChecked(settings_.checkAccuracy);
    skipConfirmed_->setChecked(settings_.skipConfirmed);
    skipConfirmed_->setEnabled(settings_.checkAccuracy);
    repairFromCtdb_->setChecked(settings_.repairFromCtdb);
    repairFromCtdb_->setEnabled(settings_.checkAccuracy);
    secureReading_->setChecked(settings_.secureReading);
    fileFormat_->setCurrentIndex(settings_.flacFiles ? 1 : 0);
    cueSheet_->setChecked(settings_.cueSheet);
    lookUpNames_->setChecked(!settings_.noMetadata);
    std::string namingError;
    if (!settings_.naming.empty() && !output::CheckNamingTemplate(settings_.naming, namingError)) {
        settings_.naming.clear(); // not a template the files can be named by
    }
    int namingIndex = naming_->findData(Text(settings_.naming));
    if (namingIndex < 0) {
        naming_->addItem(Text(settings_.naming), Text(settings_.naming));
        namingIndex = naming_->count() - 1;
    }
    naming_->setCurrentIndex(namingIndex);
    if (settings_.verifyMethod == 1) {
        readTwice_->setChecked(true);
    } else {
        c2Pointers_->setChecked(true);
    }

    connect(driveList_, &QComboBox::currentIndexChanged, this, &MainDialog::DriveChanged);
    StartPollTimer();
    initialised_ = true;
    return true;
}

CdDevice MainDialog::Current() const {
    if (currentDrive_ < 0 || currentDrive_ >= static_cast<int>(drives_.size())) {
        return {};
    }
    return drives_[static_cast<std::size_t>(currentDrive_)];
}

void MainDialog::ForgetReadiness(CdDevice drive) {
    const int index = drive.hostAdapter * 16 + drive.target;
    if (index >= 0 && index < kReadinessEntries) {
        readiness_[static_cast<std::size_t>(index)] = -1;
    }
}

void MainDialog::RefreshTrackList() {
    if (drives_.empty()) {
        return;
    }
    AwaitDiscDetails();
    const CdDevice drive = Current();
    const std::size_t slot = static_cast<std::size_t>(drive.hostAdapter * 16 + drive.target) %
                             kReadinessEntries;
    if (CdCommands::TestUnitReady(drive.hostAdapter, drive.target) == readiness_[slot]) {
        return;
    }
    // The first answer after a change may still report it (unit attention);
    // the second is the one to remember.
    readiness_[slot] = CdCommands::TestUnitReady(drive.hostAdapter, drive.target);

    trackList_->clear();
    // What the last disc said about itself goes with it.
    ++discGeneration_;
    details_.reset();
    detailsWanted_ = false;
    CancelLookUps();
    metadata_.reset();
    ShowDiscDetails();
    TrackTable table;
    const int32_t status = ReadTrackTable(drive.hostAdapter, drive.target, table);
    if (status != kStatusOk || table.count == 0) {
        tracks_ = TrackTable{};
        discTracks_->setText(QStringLiteral("-"));
        discLength_->setText(QStringLiteral("-"));
        start_->setEnabled(false);
        return;
    }
    tracks_ = table;
    const QPixmap audio = AudioTrackPicture();
    const QPixmap data = DataTrackPicture();
    QList<QTreeWidgetItem*> rows;
    for (int k = 0; k < tracks_.count; ++k) {
        const TrackEntry& entry = tracks_.entries[static_cast<std::size_t>(k)];
        auto* item = new QTreeWidgetItem;
        item->setText(0, Text(TrackRowName(entry)));
        item->setData(0, kGivenNameRole, item->text(0));
        item->setIcon(0, QIcon(entry.dataTrack != 0 ? data : audio));
        item->setText(1, Text(CdCommands::FramesToTimeText(entry.start)));
        item->setText(2, Text(CdCommands::FramesToTimeText(entry.length)));
        item->setText(3, Text(TrackSpaceText(entry.length)));
        for (int column = 0; column < 4; ++column) {
            item->setTextAlignment(column, Qt::AlignCenter);
        }
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        rows.append(item);
    }
    trackList_->addTopLevelItems(rows);
    const TrackEntry& last = tracks_.entries[static_cast<std::size_t>(tracks_.count - 1)];
    discTracks_->setText(Text(Format("%d", tracks_.count)));
    discLength_->setText(Text(CdCommands::FramesToTimeText(last.start + last.length)));
    start_->setEnabled(true);
    // The details follow from the event loop, once the window thread has
    // sent what it sends after the disc check.
    detailsWanted_ = true;
    QTimer::singleShot(0, this, &MainDialog::StartDiscDetails);
}

void MainDialog::StartDiscDetails() {
    if (!detailsWanted_ || detailsRunning_ || !pollTimer_.isActive() || extraction_ != nullptr ||
        tracks_.count == 0 || drives_.empty()) {
        return; // StartPollTimer asks again when the drive comes back
    }
    detailsWanted_ = false;
    detailsRunning_ = true;
    if (detailsThread_.joinable()) {
        detailsThread_.join(); // a reading that has posted its end already
    }
    const CdDevice drive = Current();
    const uint64_t generation = discGeneration_;
    detailsThread_ = std::thread([this, drive, generation, table = tracks_] {
        auto details = std::make_shared<const DiscDetails>(
            ReadDiscDetails(drive.hostAdapter, drive.target, table));
        QMetaObject::invokeMethod(
            this, [this, generation, details] { DiscDetailsArrived(generation, details); },
            Qt::QueuedConnection);
    });
}

void MainDialog::DiscDetailsArrived(uint64_t generation,
                                    std::shared_ptr<const DiscDetails> details) {
    detailsRunning_ = false;
    if (detailsThread_.joinable()) {
        detailsThread_.join();
    }
    // A disc check that saw a change meanwhile has made them stale.
    if (generation == discGeneration_) {
        details_ = std::move(details);
        ShowDiscDetails();
        StartLookUp(details_);
    }
    emit DiscDetailsRead();
}

bool MainDialog::LookUpWanted() const { return !platform::NoMetadataLookups(settings_); }

void MainDialog::StartLookUp(std::shared_ptr<const DiscDetails> details) {
    if (!LookUpWanted() || closing_ || !details || tracks_.count == 0 || metadata_ ||
        lookUps_.count(discGeneration_) != 0) {
        return; // a cancelled look-up of this disc asks again when it ends
    }
    metadata::LookupOptions options;
    options.musicBrainzUrl = settings_.musicBrainzUrl;
    options.gnudbUrl = settings_.gnudbUrl;
    options.coverArtUrl = settings_.coverArtUrl;
    metadata::DiscFacts facts{accuracy::DiscTocFromTable(tracks_), *details};
    auto run = std::make_unique<LookUpRun>();
    LookUpRun* own = run.get();
    const uint64_t generation = discGeneration_;
    // The answer is posted back; the window thread joins the thread then
    // (it has nothing left to do), or when the window goes.
    run->thread = std::thread([this, own, generation, facts = std::move(facts), options]() mutable {
        const net::AnswerCache cache(net::DefaultCacheFolder());
        options.cache = &cache;
        options.cancel = &own->cancel;
        auto found = std::make_shared<metadata::DiscMetadata>(metadata::LookUpDisc(facts, options));
        QMetaObject::invokeMethod(
            this, [this, generation, found] { LookUpArrived(generation, found); },
            Qt::QueuedConnection);
    });
    lookUps_[generation] = std::move(run);
}

void MainDialog::LookUpArrived(uint64_t generation, std::shared_ptr<metadata::DiscMetadata> found) {
    bool cancelled = true;
    if (auto run = lookUps_.find(generation); run != lookUps_.end()) {
        run->second->thread.join();
        cancelled = run->second->cancel;
        lookUps_.erase(run);
    }
    if (generation == discGeneration_ && LookUpWanted()) {
        if (!cancelled) {
            metadata_ = std::move(found);
            FillTrackNames();
            ShowDiscDetails();
        } else {
            StartLookUp(details_); // turned off and on again meanwhile
        }
    }
    emit NamesLookedUp();
}

void MainDialog::CancelLookUps() {
    for (auto& [generation, run] : lookUps_) {
        run->cancel = true;
    }
}

bool MainDialog::LookingUp() const { return lookUps_.count(discGeneration_) != 0; }

void MainDialog::AwaitLookUp() {
    if (!LookingUp()) {
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool enabled = isEnabled();
    setEnabled(false);
    QEventLoop loop;
    connect(this, &MainDialog::NamesLookedUp, &loop, &QEventLoop::quit);
    while (LookingUp()) {
        loop.exec();
    }
    setEnabled(enabled);
    QApplication::restoreOverrideCursor();
}

bool MainDialog::TrackRenamed(int row) const {
    // The row's own "Track NN" is no name of the user's either (an editor
    // opened before the names came puts it back).
    const QTreeWidgetItem* item = trackList_->topLevelItem(row);
    return item != nullptr && row < tracks_.count &&
           item->text(0) != item->data(0, kGivenNameRole).toString() &&
           item->text(0) != Text(TrackRowName(tracks_.entries[static_cast<std::size_t>(row)]));
}

void MainDialog::FillTrackNames() {
    const metadata::Release* release = metadata_ ? metadata_->Chosen() : nullptr;
    for (int row = 0; row < trackList_->topLevelItemCount() && row < tracks_.count; ++row) {
        trackList_->topLevelItem(row)->setTextAlignment(
            0, release != nullptr ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignCenter);
        if (TrackRenamed(row)) {
            continue; // the user's name wins
        }
        const TrackEntry& entry = tracks_.entries[static_cast<std::size_t>(row)];
        const metadata::TrackMetadata* track = release ? release->Track(entry.number) : nullptr;
        const QString name = track != nullptr && !track->title.empty() && entry.dataTrack == 0
                                 ? Text(track->title)
                                 : Text(TrackRowName(entry));
        QTreeWidgetItem* item = trackList_->topLevelItem(row);
        item->setData(0, kGivenNameRole, name);
        item->setText(0, name);
    }
    // Titles get the room the figures leave.
    int figures = 0;
    for (int column = 1; column < 4; ++column) {
        figures += trackList_->columnWidth(column);
    }
    trackList_->setColumnWidth(
        0, release != nullptr ? std::max(85, trackList_->viewport()->width() - figures) : 85);
}

void MainDialog::ChooseRelease() {
    if (!metadata_ || metadata_->releases.size() < 2) {
        return;
    }
    ReleaseChooser chooser(metadata_->releases, metadata_->chosen, this);
    const uint64_t generation = discGeneration_; // the list is of this disc
    if (chooser.exec() == QDialog::Accepted && !endRequested_ &&
        generation == discGeneration_) {
        UseRelease(chooser.Chosen());
    }
}

void MainDialog::UseRelease(int index) {
    if (!metadata_ || index < 0 || index >= static_cast<int>(metadata_->releases.size())) {
        return;
    }
    metadata_->chosen = index;
    FillTrackNames();
    ShowDiscDetails();
}

output::DiscNames MainDialog::NamesForFiles(const DiscDetails& details) const {
    output::DiscNames names = output::NamesFromCdText(details);
    if (metadata_ && metadata_->Known()) {
        names = metadata::NamesOf(*metadata_, names);
    }
    for (int row = 0; row < trackList_->topLevelItemCount() && row < tracks_.count; ++row) {
        if (TrackRenamed(row)) {
            names.tracks[tracks_.entries[static_cast<std::size_t>(row)].number].title =
                trackList_->topLevelItem(row)->text(0).trimmed().toStdString();
        }
    }
    return names;
}

std::string MainDialog::CurrentNaming() const {
    std::string error;
    return !settings_.naming.empty() && output::CheckNamingTemplate(settings_.naming, error)
               ? settings_.naming
               : std::string();
}

void MainDialog::AwaitDiscDetails() {
    if (!detailsRunning_) {
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool enabled = isEnabled();
    setEnabled(false);
    QEventLoop loop;
    connect(this, &MainDialog::DiscDetailsRead, &loop, &QEventLoop::quit);
    if (detailsRunning_) {
        loop.exec();
    }
    setEnabled(enabled);
    QApplication::restoreOverrideCursor();
}

namespace {

// "Performer – Title", or whichever of them the disc has.
QString DiscTextLine(const std::string& title, const std::string& performer) {
    if (title.empty() || performer.empty()) {
        return Text(title.empty() ? performer : title);
    }
    return Text(performer) + QStringLiteral(" \u2013 ") + Text(title);
}

} // namespace

void MainDialog::ShowDiscDetails() {
    const metadata::Release* release = metadata_ ? metadata_->Chosen() : nullptr;
    const bool choice = release != nullptr && metadata_->releases.size() > 1;
    if (choice) {
        discText_->setCursor(Qt::PointingHandCursor);
    } else {
        discText_->unsetCursor();
    }
    if (release != nullptr) {
        // "Artist – Album (Year)", from the chosen release.
        QString line = DiscTextLine(release->album, release->albumArtist);
        if (!release->Year().empty()) {
            line += QStringLiteral(" (%1)").arg(Text(release->Year()));
        }
        discText_->setText(discText_->fontMetrics().elidedText(line, Qt::ElideRight,
                                                               discText_->contentsRect().width()));
        QStringList tip;
        const std::pair<const char*, std::string> fields[] = {
            {"Album", release->album},
            {"Artist", release->albumArtist},
            {"Date", release->date},
            {"Country", release->country},
            {"Label", release->label + (release->catalogNumber.empty() || release->label.empty()
                                            ? release->catalogNumber
                                            : ", " + release->catalogNumber)},
            {"Barcode", release->barcode},
            {"Disc", release->discTotal > 1 ? Format("%d of %d", release->discNumber,
                                                     release->discTotal)
                                            : std::string()},
        };
        for (const auto& [name, value] : fields) {
            if (!value.empty()) {
                tip << QStringLiteral("%1: %2").arg(QLatin1String(name), Text(value));
            }
        }
        tip << QStringLiteral("Names from %1")
                   .arg(QLatin1String(metadata::SourceName(metadata_->source)));
        if (choice) {
            tip << QStringLiteral("%1 releases match: click to choose another")
                       .arg(metadata_->releases.size());
        }
        discText_->setToolTip(tip.join(QLatin1Char('\n')));
        return;
    }
    const DiscDetails* details = details_.get();
    const std::string title = details ? details->Text(kCdTextTitle, 0) : std::string();
    const std::string performer = details ? details->Text(kCdTextPerformer, 0) : std::string();
    // A line too long for the box ends in an ellipsis; the tip has it all.
    discText_->setText(discText_->fontMetrics().elidedText(
        DiscTextLine(title, performer), Qt::ElideRight, discText_->contentsRect().width()));
    QStringList tip;
    if (!title.empty()) {
        tip << QStringLiteral("Title: %1").arg(Text(title));
    }
    if (!performer.empty()) {
        tip << QStringLiteral("Performer: %1").arg(Text(performer));
    }
    if (details && !details->catalog.empty()) {
        tip << QStringLiteral("Catalog number: %1").arg(Text(details->catalog));
    }
    discText_->setToolTip(tip.join(QLatin1Char('\n')));

}

QString MainDialog::TrackToolTip(int row) const {
    const DiscDetails* details = details_.get();
    if (details == nullptr || row < 0 || row >= trackList_->topLevelItemCount() ||
        static_cast<std::size_t>(row) >= details->tracks.size()) {
        return {};
    }
    const std::size_t k = static_cast<std::size_t>(row);
    const TrackDetails& track = details->tracks[k];
    QStringList lines;
    const metadata::Release* release = metadata_ ? metadata_->Chosen() : nullptr;
    const metadata::TrackMetadata* named =
        release != nullptr && metadata_->source != metadata::Source::CdText
            ? release->Track(track.number)
            : nullptr;
    if (named != nullptr) {
        lines << QStringLiteral("%1: %2")
                     .arg(QLatin1String(metadata::SourceName(metadata_->source)),
                          Text(named->artist.empty() ? named->title
                                                     : named->artist + " \u2013 " + named->title));
    }
    const std::string title = details->Text(kCdTextTitle, track.number);
    const std::string performer = details->Text(kCdTextPerformer, track.number);
    if (!title.empty()) {
        lines << QStringLiteral("Title: %1").arg(Text(title));
    }
    if (!performer.empty()) {
        lines << QStringLiteral("Performer: %1").arg(Text(performer));
    }
    lines << QStringLiteral("ISRC: %1")
                 .arg(track.isrc.empty() ? QStringLiteral("none") : Text(track.isrc));
    if (!track.indexesRead) {
        lines << QStringLiteral("Pregap: unknown");
    } else {
        QString pregap = QStringLiteral("Pregap: %1")
                             .arg(Text(CdCommands::FramesToTimeText(details->PregapLength(k))));
        if (row == 0 && details->PregapLength(k) > 0) {
            pregap += QStringLiteral(" (a hidden track)");
        }
        lines << pregap;
    }
    lines << QStringLiteral("Pre-emphasis: %1")
                 .arg(track.flags.preEmphasis ? QStringLiteral("yes") : QStringLiteral("no"));
    return lines.join(QLatin1Char('\n'));
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    // The tip of a row is made when asked for: the items are not touched
    // when the details arrive, so a name being edited stays as typed.
    if (watched == trackList_->viewport() && event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QTreeWidgetItem* item = trackList_->itemAt(help->pos());
        const QString text =
            item != nullptr ? TrackToolTip(trackList_->indexOfTopLevelItem(item)) : QString();
        if (text.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(help->globalPos(), text, trackList_->viewport(),
                               trackList_->visualItemRect(item));
        }
        return true;
    }
    // A click on the disc's line opens the releases' chooser when there is
    // a choice.
    if (watched == discText_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && metadata_ &&
        metadata_->releases.size() > 1) {
        QTimer::singleShot(0, this, &MainDialog::ChooseRelease);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::SelectionStatistics() {
    int count = 0;
    int32_t sum = 0;
    bool data = false;
    const int rows = trackList_->topLevelItemCount();
    for (int row = 0; row < rows && row < tracks_.count; ++row) {
        if (!trackList_->topLevelItem(row)->isSelected()) {
            continue;
        }
        const TrackEntry& entry = tracks_.entries[static_cast<std::size_t>(row)];
        ++count;
        sum += entry.length;
        data = data || entry.dataTrack != 0;
    }
    selectedTracks_->setText(Text(Format("%d", count)));
    selectedLength_->setText(Text(CdCommands::FramesToTimeText(sum)));
    spaceNeeded_->setText(
        Text(Format("%5.1f MB", static_cast<double>(sum) * kSectorBytes / 1048576.0)));
    start_->setEnabled(count >= 1 && !data);
}

void MainDialog::PollTick() {
    SelectionStatistics();
    if (detailsRunning_) {
        return; // the drive is the reading's until it ends
    }
    RefreshTrackList();
}

QString MainDialog::PathText() const { return path_->text(); }

void MainDialog::StopPollTimer() { pollTimer_.stop(); }
void MainDialog::StartPollTimer() {
    pollTimer_.start();
    if (detailsWanted_) {
        QTimer::singleShot(0, this, &MainDialog::StartDiscDetails);
    }
}

void MainDialog::RunAside(const std::function<void()>& work) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    setEnabled(false);
    QEventLoop loop;
    std::thread worker([&work, &loop] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    setEnabled(true);
    QApplication::restoreOverrideCursor();
}

void MainDialog::Start() {
    if (drives_.empty()) {
        return;
    }
    AwaitDiscDetails();
    if (endRequested_) {
        return; // the window has closed meanwhile
    }
    const CdDevice drive = Current();
    std::vector<int> selected;
    for (int row = 0; row < trackList_->topLevelItemCount() && row < tracks_.count; ++row) {
        if (trackList_->topLevelItem(row)->isSelected()) {
            selected.push_back(row);
        }
    }
    const std::string naming = CurrentNaming();
    // FLAC files are tagged, and the cue sheet made and a template's files
    // named, with what the disc says about itself: the details shown, or
    // read now (aside, the window drawn meanwhile).
    const bool named = settings_.flacFiles || settings_.cueSheet || !naming.empty();
    // The looked-up names, and those the user gave the rows, go there when
    // discs are looked up or a template asks for names.
    const bool names = named && (LookUpWanted() || !naming.empty());
    std::shared_ptr<const DiscDetails> details;
    if (named) {
        details = details_;
        if (!details) {
            const TrackTable table = tracks_;
            RunAside([&details, drive, &table] {
                details = std::make_shared<const DiscDetails>(
                    ReadDiscDetails(drive.hostAdapter, drive.target, table));
            });
            if (endRequested_) {
                return; // the window has closed meanwhile
            }
        }
        // The look-up of this disc ends first (it is started now when the
        // details were not there for it); a disc changed meanwhile starts
        // nothing.
        const uint64_t generation = discGeneration_;
        StartLookUp(details);
        AwaitLookUp();
        if (endRequested_ || generation != discGeneration_) {
            return;
        }
    }
    output::DiscNames discNames;
    std::string namesSource; // for the rip log
    if (names) {
        discNames = NamesForFiles(*details);
        if (const metadata::Release* release = metadata_ ? metadata_->Chosen() : nullptr) {
            namesSource = metadata::SourceName(metadata_->source);
            if (!release->mbid.empty()) {
                namesSource += ", release " + release->mbid;
            }
        }
    }
    ExtractJob job;
    if (naming.empty()) {
        job = BuildJob(tracks_, selected, PathText().toStdString(),
                       namePrefix_->text().toStdString(), drive, settings_.verify,
                       settings_.verifyMethod == 1);
    } else {
        FileNaming files;
        files.folder = PathText().toStdString();
        files.prefix = namePrefix_->text().toStdString();
        files.naming = naming;
        files.names = discNames;
        files.extension = settings_.flacFiles ? ".flac" : ".wav";
        job = BuildJob(tracks_, selected, files, drive, settings_.verify,
                       settings_.verifyMethod == 1);
        // The template's folders, as mkdir -p makes them.
        for (const JobEntry& entry : job.tracks) {
            const std::string folder = platform::FolderOf(entry.path);
            std::string reason;
            if (!platform::FolderExists(folder) && !platform::MakeFolders(folder, reason)) {
                QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"),
                                QStringLiteral("The folder %1 cannot be created: %2")
                                    .arg(Text(folder), Text(reason)),
                                QMessageBox::Ok, this);
                box.exec();
                return;
            }
        }
    }
    job.readOffset = CurrentReadOffset();
    job.secure = settings_.secureReading;
    job.secureSettings.agreeing = settings_.secureAgreeing;
    job.secureSettings.maxReadings = settings_.secureMaxReadings;
    job.secureSettings.cacheSectors = settings_.driveCacheSectors;
    std::shared_ptr<const output::CoverImage> cover;
    std::string coverFolder;
    if (settings_.flacFiles) {
        const accuracy::DiscToc toc = accuracy::DiscTocFromTable(tracks_);
        const output::DiscIdTexts ids{accuracy::MusicBrainzId(toc),
                                      accuracy::AccurateRipIdOf(toc).Text(),
                                      accuracy::CtdbTocId(toc)};
        // The release's front cover goes into each file and beside them as
        // cover.jpg; without one the files are as they are.
        output::FlacSettings flac;
        const metadata::Release* release = metadata_ ? metadata_->Chosen() : nullptr;
        if (release != nullptr && !release->mbid.empty() && !job.tracks.empty()) {
            metadata::LookupOptions options;
            options.coverArtUrl = settings_.coverArtUrl;
            options.cancel = &closing_;
            const net::AnswerCache cache(net::DefaultCacheFolder());
            options.cache = &cache;
            const std::string mbid = release->mbid;
            RunAside([&flac, &options, &mbid] {
                std::string reason;
                if (auto image = metadata::FetchFrontCover(mbid, options, reason)) {
                    flac.cover = std::make_shared<const output::CoverImage>(std::move(*image));
                }
            });
            if (endRequested_) {
                return;
            }
            cover = flac.cover;
            coverFolder = platform::FolderOf(job.tracks.front().path);
        }
        // The disc's own tags, the looked-up names over them, and the user's
        // names for the rows over both.
        output::TagAdjuster adjust;
        if (names) {
            adjust = [this, &discNames](int number, output::TrackTags& tags) {
                if (metadata_ && metadata_->Known()) {
                    metadata::ApplyToTags(*metadata_, number, tags);
                }
                if (const std::string title = discNames.Track(number).title; !title.empty()) {
                    tags.title = title;
                }
            };
        }
        output::UseFlacFiles(job, *details, ids, std::move(flac), adjust);
    }
    // The sheet and playlist, planned before the run, are written when every
    // audio track has been ripped.
    std::optional<output::RipSheet> sheet;
    if (settings_.cueSheet) {
        std::map<int, std::string> paths;
        for (const JobEntry& entry : job.tracks) {
            paths[entry.track.number] = entry.path;
        }
        sheet = output::PlanRipSheet(tracks_, *details,
                                     names ? discNames : output::NamesFromCdText(*details), paths,
                                     namePrefix_->text().toStdString(),
                                     output::LocalDateText());
    }
    job.readMethod = ProbeReadMethod(drive.hostAdapter, drive.target);
    if (job.secure && !job.tracks.empty()) {
        job.c2Pointers = ProbeC2Pointers(drive.hostAdapter, drive.target, job.readMethod,
                                         job.tracks.front().track.start);
        job.secureSettings.cacheSectors =
            CacheDefeatSectors(drive.hostAdapter, drive.target, job.secureSettings.cacheSectors);
    }
    const FreeSpace space = job.tracks.empty() ? FreeSpace{} : freeSpace_(job);
    const uint64_t free = space.bytes;

    StopPollTimer();
    const uint64_t needed = NeededBytes(job);
    if (!space.error.empty() || needed > free) {
        // A folder whose free space cannot be found is named with the reason,
        // not taken for a full disk.
        QString message = Text(space.error.empty() ? NotEnoughSpaceMessage(needed - free)
                                                   : space.error);
        message.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"), message, QMessageBox::Ok,
                        this);
        box.exec();
        if (job.readMethod != kReadCd && job.readMethod != kReadCdda) {
            (void)CdCommands::SelectBlockMode(drive.hostAdapter, drive.target, 1);
        }
    } else {
        // The databases are asked before the first read; the checks follow
        // the run and must outlive the dialog.
        std::unique_ptr<accuracy::RipAccuracy> checks;
        if (settings_.checkAccuracy) {
            accuracy::RipAccuracyOptions options;
            if (!settings_.accurateRipUrl.empty()) {
                options.accurateRipUrl = settings_.accurateRipUrl;
            }
            if (!settings_.ctdbUrl.empty()) {
                options.ctdbUrl = settings_.ctdbUrl;
            }
            options.cacheFolder = net::DefaultCacheFolder();
            // Secure reading takes a track the databases confirm on its
            // first reading.
            options.skipConfirmed = settings_.skipConfirmed || settings_.secureReading;
            options.repair = settings_.repairFromCtdb;
            checks = std::make_unique<accuracy::RipAccuracy>(tracks_, job, options);
            RunAside([&checks] { checks->LookUp(); });
        }
        if (endRequested_) {
            // The program was asked to end while the databases were asked.
            if (job.readMethod != kReadCd && job.readMethod != kReadCdda) {
                (void)CdCommands::SelectBlockMode(drive.hostAdapter, drive.target, 1);
            }
            reject();
            return;
        }
        const std::string ripLogPath =
            PathText().toStdString() + namePrefix_->text().toStdString() + ".log";
        const int32_t readMethod = job.readMethod;
        auto* dialog = new ExtractDialog(std::move(job), this);
        if (checks) {
            dialog->Protocol().SetObserver(checks.get());
        }
        extraction_ = dialog;
        dialog->exec();
        extraction_ = nullptr;
        const bool finished = dialog->Protocol().Finished();
        const bool failed = dialog->Protocol().Failed();
        delete dialog; // closes the run: the worker has ended when this returns
        if (checks && finished) {
            WriteRipLog(*checks, ripLogPath, readMethod, namesSource);
        }
        if (sheet && sheet->reason.empty() && finished && !failed) {
            WriteCueSheet(*sheet);
        }
        // A cover.jpg of the user's own stays.
        std::string error;
        if (cover && finished && !output::SaveCoverBeside(*cover, coverFolder, error)) {
            QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"),
                            QStringLiteral("Error saving file"), QMessageBox::Ok, this);
            box.setDetailedText(Text(error));
            box.exec();
        }
        RefreshTrackList();
    }
    StartPollTimer();
    if (endRequested_) {
        reject();
    }
}

void MainDialog::WriteRipLog(const accuracy::RipAccuracy& checks, const std::string& path,
                             int32_t readMethod, const std::string& names) {
    accuracy::RipLogData data = checks.LogData();
    data.version = VINDRAL_VERSION;
    data.date = accuracy::UtcDateText();
    data.drive = driveList_->currentText().toStdString();
    data.readOffset = CurrentReadOffset();
    data.readMethod = ReadMethodName(readMethod);
    data.speed = speedList_->currentText().toStdString();
    data.names = names;
    std::string error;
    if (!platform::WriteWholeFile(path, accuracy::RenderRipLog(data), error)) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"),
                        QStringLiteral("Error saving file"), QMessageBox::Ok, this);
        box.setDetailedText(Text(error));
        box.exec();
    }
}

void MainDialog::WriteCueSheet(const output::RipSheet& sheet) {
    std::string error;
    if (!output::WriteRipSheet(sheet, error)) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"),
                        QStringLiteral("Error saving file"), QMessageBox::Ok, this);
        box.setDetailedText(Text(error));
        box.exec();
    }
}

void MainDialog::BrowseForFolder() {
    QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Select path"));
    if (folder.isEmpty()) {
        return;
    }
    if (!folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    const std::string path = folder.toStdString();
    if (path.size() > platform::kMaxFolderLength) {
        return; // the store keeps no longer folder
    }
    settings_.outputFolder = path;
    path_->setText(folder);
    path_->setToolTip(folder);
}

void MainDialog::DriveChanged(int index) {
    if (index < 0 || index >= static_cast<int>(drives_.size())) {
        return;
    }
    AwaitDiscDetails(); // the reading was of the drive left
    currentDrive_ = index;
    ForgetReadiness(Current());
    RefreshTrackList();
    ShowSpeedIndicator();
    ShowReadOffset();
}

std::string MainDialog::CurrentDriveModel() const {
    if (currentDrive_ < 0 || currentDrive_ >= static_cast<int>(driveModels_.size())) {
        return {};
    }
    return driveModels_[static_cast<std::size_t>(currentDrive_)];
}

int32_t MainDialog::CurrentReadOffset() const {
    return drives_.empty() ? 0 : settings_.ReadOffsetOf(CurrentDriveModel());
}

void MainDialog::SetCurrentReadOffset(int32_t samples) {
    if (drives_.empty() || samples < -platform::kMaxStoredReadOffset ||
        samples > platform::kMaxStoredReadOffset) {
        return;
    }
    settings_.readOffsets[CurrentDriveModel()] = samples;
    ShowReadOffset();
}

void MainDialog::ShowReadOffset() {
    // The drive list's tip names the offset the extraction will correct.
    if (drives_.empty()) {
        driveList_->setToolTip(QString());
        return;
    }
    driveList_->setToolTip(
        QStringLiteral("Read offset: %1 samples").arg(Text(FormatOffset(CurrentReadOffset()))));
}

void MainDialog::ChooseReadOffset() {
    if (drives_.empty()) {
        return;
    }
    const QString model = Text(CurrentDriveModel());
    std::optional<int32_t> chosen;
    if (offsetChooser_) {
        chosen = offsetChooser_(model, CurrentReadOffset());
    } else {
        bool ok = false;
        const int value = QInputDialog::getInt(
            this, QStringLiteral("Read offset"),
            QStringLiteral("Read offset of %1 in samples (-3000 to 3000):").arg(model),
            CurrentReadOffset(), -platform::kMaxStoredReadOffset, platform::kMaxStoredReadOffset,
            1, &ok);
        if (ok) {
            chosen = value;
        }
    }
    if (chosen) {
        SetCurrentReadOffset(*chosen);
    }
}

void MainDialog::FindReadOffset() {
    if (drives_.empty()) {
        return;
    }
    StopPollTimer();
    RefreshTrackList(); // the disc in the drive now (after any reading of its details)
    if (endRequested_) {
        return; // the window has closed meanwhile
    }
    const QString model = Text(CurrentDriveModel());
    QString text;
    std::optional<int32_t> best;
    if (tracks_.count == 0) {
        text = QStringLiteral("There is no disc in the drive.");
    } else {
        // The database is asked and the disc read (eleven sectors per
        // track) beside the window.
        const net::AnswerCache cache(net::DefaultCacheFolder());
        const std::string base = settings_.accurateRipUrl.empty() ? accuracy::kDefaultAccurateRipUrl
                                                                  : settings_.accurateRipUrl;
        const CdDevice device = Current();
        accuracy::DriveOffsetLookup found;
        RunAside([&] { found = accuracy::FindDriveOffsetInDatabase(device, tracks_, base, cache); });
        if (found.lookup.state != accuracy::LookupState::Found) {
            text = Text(accuracy::OffsetLookupLine(found.lookup));
        } else if (!found.search.error.empty()) {
            text = QStringLiteral("The read offset cannot be found: %1")
                       .arg(Text(found.search.error));
        } else {
            QStringList lines;
            for (const std::string& line : accuracy::OffsetSearchLines(found.search)) {
                lines << Text(line);
            }
            text = lines.join(QLatin1Char('\n'));
            if (!found.search.candidates.empty()) {
                best = found.search.candidates.front().offset;
            }
        }
    }
    if (endRequested_) {
        reject(); // the program was asked to end meanwhile
        return;
    }
    if (best) {
        text += QStringLiteral("\n\nUse %1 samples as the read offset of %2?")
                    .arg(Text(FormatOffset(*best)), model);
        QMessageBox box(QMessageBox::Question, QStringLiteral("Vindral"), text,
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(QMessageBox::Yes);
        if (box.exec() == QMessageBox::Yes && !endRequested_) {
            SetCurrentReadOffset(*best);
        }
    } else {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Vindral"), text,
                        QMessageBox::Ok, this);
        box.exec();
    }
    StartPollTimer();
    if (endRequested_) {
        reject();
    }
}

void MainDialog::SpeedChosen(int index) {
    AwaitDiscDetails();
    if (!drives_.empty()) {
        const CdDevice drive = Current();
        ChooseSpeed(drive.hostAdapter, drive.target, index);
    }
    ShowSpeedIndicator();
}

void MainDialog::ShowSpeedIndicator() {
    speedIndicator_->setText(QString());
    if (drives_.empty()) {
        return;
    }
    AwaitDiscDetails();
    const CdDevice drive = Current();
    speedIndicator_->setText(Text(SenseSpeedIndicator(drive.hostAdapter, drive.target)));
}

void MainDialog::LoadStoredSettings() {
    settings_ = platform::LoadSettings(settingsPath_);
    settingsLoaded_ = true;
    if (platform::FolderExists(settings_.outputFolder)) {
        path_->setText(Text(settings_.outputFolder));
        path_->setToolTip(path_->text());
    }
}

void MainDialog::ShowAbout() {
    AboutDialog about(this);
    about.exec();
}

std::shared_ptr<emulated::EmulatedDrive> MainDialog::CurrentEmulatedDrive() const {
    if (drives_.empty()) {
        return nullptr;
    }
    const CdDevice drive = Current();
    const std::size_t index = std::size_t{drive.hostAdapter} * 16 + drive.target;
    return drive.target < 16 && index < emulatedDrives_.size() ? emulatedDrives_[index] : nullptr;
}

void MainDialog::EjectDisc() {
    if (auto drive = CurrentEmulatedDrive()) {
        drive->Eject();
    }
}

void MainDialog::LoadImage() {
    auto drive = CurrentEmulatedDrive();
    if (!drive) {
        return;
    }
    const QString path = imageChooser_ ? imageChooser_()
                                       : QFileDialog::getOpenFileName(
                                             this, QStringLiteral("Load image"), QString(),
                                             QStringLiteral("CUE sheets (*.cue);;All files (*)"));
    if (path.isEmpty()) {
        return;
    }
    std::string error;
    auto disc = emulated::LoadCueSheet(path.toStdString(), error);
    if (!disc) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"), Text(error),
                        QMessageBox::Ok, this);
        box.exec();
        return;
    }
    // The disc check notices the new disc on its next tick.
    drive->Insert(std::move(disc));
}

void MainDialog::EndProgram() {
    endRequested_ = true;
    while (QWidget* popup = QApplication::activePopupWidget()) {
        if (!popup->close()) {
            break;
        }
    }
    // Message boxes, file choosers and the about box end as with Escape;
    // the code that opened them goes on, and comes back here through the
    // end of Start, or the window closes below.
    for (int depth = 0; depth < 16; ++depth) {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal == nullptr || modal == this || modal == extraction_.data()) {
            break;
        }
        modal->done(QDialog::Rejected);
    }
    if (extraction_ != nullptr) {
        extraction_->EndProgram(); // Start closes the window when it returns
        return;
    }
    reject();
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutMenuText), this, &MainDialog::ShowAbout);
    if (!drives_.empty()) {
        menu.addAction(QStringLiteral("Read offset..."), this, &MainDialog::ChooseReadOffset);
        menu.addAction(QStringLiteral("Find read offset..."), this, &MainDialog::FindReadOffset);
    }
    if (metadata_ && metadata_->releases.size() > 1) {
        menu.addAction(QStringLiteral("Choose release..."), this, &MainDialog::ChooseRelease);
    }
    if (CurrentEmulatedDrive()) {
        menu.addSeparator();
        menu.addAction(QStringLiteral("Eject"), this, &MainDialog::EjectDisc);
        menu.addAction(QStringLiteral("Load image..."), this, &MainDialog::LoadImage);
    }
    menu.exec(event->globalPos());
}

void MainDialog::reject() {
    StopPollTimer();
    CancelLookUps();
    closing_ = true;
    if (settingsLoaded_) {
        (void)platform::SaveSettings(settingsPath_, settings_);
    }
    QDialog::reject();
}

} // namespace vindral::ui
