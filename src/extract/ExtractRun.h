// The state of one extraction run: the job, the run fields shared by the
// window side and the worker of the current pass, the audio buffer and the
// peak table, and the player's fields.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drive/CdTypes.h"
#include "extract/SecureReader.h"
#include "extract/TrackEncoder.h"
#include "platform/OutputFile.h"

namespace vindral {

constexpr int kBlockSectors = 16;
constexpr int kBlockBytes = kBlockSectors * kSectorBytes;     // 37,632
constexpr std::size_t kFlushThreshold = 524288;               // one buffer load
constexpr std::size_t kAudioBufferSize = kFlushThreshold + 65536;
constexpr int kWavHeaderBytes = 44;
constexpr int kPeakEntries = 24000;
constexpr int kMaxJobTracks = 100;

// wParam of the worker's progress message.
enum ProgressCode : int {
    kCodeBlockDone = 0,
    kCodePassDone = 1,
    kCodeReadFailed = 2,
    kCodeCancelled = 3,
    kCodeFileNotOpened = 4,
    kCodeWriteBufferLoad = 5,
    kCodePeaksStored = 6,
    // A write to the WAV file failed (disk full, device gone): the partial
    // file has been deleted.
    kCodeWriteFailed = 7,
};

// Marks of a block that secure reading re-read: every sector agreed in the
// end (repaired), or one did not (suspicious).
constexpr int32_t kSecureMarkNone = 0;
constexpr int32_t kSecureMarkRepaired = 1;
constexpr int32_t kSecureMarkSuspicious = 2;

// Peaks and verification counts of one block of 16 sectors.
struct PeakPair {
    int32_t leftMax = 0;
    int32_t leftNegMin = 0;
    int32_t rightMax = 0;
    int32_t rightNegMin = 0;
    int32_t leftErrors = -1;  // differing bytes of left samples, -1 = not verified
    int32_t rightErrors = -1;
    // Secure reading: the block holds a sector that needed re-reads.
    int32_t secureMark = kSecureMarkNone;
};

// One entry per block, indexed by the block's first sector address / 16.
class PeakTable {
public:
    PeakTable() { Reset(); }
    // Peaks 0, error counts -1 (not verified).
    void Reset() { entries_.fill(PeakPair{}); }
    // nullptr for addresses outside the table (negative or 384,000 and above).
    PeakPair* At(SectorAddress address) {
        if (address < 0 || address / kBlockSectors >= kPeakEntries) {
            return nullptr;
        }
        return &entries_[static_cast<std::size_t>(address / kBlockSectors)];
    }
    const PeakPair* At(SectorAddress address) const {
        return const_cast<PeakTable*>(this)->At(address);
    }
    PeakPair& Entry(int index) { return entries_[static_cast<std::size_t>(index)]; }

private:
    std::array<PeakPair, kPeakEntries> entries_;
};

// Computes the peaks of n sectors (588 frames each) from the high bytes of
// the samples and stores them into the entry of `address`, if any.
void ComputePeaks(const uint8_t* audio, int sectors, SectorAddress address, PeakTable& table);

struct JobEntry {
    std::string path;
    TrackEntry track;
    // The audio sectors around the track that the drive can read (the run
    // of audio tracks it belongs to); what a read-offset correction needs
    // from outside them is silence. Both 0: from address 0 to the track's end.
    SectorAddress readableStart = 0;
    SectorAddress readableEnd = 0;
    // A job of one file: the sectors of that file before the track's audio.
    int32_t fileStart = 0;
};

struct ExtractJob {
    std::vector<JobEntry> tracks; // at most 100, in list order
    int32_t totalSectors = 0;     // doubled when the run opens with verify on
    uint8_t hostAdapter = 0;
    uint8_t target = 0;
    bool verify = false;
    bool readTwice = true; // false: the C2 pointers check
    int32_t readMethod = kReadCd;
    // Read-offset correction in samples (-3000 to 3000); 0 reads the sectors
    // as the drive returns them.
    int32_t readOffset = 0;
    // Secure reading: sectors that fail, that the drive flags with C2 errors
    // or that the verification finds different are read again until their
    // readings agree, and a track that does not agree does not end the run.
    bool secure = false;
    SecureSettings secureSettings;
    // The drive delivers C2 error pointers with the read method (READ CD
    // only); secure reading then asks for them to know where to look first.
    bool c2Pointers = false;
    // Set when the files are encoded (FLAC): the encoder of each entry. The
    // track's PCM then goes to a temporary file beside the track's file,
    // which the verification compares with and corrects, and which goes
    // once the encoded file is complete.
    TrackEncoderFactory makeEncoder;
    // Every entry's audio goes into one file (each entry's path), the
    // entries one after the other from its start (JobEntry::fileStart).
    // Each entry is still read, verified and checked on its own; the file
    // takes its name once the last entry is done, and goes when any fails.
    // An encoded one-file job has one encoder (makeEncoder(0)).
    bool oneFile = false;

