// vindral-cli's reading of what the disc says about itself: `cue` (the disc
// as one cue sheet of one file) and the lines `toc --full` adds.
#pragma once

#include <iosfwd>
#include <string>

#include "drive/DiscInfo.h"
#include "drive/DriveSearch.h"

namespace vindral::cli {

// The cue sheet of a disc whose audio, from address 0, is the one file
// "<prefix>.wav" (output::OneFileCueSheet).
std::string CueSheetText(const TrackTable& table, const DiscDetails& details,
                         const std::string& prefix);

// What `toc --full` adds after the table of contents: one line per track
// (pregap, index points, ISRC, flags) and one for the disc.
std::string FullTocLines(const DiscDetails& details);

// What `cue --counts` adds on standard error: the sectors read with their
// sub-channel for each track ("Track NN: N sectors read") and for the disc,
// with the Q frames rejected and the commands the reading sent.
std::string SectorCountLines(const DiscDetails& details);

} // namespace vindral::cli
