// Names for a disc: the MusicBrainz web service (by the disc ID, the TOC as
// a fuzzy fallback), the disc's own CD-Text, and GnuDB (the CDDB protocol over
// HTTP), with the Cover Art Archive's front cover. Only the disc's IDs and
// TOC leave the machine. A look-up never fails a rip: what could not be had
// is a note with a reason. UI-free; every request goes through net/.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "accuracy/DiscIds.h"
#include "drive/DiscInfo.h"
#include "output/CoverImage.h"
#include "output/Naming.h"
#include "output/Tags.h"

namespace vindral::net {
class AnswerCache;
}

namespace vindral::metadata {

inline constexpr const char* kDefaultMusicBrainzUrl = "https://musicbrainz.org";
inline constexpr const char* kDefaultGnudbUrl = "https://gnudb.gnudb.org";
inline constexpr const char* kDefaultCoverArtUrl = "https://coverartarchive.org";
// A front cover is embedded when its longer side has at least this many pixels.
inline constexpr uint32_t kMinCoverPixels = 500;

// Where a disc's names came from.
enum class Source { None, MusicBrainz, CdText, GnuDb };

// "MusicBrainz", "CD-Text", "GnuDB"; "nothing" for None.
const char* SourceName(Source source);

struct TrackMetadata {
    int number = 0;      // the track's number on the disc
    std::string title;
    std::string artist;  // the credited names joined as the service gives them
    std::string isrc;    // the first ISRC MusicBrainz knows for the recording
    std::string recordingMbid;
    std::string trackMbid;
    std::vector<std::string> artistMbids;
    int lengthMs = 0;    // 0: unknown
};

struct Release {
    std::string mbid; // MusicBrainz release ID; empty for CD-Text and GnuDB
    std::string releaseGroupMbid;
    std::string album;
    std::string albumArtist; // the credited names joined as the service gives them
    std::vector<std::string> albumArtistMbids;
    std::string date;        // "1998-04-06", "1998" or empty
    std::string country;     // "GB", "XE", ...
    std::string label;
    std::string catalogNumber;
    std::string barcode;
    std::string format;      // of the matched medium: "CD", "Enhanced CD", ...
    std::string genre;       // GnuDB's, else empty
    int discNumber = 0;      // the medium holding the disc ID; 0: unknown
    int discTotal = 0;       // media of the release; 0: unknown
    std::vector<TrackMetadata> tracks; // of the matched medium, by track number

    // The track of that number, or nullptr.
    const TrackMetadata* Track(int number) const;
    // The year of the date, or empty.
    std::string Year() const;
};

struct DiscMetadata {
    Source source = Source::None;
    // Every release that matched (MusicBrainz: all of them, in the service's
    // order; CD-Text and GnuDB: one).
    std::vector<Release> releases;
    int chosen = -1;        // index into `releases`; -1 when none
    bool fuzzy = false;     // MusicBrainz matched by the TOC, not the disc ID
    // One line per database that could not be asked or read, and why
    // ("MusicBrainz could not be reached (HTTP status 503)").
    std::vector<std::string> notes;

    const Release* Chosen() const;
    bool Known() const { return Chosen() != nullptr; }
};

struct LookupOptions {
    // Base URLs; empty: the public services above.
    std::string musicBrainzUrl;
    std::string gnudbUrl;
    std::string coverArtUrl;
    const net::AnswerCache* cache = nullptr; // nullptr: nothing cached
    const std::atomic<bool>* cancel = nullptr;
    std::string releaseMbid; // the user's choice among the releases (--release)
    std::string country;     // the user's country; empty: UserCountry()
    bool useMusicBrainz = true;
    bool useGnudb = true;
};

// The disc's facts the choice and the fallbacks use: its TOC (for the IDs),
// and what it says of itself (CD-Text, the catalog number, the ISRCs).
struct DiscFacts {
    accuracy::DiscToc toc;
    DiscDetails details;
};

// Looks the disc up: MusicBrainz, then CD-Text, then GnuDB, and chooses a
// release (ChooseRelease, or the one of `releaseMbid`, fetched by its MBID
// when the disc's answer does not list it). Blocking; at most one
// MusicBrainz request a second within the process; a 503 is waited out and
// asked once more. Cancel ends it at once with what is known.
DiscMetadata LookUpDisc(const DiscFacts& disc, const LookupOptions& options);

// The best of `releases` for the disc: one whose barcode equals the disc's
// catalog number, else the most ISRCs in common with the disc's, else one of
// `country`, else the earliest date; -1 when empty.
int ChooseRelease(const std::vector<Release>& releases, const DiscDetails& details,
                  const std::string& country);

// An MBID as MusicBrainz writes them: 8-4-4-4-12 lower- or upper-case hex
// digits.
bool IsMbid(const std::string& text);

// The two-letter territory of the user's locale (LC_ALL, else LC_MESSAGES,
// else LANG: "en_GB.UTF-8" gives "GB"); empty when none.
std::string UserCountry();

// The release's front cover from the Cover Art Archive (a JPEG of at least
// 500 pixels, at most 10 MB, checked by its first bytes); nullopt with
// `reason` set otherwise.
std::optional<output::CoverImage> FetchFrontCover(const std::string& releaseMbid,
                                                  const LookupOptions& options,
                                                  std::string& reason);

// The chosen release's names as the naming template and the cue sheet take
// them; `fallback` (CD-Text) fills what the release leaves empty.
output::DiscNames NamesOf(const DiscMetadata& metadata, const output::DiscNames& fallback);

// Fills the looked-up names into a track's tags (number 0 or -1: the whole
// disc), keeping the disc's own values where the release has none.
void ApplyToTags(const DiscMetadata& metadata, int number, output::TrackTags& tags);

} // namespace vindral::metadata
