// The window side of an extraction run, without a window: it prepares every
// pass, starts the workers, turns their progress codes into the display
// texts and the status log, and handles Cancel and the end of the run. The
// graphical extraction dialog and the command-line rip both drive it through
// a RunView.
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "extract/ExtractRun.h"
#include "extract/ProgressChannel.h"
#include "extract/StatusLog.h"
#include "platform/Platform.h"

namespace vindral {

// The twelve texts of the progress display.
struct DisplayTexts {
    std::string trackElapsed;   // 1012
    std::string trackProgress;  // 1010
    std::string trackRemaining; // 1013
    std::string trackSpeed;     // 1011
    std::string totalElapsed;   // 1022
    std::string totalProgress;  // 1020
    std::string totalRemaining; // 1023
    std::string totalSpeed;     // 1021
    std::string trackErrors;    // 1024
    std::string totalErrors;    // 1025
    std::string position;       // 1036
    std::string trackNumber;    // 1042
};

// What a front end shows. Every call comes on the window thread.
class RunView {
public:
    virtual ~RunView() = default;
    // Copy the twelve texts into their controls.
    virtual void ShowTexts(const DisplayTexts& texts) = 0;
    // A line was added to the log; bring the newest line into view.
    virtual void LogLineAdded(const std::string& line, int lineCount) = 0;
    virtual void SetProgressBar(int percent) = 0;
    virtual void EnableSaveStatus() {}
    virtual void SetCancelCaption(const std::string& /*caption*/) {}
    // The dialog ends (a second Cancel, or the end of a cancelled run).
    virtual void EndDialog() {}

    // Peak display.
    virtual void InitialiseDisplay() {}
    virtual void SetTrackCaption(const std::string& /*caption*/) {} // group box 1031
    virtual void StartTrackPicture() {}
    virtual void DrawBlockColumn(SectorAddress /*blockAddress*/, int32_t /*sectorsCounted*/,
                                 int32_t /*trackLength*/) {}
    // Player: the run is over; start its 250 ms timer and enable its buttons.
    virtual void StartPlayer() {}
    // "close vindralwave" and the player's timer stopped, before the dialog ends.
    virtual void ClosePlayer() {}
    // Why a track file could not be created, written or finished
    // ("<path>: <reason>"), just before the log line that reports it.
    virtual void FileProblem(const std::string& /*reason*/) {}
};

// Follows the passes of a run for checks made on the audio as it arrives
// (checksums, database results). Every call but BlockRead comes on the
// window thread; BlockRead comes on the worker's thread between
// PassStarting and the end of that pass.
class PassObserver {
public:
    virtual ~PassObserver() = default;
    // Before the worker of a pass of job entry `entry` starts.
    virtual void PassStarting(int entry, bool verification) = 0;
    // The PCM of one block as read, in order.
    virtual void BlockRead(const uint8_t* pcm, std::size_t bytes) = 0;
    // The extraction pass of `entry` ended with its file complete. With
    // `verifyNext` (a verification pass would follow), true leaves that pass
    // out; `line` is then logged in its place.
    virtual bool ExtractionDone(int entry, bool verifyNext, std::string& line) = 0;
    // The verification pass of `entry` ended.
    virtual void VerificationDone(int entry, int32_t differingBytes) = 0;
    // Lines to add after the run's last line when every track was done.
    virtual std::vector<std::string> RunDone() = 0;
    // After RunDone: the sectors (addresses as read) whose audio RunDone
    // mended in the files; the peak display marks their blocks repaired.
    virtual std::vector<SectorAddress> RepairedSectors() const { return {}; }
};

std::string TimeText(uint32_t milliseconds);   // "%2ld:%02ld:%02ld"
std::string SpeedText(int64_t sectors, uint32_t milliseconds); // "%.1f X"
std::string PositionText(uint32_t milliseconds); // "%02lu:%02lu.%lu"

class RunProtocol {
public:
    // `wake` is called on a worker's thread when it has posted a message; a
    // window system uses it to call DispatchProgress on the window thread.
    // Without it the front end calls WaitAndDispatch itself.
    RunProtocol(ExtractJob job, RunView& view, platform::TickSource tick = platform::TickCount,
                std::function<void()> wake = {});
    ~RunProtocol();

    RunProtocol(const RunProtocol&) = delete;
    RunProtocol& operator=(const RunProtocol&) = delete;

    // Set before Open; it must outlive the protocol.
    void SetObserver(PassObserver* observer) { observer_ = observer; }

    // The opening steps, ending with the start of the first pass.
    void Open();

    // The Cancel button, the close box and Escape.
    void Cancel();

    // The window goes away now: no message is handled any more, a worker
    // inside its block finishes or deletes its file, and the drive gets its
    // data blocks back. Waits for the worker; safe to call more than once.
    void Close();

    // Window side of the progress message.
    bool DispatchProgress() { return channel_.Dispatch(); }
    bool WaitAndDispatch(int timeoutMs) { return channel_.WaitAndDispatch(timeoutMs); }
    void HandleProgress(int code, void* param);

