// Names of a disc and its tracks, file-name templates, and names that every
// file system a rip may land on (Linux, Windows) takes.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "drive/DiscInfo.h"

namespace vindral::output {

// What is known of one track's names; empty: unknown.
struct TrackNames {
    std::string title;
    std::string artist;
    std::string composer;
};

// What is known of a disc's names, from CD-Text today (a database look-up
// fills the same fields); empty: unknown.
struct DiscNames {
    std::string album;
    std::string albumArtist;
    std::string year;
    std::string genre;
    int discNumber = 0; // 0: unknown
    int discTotal = 0;
    std::map<int, TrackNames> tracks; // by track number

    // The track's names; empty ones when none are known.
    TrackNames Track(int number) const;
    // The title, else "Track NN".
    std::string TitleOf(int number) const;
    // The track's artist, else the album artist, else "Unknown Artist".
    std::string ArtistOf(int number) const;
};

// The names of the disc's CD-Text (its first block).
DiscNames NamesFromCdText(const DiscDetails& details);

// The fields a template knows, with their meaning, for messages and help:
// "%t (track number), %n (title), ...".
// "%02d" of a track or index number.
std::string TwoDigits(int number);

std::string KnownNamingFields();

// Checks a --naming template: fields are %t %n %a %A %d %y %D %P and %% for
// a percent sign; '/' separates folders. False with `error` set for an
// unknown field, an absolute path, an empty folder name or "..".
bool CheckNamingTemplate(const std::string& naming, std::string& error);

// One name component (no folder) made safe on Linux and Windows: '/' and
// '\' become '-'; control characters and :*?"<>| become '_'; leading
// spaces and trailing dots and spaces go; a reserved Windows device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension) gets a
// '_' after its device part; at most `maxBytes` bytes of UTF-8, cut between
// characters; never empty ("_").
std::string SafeName(const std::string& component, std::size_t maxBytes = 255);

// The relative path of each track's file: the template expanded with the
// names of track `numbers[i]` (0: the audio before track 1), each folder
// and file name made safe, `extension` (".wav") appended to the last within
// the 255-byte limit. Two tracks never get one path, compared without
// regard to letter case as Windows does: a later one gets " (2)", " (3)"...
// before the extension. The template must have passed CheckNamingTemplate.
std::vector<std::string> TrackPaths(const std::string& naming, const DiscNames& names,
                                    const std::string& prefix, const std::vector<int>& numbers,
                                    const std::string& extension);

} // namespace vindral::output
