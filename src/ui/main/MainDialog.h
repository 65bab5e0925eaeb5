// The main window: the drive list, the track list of the inserted disc, the
// selection figures, the file options, verify, the read speed and Start.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "drive/DriveSearch.h"
#include "drive/emulated/EmulatedDrive.h"
#include "extract/ExtractRun.h"
#include "extract/JobBuilder.h"
#include "platform/Settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace vindral::accuracy {
class RipAccuracy;
}

namespace vindral {
struct DiscDetails;
}

namespace vindral::metadata {
struct DiscMetadata;
}

namespace vindral::output {
struct DiscNames;
struct RipSheet;
}

namespace vindral::ui {

class ExtractDialog;
class LinkLabel;

// Control identifiers of the main window.
enum MainControl : int {
    kIdExit = 2,
    kIdStart = 1001,
    kIdDriveList = 1002,
    kIdTrackList = 1003,
    kIdDiscTracks = 1004,
    kIdDiscLength = 1005,
    kIdSelectedTracks = 1006,
    kIdSelectedLength = 1007,
    kIdSpaceNeeded = 1008,
    kIdBrowse = 1013,
    kIdNamePrefix = 1015,
    kIdPath = 1016,
    kIdVerify = 1025,
    kIdC2Pointers = 1026,
    kIdReadTwice = 1027,
    kIdSpeedList = 1028,
    kIdSpeedIndicator = 1032,
    // "Skip verification of tracks the databases confirm": with the check
    // below, leaves out the second reading of confirmed tracks; without it,
    // disabled.
    kIdSkipConfirmed = 1046,
    // "Secure reading": sectors that fail, carry C2 errors or differ in the
    // verification are read again until readings agree, and a bad track
    // does not end the run.
    kIdSecureReading = 1047,
    // "Check the rip against AccurateRip and CTDB": the run looks the disc up
    // in both databases, reports each track's result after its last line and
    // writes the rip log, with its checksum, beside the files.
    kIdCheckAccuracy = 1048,
    // The disc's CD-Text title and performer, in the Disc Information box;
    // empty for a disc without CD-Text.
    kIdDiscText = 1049,
    // The files' format in the File Options box: "WAV" (the default) or
    // "FLAC" (tagged, from libFLAC).
    kIdFileFormat = 1051,
    // "Write cue sheet" in the File Options box: a rip of every audio track
    // writes the cue sheet and playlist of vindral-cli rip --cue beside the
    // files.
    kIdCueSheet = 1052,
    // "File names" in the File Options box: the prefix and the track number
    // (the default), or a template of vindral-cli rip --naming filled with
    // the disc's names.
    kIdNaming = 1053,
    // "Look up track names online (MusicBrainz, GnuDB)", ticked unless the
    // settings' noMetadata is set: each disc is looked up on a thread of its
    // own once its details are read; the names fill the track list, the Disc
    // Information box, the templates, the tags and the cue sheet.
    kIdLookUpNames = 1054,
    // "Repair from the CTDB's parity ...": with the accuracy check only.
    kIdRepairFromCtdb = 1055,
};

constexpr int kPollIntervalMs = 100;
constexpr int kReadinessEntries = 128;

class MainDialog : public QDialog {
    Q_OBJECT
public:
    explicit MainDialog(QWidget* parent = nullptr);
    ~MainDialog() override;

    // The start-up steps: transport, drive search, first disc check, speed,
    // settings, poll timer. False when the program must end (after the
    // message box that says why).
    bool Initialise();

    // The disc check: re-reads the table of contents when the readiness of
    // the current drive changed.
    void RefreshTrackList();
    // Forgets the remembered readiness of a drive, so the next disc check
    // reads its table of contents.
    void ForgetReadiness(CdDevice drive);
    // The poll tick: selection figures, then the disc check.
    void PollTick();
    void SelectionStatistics();
    void Start();
    void BrowseForFolder();
    // The about box, from the window's context menu (the window manager's
    // menu is not ours to extend).
    void ShowAbout();
    // The program is asked to end from outside (a signal): other modal
    // windows and menus close, a running extraction is cancelled as with its
    // Cancel button and closed once its worker has stopped, and then the
    // window closes as with Exit (the settings are written).
    void EndProgram();
    bool EndRequested() const { return endRequested_; }

