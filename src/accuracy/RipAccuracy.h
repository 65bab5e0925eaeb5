// The accuracy checks of one rip: the disc's database answers, fetched when
// the run starts, each track's checksums computed as its blocks arrive, and
// each track's result when its extraction pass ends. It follows the run as
// its PassObserver and gives the lines added after the run's last line and
// the data of the rip log.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accuracy/Checksums.h"
#include "accuracy/DatabaseLookup.h"
#include "accuracy/RipLog.h"
#include "drive/DriveSearch.h"
#include "extract/ExtractRun.h"
#include "extract/RunProtocol.h"

namespace vindral::accuracy {

struct RipAccuracyOptions {
    std::string accurateRipUrl = kDefaultAccurateRipUrl;
    std::string ctdbUrl = kDefaultCtdbUrl;
    std::string cacheFolder; // empty: no cache
    // Leave out the verification pass of a track that AccurateRip (confidence
    // >= 2) or CTDB confirms.
    bool skipConfirmed = false;
    // When the run is done and a track is not accurate in CTDB, mend the
    // rip from the parity of a CTDB entry (accuracy/CtdbRepair.h).
    bool repair = false;
};

enum class TrackVerdict { Accurate, NotAccurate, NotInDatabase };

struct TrackAccuracy {
    int number = 0;
    std::string file;
    int audioIndex = -1; // among the disc's audio tracks; -1: none (track 00)
    bool extracted = false;
    TrackSums sums;
    std::optional<uint32_t> testCrc;
    int32_t differingBytes = -1; // -1: not verified
    bool verificationSkipped = false;
    AccurateRipMatch accurateRip;
    CtdbMatch ctdb;
    // Set when the track matches CTDB only with the disc shifted by this
    // many samples (a pressing with another offset); `ctdb` is then that
    // match and `shiftedCtdbCrc` the CRC that matched.
    std::optional<int> ctdbShift;
    uint32_t shiftedCtdbCrc = 0;
    // The same for AccurateRip: the track matches a response only with the
    // disc shifted by this many samples; `accurateRip` is then that match
    // and `shiftedArSum` the v1 or v2 that matched.
    std::optional<int> accurateRipShift;
    uint32_t shiftedArSum = 0;
    // Mended from the CTDB's parity after the run: the runs of samples put
    // right, and how many samples they hold.
    int repairedPlaces = 0;
    uint64_t repairedSamples = 0;
    std::vector<std::pair<uint64_t, uint64_t>> repairedRuns; // first sample, samples
};

class RipAccuracy : public PassObserver {
public:
    RipAccuracy(const TrackTable& table, const ExtractJob& job, RipAccuracyOptions options);

    // Fetches (or takes from the cache) both databases' answers, both at
    // once. Call before the run opens. When `cancel` becomes true the
    // look-ups end at once.
    void LookUp(const std::atomic<bool>* cancel = nullptr);
    // For tests and callers that fetched the answers themselves.
    void SetAnswers(AccurateRipLookup accurateRip, CtdbLookup ctdb);

    void PassStarting(int entry, bool verification) override;
    void BlockRead(const uint8_t* pcm, std::size_t bytes) override;
    bool ExtractionDone(int entry, bool verifyNext, std::string& line) override;
    void VerificationDone(int entry, int32_t differingBytes) override;
    std::vector<std::string> RunDone() override;

    // The lines RunDone gives: one state line per database that could not
    // be used, one line per track and database, and the summary.
    std::vector<std::string> ResultLines() const;
    TrackVerdict Verdict(const TrackAccuracy& track) const;
    // A track was found in a database and matched none of its entries.
    bool AnyNotAccurate() const;

    // The rip log's data; the caller fills what the run does not know
    // (version, date, drive, method, speed).
    RipLogData LogData() const;

    const std::vector<TrackAccuracy>& Tracks() const { return tracks_; }
    const AccurateRipLookup& AccurateRipAnswer() const { return accurateRip_; }
    const CtdbLookup& CtdbAnswer() const { return ctdb_; }
    const DiscToc& Toc() const { return toc_; }

    // Looks for other pressings: the shifts at which AccurateRip's
    // offset-finding sums agree, tried on the CTDB CRCs of the tracks that
    // matched no entry (this needs every audio track of the disc) and, per
    // AccurateRip response, the shifts its own sums give on the AccurateRip
    // v1 and v2 of the tracks that matched no response (this needs the
    // neighbouring tracks that the shift reaches into, and reads the
    // track's finished file back once for v2). RunDone calls it.
    void MatchOtherPressings();

    // Mends the rip from the CTDB when a track is not accurate there and
    // every audio track of the disc was extracted; the tracks' sums and
    // results then follow the files as written. Returns the repair's lines
    // (none when nothing was tried). RunDone calls it with `repair` set.
    std::vector<std::string> RepairFromCtdb();
    // Tracks mended by RepairFromCtdb.
    int RepairedTracks() const;
    std::vector<SectorAddress> RepairedSectors() const override;

private:
    void MatchShiftedAccurateRip(const std::vector<TrackEdges>& disc,
                                 const std::vector<std::vector<uint32_t>>& offsetSums,
                                 const std::vector<int>& entryOf);
    // A track's line for each database; `named` puts the database's name in
    // the "not in database" line (the rip log names it at the line's start).
    std::string AccurateRipLine(const TrackAccuracy& track, bool named = true) const;
    std::string CtdbLine(const TrackAccuracy& track, bool named = true) const;

    DiscToc toc_;
    RipAccuracyOptions options_;
    AccurateRipLookup accurateRip_;
    CtdbLookup ctdb_;
    std::vector<TrackAccuracy> tracks_;
    std::vector<uint64_t> trackSamples_;
    std::vector<TrackPlace> places_;
    std::vector<int32_t> fileStarts_; // per job entry: sectors before it in its file
    std::vector<SectorAddress> trackStarts_; // per job entry
    uint64_t discAudioSamples_ = 0;
    const std::atomic<bool>* cancel_ = nullptr;

    int current_ = -1;
    bool verifying_ = false;
    std::unique_ptr<TrackChecksums> checksums_;
    std::vector<TrackEdges> edges_;                 // per job entry, once extracted
    std::vector<std::vector<uint32_t>> offsetSums_; // per job entry
    uint32_t testCrc_ = 0;
};

// Feeds the audio of a finished track file (the header the run writes, then
// the samples) to `sums`. False when the file cannot be read or its length
// is not the track's: nothing may follow the track's samples.
bool ReadTrackFile(const std::string& path, uint64_t samples, ShiftedAccurateRip& sums);

// "AccurateRip: database not reachable (...)" and the like, for a state
// that has no per-track lines; empty for Found and NotInDatabase.
std::string LookupStateLine(const char* database, LookupState state, const std::string& reason);

} // namespace vindral::accuracy
