// vindral-cli's disc-ID and rip-log commands, kept apart from the rest of
// the command line.
#pragma once

#include <iosfwd>

#include "drive/DriveSearch.h"

namespace vindral::cli {

// `ids`: the four disc IDs of a table of contents, one line each.
int PrintDiscIds(const TrackTable& table, std::ostream& out, std::ostream& err);

// `log verify FILE`: 0 when the log's seal matches, 1 when the log was
// changed, is not sealed or cannot be read, 2 on a usage error.
int VerifyLogCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace vindral::cli