    int32_t Count() const { return static_cast<int32_t>(tracks.size()); }
};

// The player's fields of the run.
struct PlayerState {
    bool deviceOpen = false;
    bool playing = false;
    bool paused = false;
    bool ready = false;
    uint32_t position = 0;       // milliseconds
    int32_t lastPolled = -1;     // -1: none
    int32_t markerColumn = 0;    // pixels
    int32_t currentTrack = 0;    // index into the job
};

// The 44-byte WAV header for a track of `sectors` sectors.
std::array<uint8_t, kWavHeaderBytes> MakeWavHeader(int32_t sectors);

struct ExtractRun {
    // Set when the run opens.
    uint8_t hostAdapter = 0;
    uint8_t target = 0;
    bool compareWithFile = true;

    // Set at every pass start.
    std::string currentPath;
    int32_t readMethod = kReadCd;
    SectorAddress currentAddress = 0;
    int32_t trackLength = 0;
    // The read-offset correction and the readable sectors of the pass.
    int32_t readOffset = 0;
    SectorAddress readableStart = 0;
    SectorAddress readableEnd = 0;
    // A one-file job (ExtractJob::oneFile): the sectors of the file before
    // the pass's track, the file's length, whether an earlier entry has
    // created the file (pcmFile, kept open between the passes), and whether
    // the track is the file's last. Otherwise the file is the track's.
    bool oneFile = false;
    int32_t fileStart = 0;
    int32_t fileSectors = 0;
    bool continuesFile = false;
    bool lastInFile = true;

    // Advanced by the worker after every block.
    int32_t trackSectorsDone = 0;
    int32_t totalSectorsDone = 0;

    // The one field the window side writes while a worker runs.
    std::atomic<bool> cancel{false};
    // Set by the window side when the buffer load of code 5 could not be
    // written; the worker then gives up the file.
    bool bufferWriteFailed = false;

    bool verificationPass = false;
    // Secure reading (set when the run opens), and what the worker of the
    // current pass found: the sectors that needed re-reads (in the order
    // read) and the re-reads made, read by the window side once the pass
    // has ended.
    bool secure = false;
    SecureSettings secureSettings;
    bool c2Pointers = false;
    std::vector<SectorOutcome> secureOutcomes;
    int64_t secureRereads = 0;
    // The drive sectors whose re-reads during the extraction never agreed:
    // the verification does not read them again.
    std::vector<SectorAddress> givenUp;
    // The drive sectors whose re-reads during the extraction agreed: the
    // file holds a reading confirmed already, which a differing second
    // reading does not put in doubt.
    std::vector<SectorOutcome> agreedBefore;
    // The drive or its host refused a command that reads ahead: the secure
    // passes read block by block.
    bool longReadsRefused = false;
    // The sense code of the last read of the pass that failed.
    int32_t failedReadSense = 0;
    // The verification pass of a secure run: the sectors whose second
    // reading differed, and those of them corrected in the file with
    // agreeing readings.
    int32_t differingSectors = 0;
    int32_t repairedSectors = 0;
    // Sectors whose second reading differed, but whose agreeing re-reads
    // equal the file: the second reading was the wrong one.
    int32_t confirmedSectors = 0;
    int32_t trackErrors = 0;
    int32_t totalErrors = 0;

    // When set, the worker hands it the PCM of every block it read, in
    // order (checksums computed as the audio arrives). Set by the window
    // side before the pass's worker starts.
    std::function<void(const uint8_t* pcm, std::size_t bytes)> blockRead;

    // The output file of the extraction worker (its temporary file until the
    // track is complete), shared with the window side for the buffer loads of
    // code 5.
    platform::OutputFile* outputFile = nullptr;
    // Why the current pass could not create, write or finish its file
    // ("<path>: <reason>"); empty when no file operation failed.
    std::string fileError;

    // An encoded track (the job's makeEncoder): its encoder, set by the
    // window side when the track's extraction pass starts; the PCM file the
    // extraction worker writes under a temporary name, kept through the
    // verification and never renamed; whether the verification corrected
    // that file; whether the encoder's file is complete (waiting for its
    // rename once the track is done). Each worker keeps its own reference
    // to the first two. A one-file job keeps its file here too, encoded or
    // not, from its first pass to its commit.
    std::shared_ptr<TrackEncoder> encoder;
    std::shared_ptr<platform::OutputFile> pcmFile;
    bool pcmChanged = false;
    bool encoded = false;
    // Set by the window side for an encoded track that another track
    // follows: the encoder may fall behind the reading (it reads the rest
    // back from the PCM file) and completes the file on its own thread while
    // the next track is read; the window side renames it when it is done.
    bool encodeBehind = false;

    std::unique_ptr<uint8_t[]> audioBuffer;
    std::unique_ptr<PeakTable> peaks;

    PlayerState player;

    ExtractRun()
        : audioBuffer(new uint8_t[kAudioBufferSize]()), peaks(std::make_unique<PeakTable>()) {}
};

} // namespace vindral