    const std::vector<CdDevice>& Drives() const { return drives_; }
    const TrackTable& Tracks() const { return tracks_; }
    int CurrentDrive() const { return currentDrive_; }
    const platform::Settings& CurrentSettings() const { return settings_; }
    bool PollTimerActive() const { return pollTimer_.isActive(); }
    // The folder that Start uses (what the path field shows).
    QString PathText() const;
    // Where the settings live; the default follows XDG_CONFIG_HOME.
    void SetSettingsPath(std::string path) { settingsPath_ = std::move(path); }
    // Replaces the free-space query of Start.
    void SetFreeSpaceQuery(std::function<FreeSpace(const ExtractJob&)> query) {
        freeSpace_ = std::move(query);
    }
    // The emulated drives, drive i at (i / 16, i % 16) as the emulated
    // transport places them. Their context menu offers "Eject" and "Load
    // image..." so that a person can change the disc.
    void SetEmulatedDrives(std::vector<std::shared_ptr<emulated::EmulatedDrive>> drives) {
        emulatedDrives_ = std::move(drives);
    }
    // The emulated drive in the current line of the drive list, else nullptr.
    std::shared_ptr<emulated::EmulatedDrive> CurrentEmulatedDrive() const;
    // Takes the disc out of the current emulated drive.
    void EjectDisc();
    // Asks for a CUE sheet and puts it into the current emulated drive; a
    // sheet that cannot be loaded is named in a message box.
    void LoadImage();
    // Replaces the file chooser of LoadImage (returns the path, or an empty
    // text when cancelled).
    void SetImageChooser(std::function<QString()> chooser) { imageChooser_ = std::move(chooser); }

    // The drive model of the current line ("<vendor> <product>").
    std::string CurrentDriveModel() const;
    // The read offset kept for the current drive's model (0 when none); Start
    // gives it to the extraction.
    int32_t CurrentReadOffset() const;
    void SetCurrentReadOffset(int32_t samples);
    // "Read offset..." of the context menu: asks for the current drive's
    // offset (-3000 to 3000 samples) and keeps it for its model.
    void ChooseReadOffset();
    // Replaces the question of ChooseReadOffset: given the model and the
    // current offset, returns the new one, or nothing when cancelled.
    void SetReadOffsetChooser(
        std::function<std::optional<int32_t>(const QString& model, int32_t current)> chooser) {
        offsetChooser_ = std::move(chooser);
    }

    // "Find read offset..." of the context menu: reads the disc in the current
    // drive for the offset search against its AccurateRip answer (the
    // settings' database, through the answer cache), shows the result and,
    // when the user accepts, keeps the best offset for the drive's model.
    void FindReadOffset();

    // The extraction dialog while Start runs it, else nullptr.
    ExtractDialog* RunningExtraction() const { return extraction_; }

    // What the disc in the current drive says about itself (CD-Text, ISRCs,
    // pregaps, flags). Read once per disc, after the disc check has read a
    // new table of contents, on a thread of its own; kept until the disc
    // check sees a change. nullptr until read, and for no disc.
    //
    // One thread at a time sends drive commands. The reading starts from
    // the event loop, only while the poll timer runs (the window thread has
    // not handed the drive to an extraction, a database look-up or the
    // offset search), and while it runs the poll tick leaves the drive
    // alone; whatever else in the window must talk to the drive (Start, the
    // speed list, a drive change, the offset search, the disc check called
    // directly) first waits for the reading to end, painting and taking
    // signals as RunAside does. The reading never waits for the window.
    const DiscDetails* Details() const { return details_.get(); }
    // The tooltip of a row of the track list: its CD-Text title and
    // performer, ISRC, pregap and pre-emphasis; empty before the details.
    QString TrackToolTip(int row) const;
    bool ReadingDetails() const { return detailsRunning_; }
    // Waits (the window painting, its controls disabled) until no reading of
    // the details runs.
    void AwaitDiscDetails();