    bool Ended() const { return ended_; }
    bool Finished() const { return finished_; } // every pass of every track done
    bool WorkerActive() const { return workerActive_; }
    bool SaveEnabled() const { return saveEnabled_; }
    const std::string& CancelCaption() const { return cancelCaption_; }
    int ProgressBar() const { return progressBar_; }
    const DisplayTexts& Texts() const { return texts_; }
    const std::string& TrackCaption() const { return trackCaption_; }
    const StatusLog& Log() const { return log_; }
    const ExtractJob& Job() const { return job_; }
    ExtractRun& Run() { return *run_; }
    const ExtractRun& Run() const { return *run_; }
    int32_t TrackIndex() const { return trackIndex_; }
    int32_t TrackLogStart(int entry) const { return trackLogStart_[static_cast<std::size_t>(entry)]; }
    int32_t TrackErrorBase() const { return trackErrorBase_; }
    int32_t TotalErrorBase() const { return totalErrorBase_; }
    // Verification passes left out because the observer confirmed the track.
    int VerificationsSkipped() const { return verificationsSkipped_; }
    // Tracks whose pass failed (read error, file error) or that were cancelled;
    // in a secure run also tracks left suspicious.
    bool Failed() const { return failed_; }

    // What secure reading made of each track of the job.
    enum class TrackResult { kExact = 0, kRepaired = 1, kSuspicious = 2, kFailed = 3 };
    TrackResult Result(int entry) const { return trackResults_[static_cast<std::size_t>(entry)]; }
    int64_t SecureRereads() const { return secureRereads_; }

private:
    void AddLog(std::string line);
    void StartPass();
    void Refresh(uint32_t now);
    void PassDone();
    void NextPassOrEnd();
    void LogSecureOutcomes();
    void CancelHandling();
    void ReportFileProblem();
    // An encoded track: renames its file over the final name (false when
    // that failed, with the run's fileError set), and removes its PCM file.
    bool CommitEncodedFile();
    // The current track is done: its encoded file joins the files waiting
    // for their encoding, and those are renamed in the tracks' order, all of
    // them, or without `wait` those whose encoding has ended. False when one
    // could not be (the run's fileError says why): the files after it go.
    bool CommitTrackFile(bool wait);
    bool CommitWaitingFiles(bool wait);
    // Whether the target folder has room for the PCM files that encoding
    // the current track behind the reading keeps a while longer.
    bool RoomToEncodeBehind() const;
    // A pass that ended before its last block: the files of the tracks
    // before it are completed (reported when `report`), and the track's own
    // is given up, but for the first reading's file of a verification cut
    // short (`verificationCutShort`).
    void PassEndedEarly(bool verificationCutShort, bool report);
    // A file could not be completed: the run ends with the reason logged.
    void FileNotCompleted();
    // Gives up the encoded file and the PCM file of the track.
    void DropEncodedFile();
    // The verification of an encoded track ended before its last block.
    void EndVerificationEarly();
    void RestoreDataBlocksWhenIdle();
    void ShowTrack();
    void CopyTexts() { view_.ShowTexts(texts_); }
    void JoinFinishedWorkers(bool all);

    ExtractJob job_;
    RunView& view_;
    PassObserver* observer_ = nullptr;
    platform::TickSource tick_;
    std::shared_ptr<ExtractRun> run_;
    ProgressChannel channel_;
    StatusLog log_;
    DisplayTexts texts_;
    std::string trackCaption_;
    std::string cancelCaption_ = "Cancel";
    std::array<int32_t, kMaxJobTracks> trackLogStart_{};
    std::vector<std::thread> workers_;
    // Encoded files of tracks done, in the tracks' order, waiting for their
    // encoding to end before they take their names.
    struct WaitingFile {
        std::shared_ptr<platform::OutputFile> pcmFile; // read by the encoder,
        std::shared_ptr<TrackEncoder> encoder;         // which stops first
        uint64_t pcmBytes = 0;
    };
    std::deque<WaitingFile> waitingFiles_;

    int32_t trackIndex_ = 0;
    std::vector<TrackResult> trackResults_;
    int64_t secureRereads_ = 0;
    int64_t unreadableSectors_ = 0; // secure reading: written as silence
    int verificationsSkipped_ = 0;
    uint32_t runStartTick_ = 0;
    uint32_t passStartTick_ = 0;
    uint32_t lastUpdateTick_ = 0;
    bool lastUpdateSet_ = false;
    int32_t trackErrorBase_ = 1;
    int32_t totalErrorBase_ = 1;
    int progressBar_ = 0;
    bool saveEnabled_ = false;
    bool ended_ = false;
    bool finished_ = false;
    bool failed_ = false;
    bool workerActive_ = false;
    bool restorePending_ = false;
    bool closed_ = false;
    bool opened_ = false;
};

} // namespace vindral
