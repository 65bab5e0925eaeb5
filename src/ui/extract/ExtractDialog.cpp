#include "ui/extract/ExtractDialog.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"
#include "platform/media/MediaInterpreter.h"
#include "ui/player/PeakWidget.h"
#include "ui/player/PlayerIcons.h"
#include "ui/player/QtAudioOutput.h"

namespace vindral::ui {

namespace {

using K = ControlKind;

// Template 133.
constexpr ControlTemplate kExtractControls[] = {
    {kIdCancel, K::PushButton, "Cancel", 261, 12, 43, 14},
    {kIdSaveStatus, K::PushButton, "&Save Status", 210, 12, 43, 14, true},
    {kNoId, K::GroupBox, "", 7, 4, 305, 25},
    {kIdPreviousTrack, K::IconButton, "", 69, 12, 13, 14, true},
    {kIdNextTrack, K::IconButton, "", 101, 12, 13, 14, true},
    {kIdPlay, K::IconButton, "", 127, 12, 18, 14, true},
    {kIdStop, K::IconButton, "", 149, 12, 18, 14, true},
    {kIdPause, K::IconButton, "", 171, 12, 18, 14, true},
    {kIdPosition, K::CenteredSunkenLabel, "", 15, 12, 39, 14},
    {kIdTrackNumber, K::CenteredSunkenLabel, "", 83, 12, 17, 14},
    {kIdTrackGroup, K::GroupBox, "Track", 7, 31, 305, 111},
    {kIdPeakArea, K::BlackFrame, "", 16, 42, 288, 72},
    {kNoId, K::Text, "Elapsed Time:", 16, 118, 46, 8},
    {kIdTrackElapsed, K::RightLabel, "", 91, 118, 41, 8},
    {kNoId, K::Text, "Est. Remaining Time:", 16, 128, 68, 8},
    {kIdTrackRemaining, K::RightLabel, "", 91, 128, 41, 8},
    {kNoId, K::Text, "Progress:", 218, 118, 30, 8},
    {kIdTrackProgress, K::RightLabel, "", 263, 118, 41, 8},
    {kNoId, K::Text, "Speed:", 218, 128, 24, 8},
    {kIdTrackSpeed, K::RightLabel, "", 263, 128, 41, 8},
    {kNoId, K::GroupBox, "Total", 7, 144, 305, 49},
    {kIdTotalBar, K::ProgressBar, "", 16, 158, 288, 9},
    {kNoId, K::Text, "Elapsed Time:", 16, 169, 46, 8},
    {kIdTotalElapsed, K::RightLabel, "", 91, 169, 41, 8},
    {kNoId, K::Text, "Est. Remaining Time:", 16, 179, 68, 8},
    {kIdTotalRemaining, K::RightLabel, "", 91, 179, 41, 8},
    {kNoId, K::Text, "Progress:", 218, 169, 30, 8},
    {kIdTotalProgress, K::RightLabel, "", 263, 169, 41, 8},
    {kNoId, K::Text, "Speed:", 218, 179, 24, 8},
    {kIdTotalSpeed, K::RightLabel, "", 263, 179, 41, 8},
    {kNoId, K::Text, "Track Errors:", 7, 197, 42, 8},
    {kIdTrackErrors, K::RightLabel, "", 53, 197, 96, 8},
    {kNoId, K::Text, "Total Errors:", 169, 197, 39, 8},
    {kIdTotalErrors, K::RightLabel, "", 216, 197, 96, 8},
    {kIdStatusLog, K::ListBox, "", 7, 207, 305, 51},
};

constexpr DialogTemplate kExtractTemplate{"Extracting Tracks", 319, 263, kExtractControls};

// The controls of the twelve texts, in the order of DisplayTexts.
constexpr std::array<int, 12> kTextControls = {
    kIdTrackElapsed, kIdTrackProgress, kIdTrackRemaining, kIdTrackSpeed,
    kIdTotalElapsed, kIdTotalProgress, kIdTotalRemaining, kIdTotalSpeed,
    kIdTrackErrors,  kIdTotalErrors,   kIdPosition,       kIdTrackNumber,
};

} // namespace

ExtractDialog::ExtractDialog(ExtractJob job, QWidget* parent, platform::TickSource tick,
                             platform::OutputFactory outputs)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
    BuildDialog(*this, kExtractTemplate);
    for (std::size_t i = 0; i < kTextControls.size(); ++i) {
        texts_[i] = Control<LinkLabel>(*this, kTextControls[i]);
        texts_[i]->setText(QString());
    }
    log_ = Control<QListWidget>(*this, kIdStatusLog);
    bar_ = Control<QProgressBar>(*this, kIdTotalBar);
    cancel_ = Control<QPushButton>(*this, kIdCancel);
    save_ = Control<QPushButton>(*this, kIdSaveStatus);
    trackGroup_ = Control<QGroupBox>(*this, kIdTrackGroup);

