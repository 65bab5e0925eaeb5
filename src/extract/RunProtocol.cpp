#include "extract/RunProtocol.h"

#include <algorithm>
#include <cstdio>

#include "drive/CdCommands.h"
#include "drive/Transport.h"
#include "extract/JobBuilder.h"
#include "extract/ReadOffset.h"
#include "extract/Workers.h"

namespace vindral {

namespace {

std::string Format(const char* format, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

double Percent(int64_t count, int64_t base) {
    return base > 0 ? 100.0 * static_cast<double>(count) / static_cast<double>(base) : 0.0;
}

} // namespace

std::string TimeText(uint32_t t) {
    return Format("%2ld:%02ld:%02ld", static_cast<long>(t / 3600000),
                  static_cast<long>((t / 60000) % 60), static_cast<long>((t / 1000) % 60));
}

std::string SpeedText(int64_t sectors, uint32_t milliseconds) {
    if (milliseconds == 0) {
        // Nothing can be measured before the first millisecond.
        return "0.0 X";
    }
    const double speed = static_cast<double>(sectors) / milliseconds * 1000.0 / 75.0;
    return Format("%.1f X", speed);
}

namespace {

// (100 - p) / p of the elapsed time, cut to whole milliseconds and held
// within the tick's range; p is 1 to 99.
uint32_t RemainingMilliseconds(int64_t p, uint32_t elapsed) {
    const double remaining = static_cast<double>(100 - p) * elapsed / static_cast<double>(p);
    constexpr double kLargest = 4294967295.0;
    return remaining >= kLargest ? UINT32_MAX : static_cast<uint32_t>(remaining);
}

// The percentage, speed, elapsed and remaining texts of `done` sectors out
// of `all` after `elapsed` ms; returns the percentage.
int64_t FillProgress(int64_t done, int64_t all, uint32_t elapsed, std::string& progress,
                     std::string& speed, std::string& elapsedText, std::string& remaining) {
    const int64_t p = all > 0 ? done * 100 / all : 100;
    progress = Format("%ld%%", static_cast<long>(p));
    speed = SpeedText(done, elapsed);
    elapsedText = TimeText(elapsed);
    // Short tracks count past their length (the counters step by 16 sectors):
    // from 100 % on nothing remains.
    remaining = p == 0 ? "0:00:00" : TimeText(p >= 100 ? 0 : RemainingMilliseconds(p, elapsed));
    return p;
}

} // namespace

std::string PositionText(uint32_t p) {
    return Format("%02lu:%02lu.%lu", static_cast<unsigned long>(p / 60000),
                  static_cast<unsigned long>((p % 60000) / 1000),
                  static_cast<unsigned long>((p % 1000) / 100));
}

RunProtocol::RunProtocol(ExtractJob job, RunView& view, platform::TickSource tick,
                         std::function<void()> wake)
    : job_(std::move(job)), view_(view), tick_(std::move(tick)),
      run_(std::make_shared<ExtractRun>()),
      channel_([this](int code, void* param) { HandleProgress(code, param); }, std::move(wake)) {
    if (job_.tracks.size() > static_cast<std::size_t>(kMaxJobTracks)) {
        job_.tracks.resize(kMaxJobTracks);
    }
}

RunProtocol::~RunProtocol() { Close(); }

void RunProtocol::AddLog(std::string line) {
    log_.Add(line);
    view_.LogLineAdded(line, log_.Count());
}

void RunProtocol::Open() {
    if (opened_) {
        return;
    }
    opened_ = true;
    channel_.BindToCurrentThread();
    ExtractRun& run = *run_;

    AddLog(Format("%d track(s) selected", job_.Count()));
    if (job_.secure) {
        AddLog(Format("Secure reading: %s, %s", ReadMethodName(job_.readMethod).c_str(),
                      job_.c2Pointers ? "C2 error pointers used"
                                      : "no C2 error pointers"));
    }
    if (std::string removed = RemoveLeftoverTemporaries(job_); !removed.empty()) {
        AddLog(std::move(removed));
    }

    trackIndex_ = 0;
    run.player.currentTrack = 0;
    run.hostAdapter = job_.hostAdapter;
    run.target = job_.target;
    run.totalSectorsDone = 0;
    run.cancel.store(false);
    run.trackErrors = 0;
    run.totalErrors = 0;
    if (job_.secure) {
        // No sector is taken on one reading: every track is read a second
        // time and compared with its file, unless the databases confirm its
        // first reading.
        job_.verify = true;
        job_.readTwice = true;
    }
    run.compareWithFile = job_.readTwice;
    run.secure = job_.secure;
    run.secureSettings = job_.secureSettings;
    run.c2Pointers = job_.c2Pointers;
    run.longReadsRefused = false;
    trackResults_.assign(job_.tracks.size(), TrackResult::kExact);
    texts_.totalErrors = "-";

    if (job_.verify) {
        job_.totalSectors *= 2;
    }
    run.verificationPass = false;

    view_.InitialiseDisplay();
    run.player.ready = false;

    run.peaks->Reset();
    runStartTick_ = tick_();

    if (job_.Count() == 0) {
        // Nothing to read: the run is over at once.
        finished_ = true;
        progressBar_ = 100;
        view_.SetProgressBar(100);
        AddLog(Format("%d track(s) extracted", 0));
        CancelHandling();
        CopyTexts();
        return;
    }
    StartPass();
}

void RunProtocol::StartPass() {
    ExtractRun& run = *run_;
    const JobEntry& entry = job_.tracks[static_cast<std::size_t>(trackIndex_)];
    run.currentPath = entry.path;
    run.currentAddress = entry.track.start;
    run.trackLength = entry.track.length;
    run.trackSectorsDone = 0;
    run.readOffset = job_.readOffset;
    run.readableStart = entry.readableStart;
    run.readableEnd = entry.readableEnd;
    if (run.readableStart == 0 && run.readableEnd == 0) {
        run.readableEnd = entry.track.start + entry.track.length;
    }
    run.oneFile = job_.oneFile;
    run.fileStart = job_.oneFile ? entry.fileStart : 0;
    run.continuesFile = job_.oneFile && trackIndex_ > 0;
    run.lastInFile = !job_.oneFile || trackIndex_ + 1 == job_.Count();
    if (job_.oneFile) {
        const JobEntry& last = job_.tracks.back();
        run.fileSectors = last.fileStart + last.track.length;
    }

    if (run.verificationPass) {
        AddLog(Format("---> Verifying track %02d", entry.track.number));
    } else {
        ShowTrack();
        view_.StartTrackPicture();
        trackLogStart_[static_cast<std::size_t>(trackIndex_)] = log_.Count();
        AddLog(Format("---> Extracting track %02d", entry.track.number));
        AddLog(Format("  Start: %s - Length: %s",
                      CdCommands::FramesToTimeText(entry.track.start).c_str(),
                      CdCommands::FramesToTimeText(entry.track.length).c_str()));
        AddLog(Format("  Filename: %s", entry.path.c_str()));
        if (run.readOffset != 0) {
            const SilentSamples silent = SilenceFor(entry.track.start, entry.track.length,
                                                    run.readOffset, run.readableStart,
                                                    run.readableEnd);
            if (silent.before > 0) {
                AddLog(Format("  Offset: %ld samples before the disc's start written as silence",
                              static_cast<long>(silent.before)));
            }
            if (silent.after > 0) {
                AddLog(Format("  Offset: %ld samples past the disc's end written as silence",
                              static_cast<long>(silent.after)));
            }
        }
    }

    lastUpdateSet_ = false;
    run.trackErrors = 0;
    texts_.trackErrors = "-";

    if (job_.readTwice) {
        trackErrorBase_ = entry.track.length * kSectorBytes;
        totalErrorBase_ = static_cast<int32_t>(static_cast<int64_t>(job_.totalSectors) * 1176);
    } else {
        trackErrorBase_ = (entry.track.length + 15) / 16;
        totalErrorBase_ = (job_.totalSectors + 31) / 32;
    }

    CopyTexts();
    passStartTick_ = tick_();

    run.readMethod = job_.readMethod;
    if (run.readMethod != kReadCd && run.readMethod != kReadCdda) {
        CdCommands::SelectBlockMode(run.hostAdapter, run.target, 0);
    }

    if (!run.verificationPass && !run.continuesFile) {
        // An encoded track gets its encoder; the one of a track before it
        // has been committed or given up by now. (A one-file job's later
        // tracks keep the file and encoder of its first.)
        run.pcmFile.reset();
        run.encoder.reset();
        run.encoded = false;
        run.pcmChanged = false;
        run.encodeBehind = false;
        if (job_.makeEncoder) {
            run.encoder = job_.makeEncoder(trackIndex_);
            // Where a track follows and another core is free, the track's
            // encoding may go on while the next one is read.
            // (A one-file job has one encoder for all its tracks.)
            run.encodeBehind = !job_.oneFile && trackIndex_ + 1 < job_.Count() &&
                               EncodingsAtOnce() > 1 &&
                               RoomToEncodeBehind();
        }
    }

    JoinFinishedWorkers(false);
    if (observer_ != nullptr) {
        observer_->PassStarting(trackIndex_, run.verificationPass);
        PassObserver* observer = observer_;
        run.blockRead = [observer](const uint8_t* pcm, std::size_t bytes) {
            observer->BlockRead(pcm, bytes);
        };
    }
    workerActive_ = true;
    auto shared = run_;
    ProgressChannel* channel = &channel_;
    if (run.verificationPass) {
        workers_.emplace_back([shared, channel] { VerifyWorker(shared, *channel); });
    } else {
        workers_.emplace_back([shared, channel] { ExtractWorker(shared, *channel); });
    }
}

void RunProtocol::JoinFinishedWorkers(bool all) {
    // Every worker but the newest has sent its last message and returned
    // from it; the newest may still be on its way out of that message.
    const std::size_t keep = all ? 0 : 1;
    while (workers_.size() > keep) {
        if (workers_.front().joinable()) {
            workers_.front().join();
        }
        workers_.erase(workers_.begin());
    }
}

void RunProtocol::ShowTrack() {
    const int32_t current = run_->player.currentTrack;
    trackCaption_ = Format("Track %d/%d", current + 1, job_.Count());
    texts_.trackNumber = Format("%02d", current + 1);
    view_.SetTrackCaption(trackCaption_);
    CopyTexts();
}

void RunProtocol::Refresh(uint32_t now) {
    ExtractRun& run = *run_;
    run.player.position = static_cast<uint32_t>(static_cast<int64_t>(run.trackSectorsDone) *
                                                1000 / 75);
    texts_.position = PositionText(run.player.position);

    FillProgress(run.trackSectorsDone, run.trackLength, now - passStartTick_,
                 texts_.trackProgress, texts_.trackSpeed, texts_.trackElapsed,
                 texts_.trackRemaining);
    const int64_t bigP = FillProgress(run.totalSectorsDone, job_.totalSectors,
                                      now - runStartTick_, texts_.totalProgress,
                                      texts_.totalSpeed, texts_.totalElapsed,
                                      texts_.totalRemaining);
    progressBar_ = static_cast<int>(bigP);
    view_.SetProgressBar(progressBar_);

    if (run.verificationPass) {
        texts_.trackErrors =
            Format("%ld/%ld", static_cast<long>(run.trackErrors), static_cast<long>(trackErrorBase_));
        texts_.totalErrors =
            Format("%ld/%ld", static_cast<long>(run.totalErrors), static_cast<long>(totalErrorBase_));
    }
    view_.DrawBlockColumn(run.currentAddress, run.trackSectorsDone, run.trackLength);
    lastUpdateTick_ = tick_();
    lastUpdateSet_ = true;
}

void RunProtocol::HandleProgress(int code, void* param) {
    ExtractRun& run = *run_;
    switch (code) {
    case kCodeBlockDone: {
        const uint32_t now = tick_();
        if (!(lastUpdateSet_ && static_cast<uint32_t>(now - lastUpdateTick_) <= 300)) {
            Refresh(now);
        }
        break;
    }
    case kCodePassDone:
        workerActive_ = false;
        PassDone();
        break;
    case kCodeReadFailed:
        workerActive_ = false;
        failed_ = true;
        PassEndedEarly(run.verificationPass, true);
        AddLog(Format("Read error (code %06X)",
                      static_cast<unsigned>(job_.secure && run.failedReadSense != 0
                                                ? run.failedReadSense
                                                : LastSenseCode())));
        if (job_.secure && !run.cancel.load() && !job_.oneFile) {
            // The track is reported and the run goes on with the next one
            // (not in a one-file job, whose file has gone with the track).
            trackResults_[static_cast<std::size_t>(trackIndex_)] = TrackResult::kFailed;
            AddLog("  Track could not be read");
            run.verificationPass = false;
            ++trackIndex_;
            ++run.player.currentTrack;
            NextPassOrEnd();
            break;
        }
        CancelHandling();
        break;
    case kCodeCancelled:
        workerActive_ = false;
        failed_ = true;
        PassEndedEarly(run.verificationPass, true);
        AddLog("Canceled by user");
        break;
    case kCodeFileNotOpened:
        workerActive_ = false;
        failed_ = true;
        PassEndedEarly(false, true);
        ReportFileProblem();
        AddLog("Error opening file");
        CancelHandling();
        break;
    case kCodeWriteBufferLoad:
        if (!WriteBufferLoad(run, static_cast<const uint8_t*>(param))) {
            run.bufferWriteFailed = true;
        }
        break;
    case kCodePeaksStored:
        view_.DrawBlockColumn(run.currentAddress, run.trackSectorsDone, run.trackLength);
        break;
    case kCodeWriteFailed:
        workerActive_ = false;
        failed_ = true;
        PassEndedEarly(false, true);
        ReportFileProblem();
        AddLog("Error writing file");
        CancelHandling();
        break;
    default:
        break;
    }
    RestoreDataBlocksWhenIdle();
    CopyTexts();
}

bool RunProtocol::CommitEncodedFile() {
    ExtractRun& run = *run_;
    bool committed = true;
    if (run.oneFile && !run.lastInFile) {
        return true; // the file goes on with the next track
    }
    if (run.oneFile && !run.encoder && run.pcmFile) {
        // A one-file job's WAV file, complete with its last track.
        committed = run.pcmFile->Commit();
        if (!committed) {
            run.fileError = run.pcmFile->Error();
        }
    } else if (run.encoder && run.encoded) {
        run.encoded = false;
        committed = run.encoder->Commit();
        if (!committed) {
            run.fileError = run.encoder->Error();
        }
    }
    DropEncodedFile();
    return committed;
}

bool RunProtocol::CommitTrackFile(bool wait) {
    ExtractRun& run = *run_;
    if (run.oneFile) {
        return CommitEncodedFile(); // one file and one encoder: nothing waits
    }
    if (run.encoder && run.encoded) {
        waitingFiles_.push_back(
            {run.pcmFile, run.encoder, static_cast<uint64_t>(run.trackLength) * kSectorBytes});
        run.encoder.reset();
    }
    DropEncodedFile();
    return CommitWaitingFiles(wait);
}

bool RunProtocol::CommitWaitingFiles(bool wait) {
    while (!waitingFiles_.empty()) {
        TrackEncoder& encoder = *waitingFiles_.front().encoder;
        if (!wait && !encoder.Done()) {
            return true;
        }
        const bool committed = encoder.Commit();
        if (!committed) {
            run_->fileError = encoder.Error();
        }
        waitingFiles_.pop_front(); // its PCM file goes
        if (!committed) {
            // The run ends at this track, as it would have had its file
            // been completed before the next track was read.
            waitingFiles_.clear();
            return false;
        }
    }
    return true;
}

// Encoding behind the reading keeps a track's PCM file beside its encoded
// file until the encoding ends, while the next tracks are read. That goes
// ahead only while the target folder holds every track left twice (its PCM
// file and its encoded file, which is at most about as large) and the PCM
// size of every file still waiting; otherwise each track's file is completed
// before the next is read, which the free-space check at the start allows for.
bool RunProtocol::RoomToEncodeBehind() const {
    uint64_t needed = 0;
    for (std::size_t k = static_cast<std::size_t>(trackIndex_); k < job_.tracks.size(); ++k) {
        needed += 2 * static_cast<uint64_t>(std::max(0, job_.tracks[k].track.length)) * kSectorBytes;
    }
    for (const WaitingFile& waiting : waitingFiles_) {
        needed += waiting.pcmBytes;
    }
    uint64_t free = 0;
    std::string reason;
    const std::string& path = job_.tracks[static_cast<std::size_t>(trackIndex_)].path;
    return platform::QueryFreeBytes(platform::FolderOf(path), free, reason) && free >= needed;
}

void RunProtocol::PassEndedEarly(bool verificationCutShort, bool report) {
    const std::string own = run_->fileError;
    const bool before = CommitWaitingFiles(true);
    if (!before) {
        failed_ = true;
        if (report) {
            ReportFileProblem();
            AddLog("Error writing file");
        }
        run_->fileError = own;
    }
    if (verificationCutShort && before) {
        EndVerificationEarly();
    } else {
        DropEncodedFile();
    }
}

void RunProtocol::FileNotCompleted() {
    failed_ = true;
    ReportFileProblem();
    AddLog("Error writing file");
    CancelHandling();
}

void RunProtocol::DropEncodedFile() {
    ExtractRun& run = *run_;
    if (run.encoder) {
        run.encoder->Discard();
    }
    run.encoder.reset();
    run.pcmFile.reset(); // the PCM file goes: it never has the final name
    run.encoded = false;
}

void RunProtocol::EndVerificationEarly() {
    // The file of the first reading stays, as a WAV file does, unless the
    // verification has corrected its PCM already: then it would not hold
    // what the PCM holds, and it goes. A one-file job's file, which lacks
    // the tracks not yet read, goes.
    if (!run_->pcmChanged && !run_->oneFile) {
        CommitEncodedFile();
    }
    DropEncodedFile();
}

void RunProtocol::ReportFileProblem() {
    if (!run_->fileError.empty()) {
        view_.FileProblem(run_->fileError);
        // The reason goes into the log too, so that a saved log says why.
        AddLog(run_->fileError);
    }
}

void RunProtocol::LogSecureOutcomes() {
    ExtractRun& run = *run_;
    const JobEntry& entry = job_.tracks[static_cast<std::size_t>(trackIndex_)];
    TrackResult result = TrackResult::kExact;
    for (const SectorOutcome& outcome : run.secureOutcomes) {
        // The position in the track's file: where it is not known, the
        // sector's address less the track's start, and less the whole
        // sectors of a read-offset shift.
        const int32_t sector =
            outcome.trackSector >= 0
                ? outcome.trackSector
                : std::clamp<int32_t>(outcome.address - entry.track.start -
                                          run.readOffset / kSamplesPerSector,
                                      0, std::max(0, entry.track.length - 1));
        if (!outcome.readable) {
            AddLog(Format("  Unreadable: %s (written as silence)",
                          CdCommands::FramesToTimeText(sector).c_str()));
            if (!run.verificationPass) {
                ++unreadableSectors_;
            }
            result = TrackResult::kSuspicious;
            continue;
        }
        AddLog(Format("  %s: %s (%d readings, %d agreed)",
                      outcome.confirmed ? "Confirmed"
                      : outcome.agreed  ? "Repaired"
                                        : "Suspicious",
                      CdCommands::FramesToTimeText(sector).c_str(), outcome.readings,
                      outcome.agreeing));
        if (outcome.confirmed) {
            continue; // the file held the agreed reading: nothing was repaired
        }
        if (!outcome.agreed) {
            result = TrackResult::kSuspicious;
        } else if (result == TrackResult::kExact) {
            result = TrackResult::kRepaired;
        }
    }
    secureRereads_ += run.secureRereads;
    TrackResult& stored = trackResults_[static_cast<std::size_t>(trackIndex_)];
    if (!run.verificationPass || result > stored) {
        stored = result; // the verification's repairs add to the extraction's
    }
    result = stored;
    if (result == TrackResult::kSuspicious) {
        failed_ = true;
    }
}

void RunProtocol::PassDone() {
    ExtractRun& run = *run_;
    texts_.trackProgress = "100%";
    if (job_.secure) {
        LogSecureOutcomes();
    }
    bool skipVerification = false;
    if (observer_ != nullptr) {
        if (!run.verificationPass) {
            std::string line;
            skipVerification = observer_->ExtractionDone(trackIndex_, job_.verify, line) &&
                               job_.verify;
            if (skipVerification) {
                AddLog(line);
                ++verificationsSkipped_;
                // The pass that is left out counts as done, so that the
                // totals still reach 100 %.
                const int32_t length =
                    job_.tracks[static_cast<std::size_t>(trackIndex_)].track.length;
                run.totalSectorsDone +=
                    (length + kBlockSectors - 1) / kBlockSectors * kBlockSectors;
            }
        } else {
            observer_->VerificationDone(trackIndex_, run.trackErrors);
        }
    }
    if (job_.verify && !skipVerification) {
        run.verificationPass = !run.verificationPass;
    }
    if (!run.verificationPass && !CommitTrackFile(!run.encodeBehind)) {
        // The encoded file could not take its name.
        FileNotCompleted();
        return;
    }
    if (!run.verificationPass) {
        ++trackIndex_;
        ++run.player.currentTrack;
        if (job_.verify && !skipVerification) {
            texts_.trackErrors = Format("%ld/%ld", static_cast<long>(run.trackErrors),
                                        static_cast<long>(trackErrorBase_));
            texts_.totalErrors = Format("%ld/%ld", static_cast<long>(run.totalErrors),
                                        static_cast<long>(totalErrorBase_));
            AddLog(Format("  Errors: %ld (%4.2f%%)", static_cast<long>(run.trackErrors),
                          Percent(run.trackErrors, trackErrorBase_)));
            if (job_.secure && job_.readTwice) {
                AddLog(Format("  Corrected in the file: %ld of %ld differing sector(s)",
                              static_cast<long>(run.repairedSectors),
                              static_cast<long>(run.differingSectors)));
                if (run.confirmedSectors > 0) {
                    // The errors above that the file did not have.
                    AddLog(Format("  Confirmed as written: %ld sector(s) whose second reading "
                                  "was wrong",
                                  static_cast<long>(run.confirmedSectors)));
                }
            }
            AddLog(Format("  Speed: %s", texts_.trackSpeed.c_str()));
            const bool allRepaired = job_.secure && job_.readTwice &&
                                     run.repairedSectors == run.differingSectors;
            if (run.trackErrors != 0 && !allRepaired) {
                failed_ = true;
            }
        }
    }
    NextPassOrEnd();
}

void RunProtocol::NextPassOrEnd() {
    ExtractRun& run = *run_;
    if (trackIndex_ < job_.Count()) {
        StartPass();
        return;
    }
    if (!CommitWaitingFiles(true)) {
        FileNotCompleted();
        return;
    }

    finished_ = true;
    progressBar_ = 100;
    view_.SetProgressBar(100);
    texts_.totalProgress = "100%";
    if (job_.verify) {
        AddLog(Format("Total errors: %ld (%4.2f%%)", static_cast<long>(run.totalErrors),
                      Percent(run.totalErrors, totalErrorBase_)));
        AddLog(Format("Speed: %s", texts_.totalSpeed.c_str()));
    }
    if (job_.secure) {
        int count[4] = {};
        for (const TrackResult result : trackResults_) {
            ++count[static_cast<int>(result)];
        }
        const int failedTracks = count[static_cast<int>(TrackResult::kFailed)];
        AddLog(Format("%d track(s) extracted", job_.Count() - failedTracks));
        std::string unreadable;
        if (unreadableSectors_ > 0) {
            unreadable = Format("; %ld sector(s) unreadable, written as silence",
                                static_cast<long>(unreadableSectors_));
        }
        AddLog(Format("Secure reading: %d exact, %d repaired, %d suspicious, %d failed "
                      "(%ld re-reads%s)",
                      count[static_cast<int>(TrackResult::kExact)],
                      count[static_cast<int>(TrackResult::kRepaired)],
                      count[static_cast<int>(TrackResult::kSuspicious)], failedTracks,
                      static_cast<long>(secureRereads_), unreadable.c_str()));
    } else {
        AddLog(Format("%d track(s) extracted", job_.Count()));
    }
    if (observer_ != nullptr) {
        for (std::string& line : observer_->RunDone()) {
            AddLog(std::move(line));
        }
        for (const SectorAddress address : observer_->RepairedSectors()) {
            if (PeakPair* block = run.peaks->At(address)) {
                block->secureMark = std::max(block->secureMark, kSecureMarkRepaired);
            }
        }
    }
    CancelHandling();
    if (ended_) {
        return;
    }
    run.player.currentTrack = job_.Count() - 1;
    ShowTrack();
    run.player.deviceOpen = false;
    run.player.playing = false;
    run.player.paused = false;
    run.player.position = 0;
    run.player.lastPolled = -1;
    run.player.markerColumn = 0;
    run.player.ready = true;
    view_.StartPlayer();
}

void RunProtocol::Cancel() {
    CancelHandling();
    CopyTexts();
}

void RunProtocol::CancelHandling() {
    ExtractRun& run = *run_;
    saveEnabled_ = true;
    view_.EnableSaveStatus();
    if (job_.readMethod != kReadCd && job_.readMethod != kReadCdda) {
        // A worker may be reading this very moment: the drive gets its data
        // blocks back once it has stopped.
        restorePending_ = true;
    }
    if (!run.cancel.load()) {
        cancelCaption_ = "Close";
        view_.SetCancelCaption(cancelCaption_);
        run.cancel.store(true);
        RestoreDataBlocksWhenIdle();
        return;
    }
    view_.ClosePlayer();
    ended_ = true;
    view_.EndDialog();
    RestoreDataBlocksWhenIdle();
}

void RunProtocol::RestoreDataBlocksWhenIdle() {
    if (restorePending_ && !workerActive_) {
        restorePending_ = false;
        CdCommands::SelectBlockMode(run_->hostAdapter, run_->target, 1);
    }
}

void RunProtocol::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    run_->cancel.store(true);
    channel_.Close();
    JoinFinishedWorkers(true);
    workerActive_ = false;
    // A track whose verification the window's end cut short.
    PassEndedEarly(run_->verificationPass, false);
    RestoreDataBlocksWhenIdle();
}

} // namespace vindral
