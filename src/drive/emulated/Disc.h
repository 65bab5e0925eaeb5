// The disc in an emulated drive: its tracks and, for every sector address,
// where the 2352 bytes come from (a file, generated content, silence), plus
// the damage a real disc can have (sectors that cannot be read, sectors that
// read differently every time).
//
// A Disc is built once (AddTrack, AddSegment, ...) and then shared as
// `const`; every const member is safe to call from several threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drive/CdTypes.h"
#include "drive/emulated/DriveBehaviour.h"

namespace vindral::emulated {

struct DiscTrack {
    int number;
    bool data;
    SectorAddress start; // what READ TOC reports: the track's INDEX 01
    int32_t length;      // sectors up to the next track's start or the lead-out
    int session = 1;     // 1 for the first session
    // The low bits of the control field besides the data bit: 0x01
    // pre-emphasis, 0x02 digital copy permitted, 0x08 four channels.
    uint8_t controlFlags = 0;
    // Where the track's pregap (INDEX 00) begins: `start` when it has none.
    SectorAddress pregapStart = 0;
    // INDEX 02, 03, ...: where each begins, in order (empty: INDEX 01 only).
    std::vector<SectorAddress> laterIndexes;
};

// Where a sector lies as its Q sub-channel tells it: the track, the index
// (0 in a pregap), and the sectors relative to the track's INDEX 01 (negative
// in the pregap).
struct SectorPosition {
    const DiscTrack* track = nullptr;
    int index = 1;
    int32_t relative = 0;
};

// Sectors between the end of one session's last track and the next
// session's first track, on a disc of several sessions: the lead-out, the
// next lead-in and the pregap of that track (75 sectors a second).
constexpr int32_t kSessionLeadOutSectors = 6750;
constexpr int32_t kSessionLeadInSectors = 4500;
constexpr int32_t kSessionPregapSectors = 150;
constexpr int32_t kSessionGapSectors =
    kSessionLeadOutSectors + kSessionLeadInSectors + kSessionPregapSectors;

// What a disc image tells besides its sectors, at disc level and per track:
// CD-Text, the catalog number and ISRCs a drive would report, the comments
// of ripping programs and the control flags.
struct DiscFields {
    std::string title;
    std::string performer;
    std::string songwriter;
    std::string composer;
    std::string arranger;
    std::string message;
    std::string upcEan;
    std::string discId;
    std::string genre;   // REM GENRE
    std::string date;    // REM DATE
    std::string comment; // REM COMMENT
    std::string catalog; // 13 digits
    std::string isrc;    // 12 characters
    std::string cdTextFile;
    bool digitalCopyPermitted = false; // FLAGS DCP
    bool fourChannels = false;         // FLAGS 4CH
    bool preEmphasis = false;          // FLAGS PRE
    bool serialCopyManagement = false; // FLAGS SCMS
};

// Where the bytes of a run of sectors come from.
class SectorSource {
public:
    virtual ~SectorSource() = default;
    // Fills the 2352 bytes of sector `index` of this source, which the disc
    // places at `address`. False when the bytes cannot be had.
    virtual bool Read(int64_t index, SectorAddress address, uint8_t* out) const = 0;
    // Fills `count` consecutive sectors from `index` on; returns how many
    // were had, in order. Sources that can fetch a run at once override it.
    virtual int32_t ReadRun(int64_t index, SectorAddress address, int32_t count,
                            uint8_t* out) const;
};

// Sectors of nothing: digital silence for audio, MODE1 sectors with zero user
// data for a data track.
std::shared_ptr<const SectorSource> MakeSilenceSource(bool data);

// Sets of sector addresses, kept as merged intervals.
class SectorRanges {
public:
    void Add(SectorAddress first, int32_t count);
    bool Contains(SectorAddress address) const;
    bool Intersects(SectorAddress first, int32_t count) const;
    bool Empty() const { return ranges_.empty(); }

private:
    std::map<SectorAddress, SectorAddress> ranges_; // first -> one past the last
};

class Disc {
public:
    const std::vector<DiscTrack>& Tracks() const { return tracks_; }
    SectorAddress LeadOut() const { return leadOut_; }
    // The number of the last session (1 on a disc of one session).
    int LastSession() const { return tracks_.empty() ? 1 : tracks_.back().session; }
    // The first track of the last session.
    const DiscTrack* FirstTrackOfLastSession() const;
    // Sectors that lie between sessions: no read command reaches them.
    bool IsBetweenSessions(SectorAddress first, int32_t count = 1) const {
        return betweenSessions_.Intersects(first, count);
    }

    // The image's own fields: disc level, and one entry per track in the
    // order of Tracks() (empty when the disc was not built from a sheet).
    const DiscFields& Fields() const { return fields_; }
    const std::vector<DiscFields>& TrackFields() const { return trackFields_; }
    // Remarks about how the image was read that a user should see, one line
    // each (a file padded to whole sectors).
    const std::vector<std::string>& Notes() const { return notes_; }