    for (const int id : {kIdTotalElapsed, kIdTotalSpeed, kIdTotalRemaining, kIdTotalProgress,
                         kIdTotalErrors, kIdTrackElapsed, kIdTrackSpeed, kIdTrackRemaining,
                         kIdTrackProgress, kIdTrackErrors}) {
        Control<LinkLabel>(*this, id)->SetLabelTextColor(QColor(0, 0, 128));
    }
    for (const int id : {kIdPosition, kIdTrackNumber}) {
        Control<LinkLabel>(*this, id)
            ->SetLabelTextColor(QColor(255, 255, 0))
            .SetLabelBkColor(QColor(0, 0, 0))
            .SetFontSize(15)
            .SetFontName(QStringLiteral("Arial"));
    }

    const std::pair<int, int> buttons[] = {
        {kIdPlay, kIconPlay},          {kIdStop, kIconStop},     {kIdPause, kIconPause},
        {kIdPreviousTrack, kIconPrevious}, {kIdNextTrack, kIconNext},
    };
    for (const auto& [id, icon] : buttons) {
        auto* button = Control<QPushButton>(*this, id);
        button->setIcon(PlayerButtonIcon(icon));
        button->setIconSize(QSize(14, 14));
    }

    connect(cancel_, &QPushButton::clicked, this, &ExtractDialog::reject);
    connect(save_, &QPushButton::clicked, this, &ExtractDialog::SaveStatus);

    // A worker's message is handled on this dialog's thread: the wake posts a
    // call here (one at a time), which hands the pending messages to the
    // protocol.
    protocol_ = std::make_unique<RunProtocol>(
        std::move(job), *this, std::move(tick), [this] {
            if (!wakePosted_.exchange(true)) {
                QMetaObject::invokeMethod(this, &ExtractDialog::DeliverProgress,
                                          Qt::QueuedConnection);
            }
        });

    // The peak display over frame 1033, and the player over the run's fields.
    ExtractRun& run = protocol_->Run();
    peaks_ = new PeakWidget(display_, run.player, this);
    media_ = std::make_unique<platform::MediaInterpreter>(
        outputs ? std::move(outputs) : QtAudioOutput::FactoryWithFallback());
    PeakPlayerView::Callbacks callbacks;
    callbacks.showPosition = [this](const std::string& text) {
        texts_[10]->setText(QString::fromStdString(text));
    };
    callbacks.scrollLogTo = [this](int32_t line) {
        if (QListWidgetItem* item = log_->item(line)) {
            log_->scrollToItem(item, QAbstractItemView::PositionAtTop);
        }
    };
    callbacks.showTrack = [this](const std::string& caption, const std::string& number) {
        trackGroup_->setTitle(QString::fromStdString(caption));
        texts_[11]->setText(QString::fromStdString(number));
    };
    playerView_ = std::make_unique<PeakPlayerView>(*peaks_, std::move(callbacks));
    player_ = std::make_unique<Player>(run.player, *media_, *playerView_, display_, *run.peaks);
    playerTimer_ = new QTimer(this);
    playerTimer_->setInterval(Player::kPollMilliseconds);
    connect(playerTimer_, &QTimer::timeout, this, [this] { player_->Poll(); });
    connect(peaks_, &PeakWidget::pictureClicked, this,
            [this](int x, int y) { player_->ClickPicture(x, y); });
    connect(Control<QPushButton>(*this, kIdPlay), &QPushButton::clicked, this,
            [this] { player_->Play(); });
    connect(Control<QPushButton>(*this, kIdStop), &QPushButton::clicked, this,
            [this] { player_->Stop(); });
    connect(Control<QPushButton>(*this, kIdPause), &QPushButton::clicked, this,
            [this] { player_->Pause(); });
    connect(Control<QPushButton>(*this, kIdNextTrack), &QPushButton::clicked, this,
            [this] { player_->NextTrack(); });
    connect(Control<QPushButton>(*this, kIdPreviousTrack), &QPushButton::clicked, this,
            [this] { player_->PreviousTrack(); });
}

ExtractDialog::~ExtractDialog() {
    // Closing the device may run a nested event loop: no poll of the player,
    // no button and no click on the picture may reach this dialog while the
    // run and the device go away.
    playerTimer_->stop();
    for (QObject* child : findChildren<QObject*>()) {
        disconnect(child, nullptr, this, nullptr);
    }
    protocol_->Close();
    // The device is closed with the dialog, whether or not it was opened.
    if (!ended_) {
        ClosePlayer();
    }
}

void ExtractDialog::DeliverProgress() {
    constexpr qint64 kSliceMs = 5;
    wakePosted_.store(false);
    QElapsedTimer slice;
    slice.start();
    if (!protocol_->DispatchProgress()) {
        return;
    }
    while (!ended_ && slice.elapsed() < kSliceMs && protocol_->WaitAndDispatch(0)) {
    }
}

