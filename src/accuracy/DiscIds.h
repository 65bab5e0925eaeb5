// Disc identifiers computed from the table of contents: the AccurateRip ID,
// the CDDB (freedb) ID, the MusicBrainz disc ID and the CTDB TOC ID.
//
// Enhanced CDs (audio session, then a data session): the MusicBrainz ID and
// the CTDB TOC ID end the audio at the data track's start − 11,400 sectors;
// the AccurateRip ID counts and numbers the audio tracks only and ends at
// the disc's true lead-out; the CDDB ID counts every track and uses the
// true lead-out. A leading data track (mixed mode) stays in the MusicBrainz
// and CDDB IDs and is left out of the AccurateRip and CTDB IDs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drive/CdTypes.h"

namespace vindral {
struct TrackTable;
}

namespace vindral::accuracy {

// The gap between an enhanced CD's audio session and its data session.
constexpr SectorAddress kSessionGapSectors = 11400;
// Addresses in the IDs count the 2-second lead-in.
constexpr SectorAddress kLeadInSectors = 150;

struct DiscTrack {
    int number = 0;
    SectorAddress start = 0; // logical block address of index 1
    bool data = false;
};

struct DiscToc {
    int firstTrack = 1;
    int lastTrack = 0;
    std::vector<DiscTrack> tracks; // in disc order
    SectorAddress leadOut = 0;     // the disc's true lead-out
    // The first track of the last session, when the drive told it; without
    // it, trailing data tracks after audio are taken for a second session
    // when they start more than 11,400 sectors after the last audio track.
    std::optional<int> lastSessionFirstTrack;
};

// A table of contents from the track table (lead-out = end of its last row).
DiscToc DiscTocFromTable(const TrackTable& table);

// Where the audio of the disc ends for the MusicBrainz and CTDB IDs: the
// lead-out, or on an enhanced CD the data session's start − 11,400.
SectorAddress AudioEnd(const DiscToc& toc);

struct AccurateRipId {
    int audioTracks = 0;
    uint32_t id1 = 0;
    uint32_t id2 = 0;
    uint32_t cddb = 0;

    // "011-0010e284-009228a3-9809ff0b"
    std::string Text() const;
    // "4/8/2/dBAR-011-0010e284-009228a3-9809ff0b.bin": the database's path,
    // its folders the last three hex digits of id1, last first.
    std::string DatabasePath() const;
};

uint32_t CddbId(const DiscToc& toc);
AccurateRipId AccurateRipIdOf(const DiscToc& toc);
std::string MusicBrainzId(const DiscToc& toc);
std::string CtdbTocId(const DiscToc& toc);

// Lower-case 8-digit hex, as the IDs print their numbers.
std::string Hex8(uint32_t value);
// Upper-case 8-digit hex, as the log prints checksums and CRCs.
std::string Upper8(uint32_t value);

} // namespace vindral::accuracy