    // Fills 2352 bytes of the sector: audio samples little-endian, as a drive
    // returns them; data sectors raw (sync, header, user data, EDC/ECC).
    // `readNumber` counts reads so that unstable sectors differ between reads.
    // False when the sector is unreadable, lies outside the program area
    // (between sessions too), or its source fails.
    bool ReadSector(SectorAddress address, uint8_t* out, uint64_t readNumber) const;
    // Reads `count` consecutive sectors as ReadSector does, sector i with
    // read number firstReadNumber + i, fetching undamaged runs at once.
    // Returns how many sectors were read before the first that failed.
    int32_t ReadSectors(SectorAddress address, int32_t count, uint8_t* out,
                        uint64_t firstReadNumber) const;
    bool IsUnstable(SectorAddress address) const { return unstable_.Contains(address); }
    bool IsUnreadable(SectorAddress address) const { return unreadable_.Contains(address); }
    bool IsFlaky(SectorAddress address) const;
    // Whether the reading number `readNumber` of a flaky sector comes out
    // wrong: decided by a hash of the address and the read number, so the
    // same reads give the same result every run.
    bool FlakyReadingWrong(SectorAddress address, uint64_t readNumber) const;
    // The sector as pressed, without damage (what a right reading returns);
    // false where ReadSector could never succeed.
    bool CleanSector(SectorAddress address, uint8_t* out) const;
    bool IsDataSector(SectorAddress address) const;
    // The track and index of a sector of the program area; false outside it
    // (before 0, from the lead-out on, between sessions).
    bool Position(SectorAddress address, SectorPosition& position) const;
    // Where a session's program area ends (its lead-out): the last
    // session's is the disc's lead-out.
    SectorAddress SessionLeadOut(int session) const;

    // Building. Tracks are added in disc order; a track's length follows
    // from the next track's start or the lead-out when the lead-out is set.
    void AddTrack(int number, bool data, SectorAddress start, int session = 1,
                  uint8_t controlFlags = 0);
    void SetLeadOut(SectorAddress leadOut);
    // The pregap start and the later index points of track `track` (a
    // position in Tracks()); without it a track has neither.
    void SetIndexes(std::size_t track, SectorAddress pregapStart,
                    std::vector<SectorAddress> laterIndexes);
    // Sectors [start, start + count) are sectors firstIndex... of `source`;
    // segments do not overlap.
    // Addresses that no segment covers read as silence of their track's kind.
    void AddSegment(SectorAddress start, int32_t count, bool data,
                    std::shared_ptr<const SectorSource> source, int64_t firstIndex = 0);
    void AddUnreadable(SectorAddress first, int32_t count) { unreadable_.Add(first, count); }
    // Sectors whose reads fail until each has been tried `tries` times; the
    // attempt after that succeeds.
    void AddUnreadableTries(SectorAddress first, int32_t count, int32_t tries);
    // Each reading of these sectors is wrong with `percent` % probability:
    // in every byte, or with `samples` > 0 in that many of its 588 samples
    // (as a scratch mostly changes a few), chosen anew for each reading.
    void AddFlaky(SectorAddress first, int32_t count, int32_t percent, int32_t samples = 0);
    void AddUnstable(SectorAddress first, int32_t count) { unstable_.Add(first, count); }
    void AddBetweenSessions(SectorAddress first, int32_t count) {
        betweenSessions_.Add(first, count);
    }
    void SetFields(DiscFields disc, std::vector<DiscFields> tracks) {
        fields_ = std::move(disc);
        trackFields_ = std::move(tracks);
    }
    void AddNote(std::string note) { notes_.push_back(std::move(note)); }

    // How the drive that holds this disc behaves (the image's REM DRIVE lines).
    const DriveBehaviour& Drive() const { return drive_; }
    void SetDrive(const DriveBehaviour& drive) { drive_ = drive; }

private:
    struct Segment {
        SectorAddress start;
        int32_t count;
        bool data;
        std::shared_ptr<const SectorSource> source;
        int64_t firstIndex;
    };
    const Segment* FindSegment(SectorAddress address) const;
    const DiscTrack* FindTrack(SectorAddress address) const;
    void UpdateLengths();

    std::vector<DiscTrack> tracks_;
    SectorAddress leadOut_ = 0;
    std::map<SectorAddress, Segment> segments_; // by start
    SectorRanges unreadable_;
    SectorRanges unstable_;
    struct Flaky {
        SectorAddress first;
        int32_t count;
        int32_t percent;
        int32_t samples; // 0: every byte of a wrong reading is wrong
    };
    const Flaky* FindFlaky(SectorAddress address) const;
    std::vector<Flaky> flaky_;
    SectorRanges flakyRanges_;
    // Sectors that read after some failed attempts: the attempts needed and
    // those made so far (shared by copies of the disc: the disc wears as one).
    struct Tries {
        std::mutex mutex;
        std::map<SectorAddress, int32_t> needed;
        std::map<SectorAddress, int32_t> made;
    };
    std::shared_ptr<Tries> tries_ = std::make_shared<Tries>();
    SectorRanges triesRanges_;
    bool TryFails(SectorAddress address) const;
    DriveBehaviour drive_;
    SectorRanges betweenSessions_;
    DiscFields fields_;
    std::vector<DiscFields> trackFields_;
    std::vector<std::string> notes_;
};

// The emulated damage's one source of chance: a well-mixed hash of a sector
// address, a byte position and a read number, so that the same reads go the
// same way in every run.
uint64_t DamageHash(SectorAddress address, int byte, uint64_t readNumber);

// Builds a MODE1 sector: sync, header with the address as MSF (150 sectors
// ahead), the 2048 bytes of user data, EDC and the P and Q parity.
void EncodeMode1Sector(SectorAddress address, const uint8_t* userData, uint8_t* out);

// The byte offset and size of the user data within a raw MODE1 sector.
constexpr int kMode1UserOffset = 16;
constexpr int kMode1UserBytes = 2048;

} // namespace vindral::emulated
