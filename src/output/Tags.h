// The tags of a track file as Vorbis comments: the values in, the comment
// list out. The disc's own facts (CD-Text, ISRC, catalog number, flags, disc
// IDs) fill the values here; names looked up elsewhere fill the same ones.
#pragma once

#include <string>
#include <vector>

#include "drive/DiscInfo.h"

namespace vindral::output {

struct TrackTags {
    int trackNumber = -1; // -1: none
    int trackTotal = 0;   // 0: unknown
    int discNumber = 0;   // 0: unknown
    int discTotal = 0;
    std::string title;
    std::string artist;
    std::string album;
    std::string albumArtist;
    std::string composer;
    std::string genre;
    std::string date;
    std::string isrc;
    std::string barcode; // the disc's catalog number (UPC/EAN)
    std::string musicBrainzDiscId;
    std::string accurateRipId; // "011-0010e284-009228a3-9809ff0b"
    std::string ctdbTocId;
    // From a MusicBrainz release (empty otherwise).
    std::string label;
    std::string catalogNumber;
    std::string releaseCountry;
    std::string musicBrainzAlbumId;        // the release
    std::string musicBrainzReleaseGroupId;
    std::string musicBrainzAlbumArtistId;  // '/' between several
    std::string musicBrainzArtistId;       // the track's artists, '/' between several
    std::string musicBrainzTrackId;        // the recording
    std::string musicBrainzReleaseTrackId; // the track of the release
    bool preEmphasis = false;
    std::string encoder; // "Vindral 0.2"
};

// "FIELD=value" for every value that is known, in a fixed order; a value
// that holds a line end or a NUL is cut there.
std::vector<std::string> VorbisComments(const TrackTags& tags);

// The disc IDs as the tags give them (empty where unknown).
struct DiscIdTexts {
    std::string musicBrainz;
    std::string accurateRip;
    std::string ctdb;
};

// The values the disc itself gives for track `number` (0: the hidden track
// before track 1): CD-Text of the first block (a track's performer and
// composer default to the disc's), ISRC, catalog number, pre-emphasis,
// the number of audio tracks, the IDs and the encoder.
TrackTags TagsFromDisc(const DiscDetails& details, int number, const DiscIdTexts& ids);

// The same for one file of the whole disc: no track number, title or ISRC
// (the title is the album's), pre-emphasis only when every audio track has
// it.
TrackTags WholeDiscTags(const DiscDetails& details, const DiscIdTexts& ids);

} // namespace vindral::output
