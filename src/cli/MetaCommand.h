// Names for the disc on the command line: `vindral-cli meta`, and the look-up
// a rip makes when its files, tags or cue sheet take names.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "cli/CommandLine.h"
#include "drive/DiscInfo.h"
#include "drive/DriveSearch.h"
#include "output/CoverImage.h"
#include "output/Naming.h"
#include "output/Tags.h"
#include "platform/Settings.h"

namespace vindral::cli {

// What a rip takes from the look-up.
struct RipNames {
    output::DiscNames names; // the disc's CD-Text, filled in by the look-up
    std::function<void(int number, output::TrackTags& tags)> tags; // empty: nothing looked up
    std::shared_ptr<const output::CoverImage> cover; // the release's front cover, or none
    // For the rip log: "MusicBrainz, release <MBID>", "GnuDB"; empty when
    // nothing was looked up or found.
    std::string source;
};

// Whether a rip with these options uses names: --format flac (tags), --cue
// or --single (the sheet), or --naming with a field other than %t and %P.
bool RipUsesNames(const Options& options);

// Looks the disc up for a rip (unless --no-metadata or the settings turn
// it off), starting from `names` (CD-Text); one line on `err` for each service
// that could not be asked, and one saying where the names came from.
// `wantCover`: fetch the front cover of a MusicBrainz release too.
void LookUpRipNames(const Options& options, const platform::Settings& settings,
                    const TrackTable& table, const DiscDetails& details, bool wantCover,
                    RipNames& names, std::ostream& err);

// What a cue sheet of the rip says of the disc: `details`, and where the
// disc has no CD-Text of its own, the names looked up as its TITLE and
// PERFORMER lines (a sheet then names the disc as the database does).
DiscDetails SheetDetails(const DiscDetails& details, const RipNames& names);

// vindral-cli meta: prints the names of the disc; 0, or 1 when nothing is
// known.
int MetaCommand(const Options& options, const platform::Settings& settings,
                const TrackTable& table, const DiscDetails& details, std::ostream& out,
                std::ostream& err);

} // namespace vindral::cli