void ExtractDialog::OpenRun() { protocol_->Open(); }

int ExtractDialog::exec() {
    OpenRun();
    if (ended_) {
        return QDialog::Rejected;
    }
    return QDialog::exec();
}

void ExtractDialog::ShowTexts(const DisplayTexts& texts) {
    const std::array<const std::string*, 12> values = {
        &texts.trackElapsed, &texts.trackProgress, &texts.trackRemaining, &texts.trackSpeed,
        &texts.totalElapsed, &texts.totalProgress, &texts.totalRemaining, &texts.totalSpeed,
        &texts.trackErrors,  &texts.totalErrors,   &texts.position,       &texts.trackNumber,
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        const QString text = QString::fromStdString(*values[i]);
        if (texts_[i]->text() != text) {
            texts_[i]->setText(text);
        }
    }
}

void ExtractDialog::LogLineAdded(const std::string& line, int /*lineCount*/) {
    log_->addItem(QString::fromStdString(line));
    log_->scrollToBottom();
}

void ExtractDialog::SetProgressBar(int percent) {
    if (bar_->value() != percent) {
        bar_->setValue(percent);
    }
}

void ExtractDialog::EnableSaveStatus() { save_->setEnabled(true); }

void ExtractDialog::SetCancelCaption(const std::string& caption) {
    cancel_->setText(QString::fromStdString(caption));
}

void ExtractDialog::EndDialog() {
    ended_ = true;
    done(QDialog::Rejected);
}

void ExtractDialog::SetTrackCaption(const std::string& caption) {
    trackGroup_->setTitle(QString::fromStdString(caption));
}

void ExtractDialog::InitialiseDisplay() {
    QWidget* frame = FindControl(*this, kIdPeakArea);
    const QRect area = frame->geometry();
    display_.Initialise({area.x(), area.y(), area.width(), area.height()});
    // The widget draws the outline one pixel outside the picture.
    peaks_->setGeometry(area.adjusted(-PeakWidget::kOutline, -PeakWidget::kOutline,
                                      PeakWidget::kOutline, PeakWidget::kOutline));
    peaks_->AreaChanged();
    peaks_->raise();
    peaks_->show();
}

void ExtractDialog::StartTrackPicture() {
    display_.StartTrackPicture();
    peaks_->PictureChanged();
}

void ExtractDialog::DrawBlockColumn(SectorAddress blockAddress, int32_t sectorsCounted,
                                    int32_t trackLength) {
    peaks_->ColumnChanged(
        display_.DrawBlockColumn(blockAddress, sectorsCounted, trackLength, *protocol_->Run().peaks));
}

void ExtractDialog::StartPlayer() {
    player_->SetTracks(PlayerTracksOf(protocol_->Job(),
                                      [this](int entry) { return protocol_->TrackLogStart(entry); }));
    playerTimer_->start();
    for (const int id : {kIdPreviousTrack, kIdNextTrack, kIdPlay, kIdPause, kIdStop}) {
        Control<QPushButton>(*this, id)->setEnabled(true);
    }
    peaks_->MarkerChanged();
}

void ExtractDialog::ClosePlayer() {
    // The timer first: closing the device may run a nested event loop.
    playerTimer_->stop();
    player_->Close();
}

void ExtractDialog::reject() { protocol_->Cancel(); }

void ExtractDialog::EndProgram() {
    if (ended_ || endTimer_ != nullptr) {
        return;
    }
    if (!protocol_->Run().cancel.load()) {
        reject(); // Cancel: the worker stops and removes its file
    }
    // The worker reports its end through the messages this dialog's loop
    // handles; the second Cancel (Close) waits for that.
    endTimer_ = new QTimer(this);
    connect(endTimer_, &QTimer::timeout, this, [this] {
        if (ended_) {
            endTimer_->stop();
        } else if (!protocol_->WorkerActive()) {
            endTimer_->stop();
            reject(); // Close
        }
    });
    endTimer_->start(20);
}

void ExtractDialog::SaveStatus() {
    QFileDialog chooser(this, QStringLiteral("Save As"));
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    chooser.setFileMode(QFileDialog::AnyFile);
    chooser.setNameFilter(QStringLiteral("TXT files (*.txt)"));
    chooser.setDefaultSuffix(QStringLiteral("txt"));
    chooser.selectFile(QStringLiteral("status.txt"));
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
        return;
    }
    const QString path = chooser.selectedFiles().constFirst();
    if (!protocol_->Log().Save(path.toStdString())) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"),
                        QStringLiteral("Error saving file"), QMessageBox::Ok, this);
        box.exec();
    }
}

} // namespace vindral::ui