    // The names looked up for the disc in the current drive (the chosen
    // release among those that match): asked once its details are read,
    // when "Look up track names online" is ticked, on a thread of its own
    // that only talks to the network, so it runs beside anything else. A
    // disc change, turning the choice off or closing the window cancels it,
    // and an answer for another disc is dropped. nullptr until it arrives;
    // it may know nothing (then the window shows what it showed without).
    // Names fill the rows the user has not renamed (F2): an edited name wins.
    const metadata::DiscMetadata* Metadata() const { return metadata_.get(); }
    bool LookingUp() const;
    // Waits (the window painting, its controls disabled) until no look-up
    // for the current disc runs.
    void AwaitLookUp();
    // The releases' chooser: when more than one release matches the disc,
    // the context menu's "Choose release..." and a click on the disc's line
    // open it; the chosen one's names replace the others'.
    void ChooseRelease();
    void UseRelease(int index);
    // Whether the row's name is the user's (renamed with F2).
    bool TrackRenamed(int row) const;

signals:
    // A reading of the details has ended (shown, or dropped because the disc
    // changed meanwhile).
    void DiscDetailsRead();
    // A look-up has ended (shown, or dropped).
    void NamesLookedUp();

public slots:
    void reject() override; // the close steps

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void DriveChanged(int index);
    void SpeedChosen(int index);
    void ShowSpeedIndicator();
    void ShowReadOffset();
    void LoadStoredSettings();
    // The rip log of a finished run with the databases' checks.
    // `names` says where the names came from ("MusicBrainz, release <MBID>");
    // empty: none were looked up.
    void WriteRipLog(const accuracy::RipAccuracy& checks, const std::string& path,
                     int32_t readMethod, const std::string& names);
    // The cue sheet and playlist of "Write cue sheet", after a run that
    // ripped every audio track; a failure is shown in a message box.
    void WriteCueSheet(const output::RipSheet& sheet);
    void StopPollTimer();
    void StartPollTimer();
    // Runs `work` on a thread of its own while the window goes on painting
    // and taking signals (its controls disabled, a wait cursor shown);
    // returns when the work is done.
    void RunAside(const std::function<void()>& work);
    CdDevice Current() const;
    // Starts the reading of the details when one is wanted and the window
    // thread holds the drive.
    void StartDiscDetails();
    void DiscDetailsArrived(uint64_t generation, std::shared_ptr<const DiscDetails> details);
    // The disc's line: the looked-up album, artist and year, else the
    // CD-Text line from details_ (cleared without either).
    void ShowDiscDetails();
    // Whether discs are looked up: the box ticked (the settings' noMetadata
    // unset) and the environment not offline (VINDRAL_NO_METADATA).
    bool LookUpWanted() const;
    void StartLookUp(std::shared_ptr<const DiscDetails> details);
    void LookUpArrived(uint64_t generation, std::shared_ptr<metadata::DiscMetadata> found);
    void CancelLookUps();
    // Puts the chosen release's titles into the rows not renamed, or the
    // rows' own names back without one.
    void FillTrackNames();
    // The names for the files and tags: CD-Text, the look-up's release over
    // it, and the names the user gave the rows over both.
    output::DiscNames NamesForFiles(const DiscDetails& details) const;
    // The template of "File names" when it is one the naming code accepts.
    std::string CurrentNaming() const;

    QComboBox* driveList_ = nullptr;
    QComboBox* speedList_ = nullptr;
    QTreeWidget* trackList_ = nullptr;
    LinkLabel* discTracks_ = nullptr;
    LinkLabel* discLength_ = nullptr;
    LinkLabel* discText_ = nullptr;
    LinkLabel* selectedTracks_ = nullptr;
    LinkLabel* selectedLength_ = nullptr;
    LinkLabel* spaceNeeded_ = nullptr;
    LinkLabel* path_ = nullptr;
    LinkLabel* speedIndicator_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* browse_ = nullptr;
    QCheckBox* verify_ = nullptr;
    QCheckBox* checkAccuracy_ = nullptr;
    QCheckBox* skipConfirmed_ = nullptr;
    QCheckBox* secureReading_ = nullptr;
    QRadioButton* c2Pointers_ = nullptr;
    QRadioButton* readTwice_ = nullptr;
    QLineEdit* namePrefix_ = nullptr;
    QComboBox* fileFormat_ = nullptr;
    QCheckBox* cueSheet_ = nullptr;
    QComboBox* naming_ = nullptr;
    QCheckBox* lookUpNames_ = nullptr;
    QCheckBox* repairFromCtdb_ = nullptr;

    std::vector<CdDevice> drives_;
    std::vector<std::string> driveModels_; // per line of the drive list
    TrackTable tracks_;
    std::array<int32_t, kReadinessEntries> readiness_{};
    int currentDrive_ = 0;
    QTimer pollTimer_;
    platform::Settings settings_;
    std::string settingsPath_;
    std::function<FreeSpace(const ExtractJob&)> freeSpace_;
    QPointer<ExtractDialog> extraction_;
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> emulatedDrives_;
    std::function<QString()> imageChooser_;
    std::function<std::optional<int32_t>(const QString&, int32_t)> offsetChooser_;
    bool initialised_ = false;
    bool settingsLoaded_ = false;
    bool endRequested_ = false;

    std::shared_ptr<const DiscDetails> details_;
    uint64_t discGeneration_ = 0; // counts the tables of contents read
    bool detailsWanted_ = false;  // of discGeneration_, not yet started
    bool detailsRunning_ = false;
    std::thread detailsThread_;

    struct LookUpRun {
        std::atomic<bool> cancel{false};
        std::thread thread;
    };
    std::map<uint64_t, std::unique_ptr<LookUpRun>> lookUps_; // by disc generation
    std::shared_ptr<metadata::DiscMetadata> metadata_;
    // Set when the window closes: the front cover's request ends, and no
    // cancelled look-up starts again.
    std::atomic<bool> closing_{false};
};

} // namespace vindral::ui
