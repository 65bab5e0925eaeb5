// Cue sheets and playlists of a disc: the text from the disc's details, its
// table of contents and the names of the files that hold its audio. The
// sheets read back through the emulated drive as the same disc.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "drive/DiscInfo.h"
#include "drive/DriveSearch.h"
#include "output/Naming.h"

namespace vindral::output {

// MM:SS:FF of a sector count, as cue sheets write times.
std::string CueTime(int32_t sectors);

// A text in double quotes; a cue sheet has no way to write a double quote
// inside one, so it becomes a single quote.
std::string CueQuoted(std::string text);

// "DCP 4CH PRE" as far as the flags are set; empty when none is.
std::string FlagWords(const TrackFlags& flags);

// The cue sheet of a disc whose audio, from address 0, is the one file
// `fileName`: every index at its disc address, the catalog number, ISRCs,
// flags, CD-Text (the first block), sessions, data tracks as MODE1/2352, and
// REM lines naming the program and the disc's MusicBrainz and AccurateRip IDs.
// Without `dataTracks` the data tracks (and sessions) are left out: the file
// holds the audio only.
std::string OneFileCueSheet(const TrackTable& table, const DiscDetails& details,
                            const std::string& fileName, bool dataTracks = true);

// The cue sheet of a rip into one file per track, `files` by track number
// (as the sheet names them; 0: the audio before track 1, when ripped). A
// track's file, as the table of contents bounds it, ends with the next
// track's pregap: that pregap's INDEX 00 lies in it. Track 1's pregap is
// the track-0 file, else a PREGAP of silence with a REM line saying so.
// REM lines name the program, `date` (the day of the rip) and all four disc
// IDs. Data tracks are left out. False with `reason` ("track 03 was not
// ripped") when an audio track has no file or the audio tracks are not
// numbered one after the other.
bool TrackFilesCueSheet(const TrackTable& table, const DiscDetails& details,
                        const std::map<int, std::string>& files, const std::string& date,
                        std::string& text, std::string& reason);

// An extended M3U playlist of the same files in track order: #EXTINF with
// the file's length in whole seconds and "artist - title".
std::string M3uPlaylist(const TrackTable& table, const DiscNames& names,
                        const std::map<int, std::string>& files);

// Where a rip's sheet and playlist go: beside the track files, named after
// `stem` (the album, else the prefix; made safe here), with each file's name
// relative to that folder.
struct SheetPlan {
    std::string cuePath;
    std::string playlistPath;
    std::map<int, std::string> files;
};

// False with `reason` when the files do not share one folder.
bool PlanSheet(const std::map<int, std::string>& trackPaths, const std::string& stem,
               SheetPlan& plan, std::string& reason);

// The cue sheet and playlist of a rip into `trackPaths` (by track number),
// made before the rip (they do not depend on the audio) and written after
// it: named after the album, else `prefix`; REM RIPDATE `date`. Empty
// `reason` when they are to be written, else why not ("not every audio track
// was ripped (not ripped: 02)").
struct RipSheet {
    SheetPlan plan;
    std::string cueText;
    std::string playlistText; // (with an empty playlistPath: none)
    std::string reason;
};
RipSheet PlanRipSheet(const TrackTable& table, const DiscDetails& details,
                      const DiscNames& names, const std::map<int, std::string>& trackPaths,
                      const std::string& prefix, const std::string& date);

// Writes the sheet and the playlist (each complete or not at all); false
// with `error` ("<path>: <reason>", a line for each that failed).
bool WriteRipSheet(const RipSheet& sheet, std::string& error);

// Today's date on this machine, YYYY-MM-DD.
std::string LocalDateText();

} // namespace vindral::output
