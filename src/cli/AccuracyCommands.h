// vindral-cli's disc-ID and rip-log commands, kept apart from the rest of
// the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "drive/DriveSearch.h"

namespace vindral::cli {

// `ids`: the four disc IDs of a table of contents, one line each.
int PrintDiscIds(const TrackTable& table, std::ostream& out, std::ostream& err);

// `offset find`: reads the disc in `device` for the offset search against
// the AccurateRip answer in the file `dbarPath`; 0 when an offset matches.
int FindOffsetCommand(CdDevice device, const TrackTable& table, const std::string& dbarPath,
                      std::ostream& out, std::ostream& err);

// The same with the answer's bytes at hand; prints one line per matching
// offset ("Read offset +667: 9 of 11 tracks agree").
int FindOffsetWithAnswer(CdDevice device, const TrackTable& table, const uint8_t* dbar,
                         std::size_t size, std::ostream& out, std::ostream& err);

// `log verify FILE`: 0 when the log's seal matches, 1 when the log was
// changed, is not sealed or cannot be read, 2 on a usage error.
int VerifyLogCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace vindral::cli
