// The extraction dialog, "Extracting Tracks": runs one job through the run
// protocol and shows its progress, its status log and, when the run is over,
// Save Status and Close.
#pragma once

#include <QDialog>

#include <atomic>
#include <memory>

#include "extract/RunProtocol.h"
#include "platform/Platform.h"
#include "platform/media/AudioOutput.h"
#include "player/PeakDisplay.h"
#include "player/Player.h"

class QGroupBox;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;

namespace vindral::platform {
class MediaInterpreter;
}

namespace vindral::ui {

class LinkLabel;
class PeakWidget;
class PeakPlayerView;

enum ExtractControl : int {
    kIdCancel = 2,
    kIdTrackProgress = 1010,
    kIdTrackSpeed = 1011,
    kIdTrackElapsed = 1012,
    kIdTrackRemaining = 1013,
    kIdStatusLog = 1017,
    kIdTotalBar = 1019,
    kIdTotalProgress = 1020,
    kIdTotalSpeed = 1021,
    kIdTotalElapsed = 1022,
    kIdTotalRemaining = 1023,
    kIdTrackErrors = 1024,
    kIdTotalErrors = 1025,
    kIdSaveStatus = 1030,
    kIdTrackGroup = 1031,
    kIdPeakArea = 1033,
    kIdPlay = 1034,
    kIdStop = 1035,
    kIdPosition = 1036,
    kIdPause = 1037,
    kIdNextTrack = 1040,
    kIdPreviousTrack = 1041,
    kIdTrackNumber = 1042,
};

class ExtractDialog : public QDialog, public RunView {
    Q_OBJECT
public:
    // `outputs` makes the audio output of the player's device; by default the
    // sound system's, or a silent one when no device opens.
    explicit ExtractDialog(ExtractJob job, QWidget* parent = nullptr,
                           platform::TickSource tick = platform::TickCount,
                           platform::OutputFactory outputs = {});
    // Closes the run: no message is handled any more and the worker has
    // ended when the destructor returns.
    ~ExtractDialog() override;

    // Opens the run (its first pass starts) and runs the dialog modally.
    int exec() override;
    // Opens the run without a modal loop of its own.
    void OpenRun();
    // The program ends: Cancel as with the button, then, once no worker
    // runs any more, Close.
    void EndProgram();

    RunProtocol& Protocol() { return *protocol_; }
    const RunProtocol& Protocol() const { return *protocol_; }

    // RunView: every call comes on this dialog's thread.
    void ShowTexts(const DisplayTexts& texts) override;
    void LogLineAdded(const std::string& line, int lineCount) override;
    void SetProgressBar(int percent) override;
    void EnableSaveStatus() override;
    void SetCancelCaption(const std::string& caption) override;
    void EndDialog() override;
    void SetTrackCaption(const std::string& caption) override;
    void InitialiseDisplay() override;
    void StartTrackPicture() override;
    void DrawBlockColumn(SectorAddress blockAddress, int32_t sectorsCounted,
                         int32_t trackLength) override;
    void StartPlayer() override;
    void ClosePlayer() override;

    // The peak display and the player, for tests.
    const PeakDisplay& Display() const { return display_; }
    PeakWidget* Peaks() const { return peaks_; }
    Player& ThePlayer() { return *player_; }
    platform::MediaInterpreter& Media() { return *media_; }

public slots:
    // Cancel, Escape and the close box.
    void reject() override;
    void SaveStatus();

private:
    // Hands the worker's pending messages to the protocol: the one that woke
    // us, then those that follow at once, for a few milliseconds at most, so
    // that a fast drive does not wait for a trip through the event loop per
    // block while the window still repaints and takes input.
    void DeliverProgress();

    std::unique_ptr<RunProtocol> protocol_;
    std::atomic<bool> wakePosted_{false};
    std::array<LinkLabel*, 12> texts_{};
    QListWidget* log_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* save_ = nullptr;
    QGroupBox* trackGroup_ = nullptr;
    bool ended_ = false;
    QTimer* endTimer_ = nullptr; // while EndProgram waits for the worker

    PeakDisplay display_;
    PeakWidget* peaks_ = nullptr;
    std::unique_ptr<platform::MediaInterpreter> media_;
    std::unique_ptr<PeakPlayerView> playerView_;
    std::unique_ptr<Player> player_;
    QTimer* playerTimer_ = nullptr;
};

} // namespace vindral::ui
