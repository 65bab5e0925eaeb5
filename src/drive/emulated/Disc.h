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
#include <vector>

#include "drive/CdTypes.h"
#include "drive/emulated/DriveBehaviour.h"

namespace vindral::emulated {

struct DiscTrack {
    int number;
    bool data;
    SectorAddress start; // what READ TOC reports: the track's INDEX 01
    int32_t length;      // sectors up to the next track's start or the lead-out
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

    // Fills 2352 bytes of the sector: audio samples little-endian, as a drive
    // returns them; data sectors raw (sync, header, user data, EDC/ECC).
    // `readNumber` counts reads so that unstable sectors differ between reads.
    // False when the sector is unreadable, lies outside the program area, or
    // its source fails.
    bool ReadSector(SectorAddress address, uint8_t* out, uint64_t readNumber) const;
    // Reads `count` consecutive sectors as ReadSector does, sector i with
    // read number firstReadNumber + i, fetching undamaged runs at once.
    // Returns how many sectors were read before the first that failed.
    int32_t ReadSectors(SectorAddress address, int32_t count, uint8_t* out,
                        uint64_t firstReadNumber) const;
    bool IsUnstable(SectorAddress address) const { return unstable_.Contains(address); }
    bool IsUnreadable(SectorAddress address) const { return unreadable_.Contains(address); }
    bool IsDataSector(SectorAddress address) const;

    // Building. Tracks are added in disc order; a track's length follows
    // from the next track's start or the lead-out when the lead-out is set.
    void AddTrack(int number, bool data, SectorAddress start);
    void SetLeadOut(SectorAddress leadOut);
    // Sectors [start, start + count) are sectors firstIndex... of `source`;
    // segments do not overlap.
    // Addresses that no segment covers read as silence of their track's kind.
    void AddSegment(SectorAddress start, int32_t count, bool data,
                    std::shared_ptr<const SectorSource> source, int64_t firstIndex = 0);
    void AddUnreadable(SectorAddress first, int32_t count) { unreadable_.Add(first, count); }
    void AddUnstable(SectorAddress first, int32_t count) { unstable_.Add(first, count); }

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
    DriveBehaviour drive_;
};

// Builds a MODE1 sector: sync, header with the address as MSF (150 sectors
// ahead), the 2048 bytes of user data, EDC and the P and Q parity.
void EncodeMode1Sector(SectorAddress address, const uint8_t* userData, uint8_t* out);

// The byte offset and size of the user data within a raw MODE1 sector.
constexpr int kMode1UserOffset = 16;
constexpr int kMode1UserBytes = 2048;

} // namespace vindral::emulated
